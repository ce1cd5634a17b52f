"""cellcoef: stats, settol and setrun, the methods around the parameter store."""
import numpy as np
import pytest

import cellcoef


@pytest.fixture(autouse=True)
def default_settings():
    yield
    cellcoef.settol(1e-6)
    cellcoef.setrun(1000)


def raises_exactly(message):
    """The module's error (Exception unless __main__ binds StandardError)."""
    return pytest.raises(Exception, match="^" + message.replace("(", r"\(") + "$")


def test_stats_on_zero_array_is_seven_zeros():
    assert cellcoef.stats(np.zeros(8045, np.uint8)) == (0,) * 7


def test_stats_reads_counters_in_their_order():
    og = np.arange(2011, dtype=np.int32)
    og[0] = 0  # no magic: stats reads the header as it stands
    # ring_bytes, direct_bytes, hits, inserts, blocks, large_allocs, 0
    assert cellcoef.stats(og) == (2, 3, 7, 8, 4, 5, 0)
    assert cellcoef.stats(og[:9]) == (2, 3, 7, 8, 4, 5, 0)  # exactly the fields read


@pytest.mark.parametrize("args, message", [
    ((), "Error parsing args"),
    ((np.zeros(10), 1), "Error parsing args"),
    (([0] * 2011,), "Array expected"),
    ((np.zeros((2, 2100), np.int32).view(np.matrix),), "Array expected"),
    ((np.zeros(8, np.int32),), "Array too small: og"),
    ((np.zeros(4000, np.int32)[::2],), "Array not contiguous: og"),
    ((np.zeros(8100, np.uint8)[1:],), "Array not aligned: og"),
])
def test_stats_refusals(args, message):
    with raises_exactly(message):
        cellcoef.stats(*args)


@pytest.mark.parametrize("value", [1e-8, 0.5, 0])
def test_settol_returns_none(value):
    assert cellcoef.settol(value) is None


@pytest.mark.parametrize("value", [1, 7, 2**31 - 1])
def test_setrun_returns_none(value):
    assert cellcoef.setrun(value) is None


@pytest.mark.parametrize("method, args", [
    ("settol", ()),
    ("settol", ("1e-6",)),
    ("settol", (1e-6, 2)),
    ("setrun", ()),
    ("setrun", (1.5,)),
    ("setrun", (2**40,)),
])
def test_setters_refuse_bad_arguments(method, args):
    with raises_exactly("Error parsing args"):
        getattr(cellcoef, method)(*args)


@pytest.mark.parametrize("value", [0, -1, -2**31])
def test_setrun_below_one_refused(value):
    with raises_exactly("Value below 1: run_limit"):
        cellcoef.setrun(value)
