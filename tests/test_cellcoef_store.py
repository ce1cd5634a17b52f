"""cellcoef: stats, settol and setrun, the methods around the parameter store."""
import io
import json
import os

import numpy as np
import pytest

import cellcoef
from store_lines import floats_at, store_line


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


# --- which headers the store takes ------------------------------------------
#
# A header is taken only where the store initialised it, and only as the store
# last left it; anything else is refused before an address in it is used.

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
INVALID = "Invalid store header: og"


def used_store():
    """A store that holds the vector of a line of 5.0s, and that record."""
    og = np.zeros(2100, np.int32)
    (record,) = store_line(og, [5.0] * 3)
    return og, record


def reloaded(og):
    saved = io.BytesIO()
    np.save(saved, og)
    saved.seek(0)
    return np.load(saved)


def changed(index, value):
    def change(og):
        og[index] = value
        return og
    return change


def with_magic_over(fill):
    a = np.full(2100, fill, np.int32)
    a[0] = 0x12349876
    return a


# name, the header to pass (made from the used store's og), whether the
# hostile header is the store's own array changed in place.
HOSTILE_HEADERS = [
    ("copy", lambda og: og.copy(), False),
    ("saved and loaded again", reloaded, False),
    ("garbage under the magic word", lambda og: with_magic_over(0x41000000), False),
    ("counter reset in place", changed(8, 0), True),
    ("unused ring slot written in place", changed(11 + 999, 0x1000), True),
]


@pytest.mark.parametrize("make, in_place", [c[1:] for c in HOSTILE_HEADERS],
                         ids=[c[0] for c in HOSTILE_HEADERS])
def test_headers_the_store_did_not_leave_are_refused(make, in_place):
    og, (_, _, params, _, _) = used_store()
    hostile = make(og)
    before = hostile.tobytes()
    runs = np.full(16, -1, np.int32)
    with raises_exactly(INVALID):
        store_line(hostile, [9.0] * 3, runs=runs)
    assert hostile.tobytes() == before
    assert (runs == -1).all()
    np.testing.assert_array_equal(floats_at(params, 18), [5.0] * 18)
    if not in_place:
        # The store itself goes on: the same vector folds into its copy.
        assert store_line(og, [5.0] * 3)[0][2] == params


@pytest.mark.parametrize("shift", [1, 2, 3])
def test_header_moved_inside_its_buffer(shift):
    """The host moves a used header a few bytes up in its own buffer: neither
    the moved header nor what is left at the old place is a store any more."""
    buffer = np.zeros(2100 + shift, np.int32)
    home = buffer[:2100]
    ((_, _, params, _, _),) = store_line(home, [6.0] * 3)
    buffer[shift:] = home.copy()
    before = buffer.tobytes()
    for header in (buffer[shift:], home):
        with raises_exactly(INVALID):
            store_line(header, [6.0] * 3)
    assert buffer.tobytes() == before
    np.testing.assert_array_equal(floats_at(params, 18), [6.0] * 18)


def test_cleared_header_starts_a_new_store():
    og, _ = used_store()
    og[:] = 0
    store_line(og, [5.0] * 3)
    assert cellcoef.stats(og)[2:4] == (0, 2)


def test_two_stores_side_by_side():
    """Interleaved lines through two live stores: each folds only its own
    vectors, hands out its own memory, and keeps its own counts."""
    stores = [np.zeros(2100, np.int32), np.zeros(2100, np.int32)]
    kept = []
    for value in (1.0, 2.0, 1.0, 3.0):
        for k, og in enumerate(stores):
            (record,) = store_line(og, [value + 10 * k] * 4)
            kept.append((record[2], value + 10 * k))
    for params, value in kept:
        np.testing.assert_array_equal(floats_at(params, 24), [value] * 24)
    first, second = ([p for p, v in kept if (v >= 10) == k] for k in (0, 1))
    assert not set(first) & set(second)
    assert first[0] == first[2] and second[0] == second[2]
    for og in stores:
        # ring_bytes, direct_bytes, hits, inserts, blocks: three vectors and
        # the norm products stored, the fourth line folded.
        assert cellcoef.stats(og)[:5] == (4 * (3 * 24 + 6), 0, 4, 4, 1)
    blocks = {int(og[9]) for og in stores}
    assert len(blocks) == 2


# A child process: loads every header saved so far and passes each to the
# store, before and after it has used a store of its own (whose arena then
# often covers the addresses a saved header holds), then saves its own.
RELOAD_CHILD = """
import json, sys
import numpy as np
sys.path.insert(0, {tests!r})
from store_lines import floats_at, store_line

own = np.zeros(2100, np.int32)
mine = None
if {used!r}:
    (mine,) = store_line(own, [5.0] * 3)
results = []

def try_saved():
    for path in {saved!r}:
        header = np.load(path)
        before = header.tobytes()
        try:
            store_line(header, [9.0] * 3)
            outcome = "accepted"
        except Exception as e:
            outcome = str(e)
        results.append((outcome, header.tobytes() == before))

try_saved()
# Some 50 blocks and a few large vectors more, then again.
for k in range(40):
    store_line(own, np.arange(4000) + 4000.0 * k)
try_saved()
if mine is not None:
    results.append(("own vector kept", bool((floats_at(mine[2], 18) == 5.0).all())))
np.save({out!r}, own)
print(json.dumps(results))
"""


@pytest.mark.parametrize("used", [False, True], ids=["fresh process", "process using its store"])
def test_headers_reloaded_in_other_processes_are_refused(used, tmp_path, python_subprocess):
    og, _ = used_store()
    for k in range(40):
        store_line(og, np.arange(4000) + 4000.0 * k)
    saved = [str(tmp_path / "parent.npy")]
    np.save(saved[0], og)
    for child in range(12):
        out = str(tmp_path / f"child{child}.npy")
        code = RELOAD_CHILD.format(tests=TESTS_DIR, used=used, saved=saved, out=out)
        done = python_subprocess(code)
        assert done.returncode == 0, done.stderr
        for outcome, unchanged in json.loads(done.stdout):
            if outcome == "own vector kept":
                assert unchanged, f"child {child}: its own vector was overwritten"
            else:
                assert (outcome, unchanged) == (INVALID, True), f"child {child}"
        saved.append(out)


# A child process: fills the lowest 2 GiB with mappings of its own, leaving one
# 64 MiB hole for the store, then stores lines until the store runs out. Each
# line's first run folds into a stored vector and its second needs 720 KB
# more, so the call that fails has already found a vector. About 93 lines fill
# the hole.
MEMORY_FULL_CHILD = """
import ctypes, json, sys
import numpy as np
sys.path.insert(0, {tests!r})
import cellcoef
from store_lines import floats_at, store_line

libc = ctypes.CDLL(None)
libc.mmap.restype = ctypes.c_void_p
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                      ctypes.c_int, ctypes.c_long]
MAP_PRIVATE, MAP_ANONYMOUS, MAP_32BIT, PROT_NONE = 0x02, 0x20, 0x40, 0
LIMIT, SIZE = 1 << 31, 64 << 20

def low_mapping(hint, flags):
    p = libc.mmap(hint, SIZE, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0)
    if p is None or p == ctypes.c_void_p(-1).value:
        return None
    if p + SIZE > LIMIT:
        libc.munmap(ctypes.c_void_p(p), SIZE)
        return None
    return p

taken = []
while (p := low_mapping(None, MAP_32BIT)) is not None:
    taken.append(p)
for hint in range(16 << 20, LIMIT - SIZE + 1, 16 << 20):
    if (p := low_mapping(hint, 0)) is not None:
        taken.append(p)
libc.munmap(ctypes.c_void_p(taken.pop(0)), SIZE)

cellcoef.setrun(10**6)
n = 3 + 30000
given = np.full((1, 1, n), 0x0007, np.int16)
given[0, 0, :3] = [0x0003, 0x0001, 0x0003]   # a working call smooths the middle code
og = np.zeros(2100, np.int32)
runs = np.full(1 + 5 * n, -1, np.int32)
for k in range(200):
    values = np.full(n, 0.5 + k, np.float32)
    values[:3] = 0.25
    codes = given.copy()
    before = og.copy(), runs.copy()
    try:
        store_line(og, values, codes, runs)
    except Exception as e:
        same = [bool((a == b).all()) for a, b in zip((og, runs, codes), before + (given,))]
        counters = list(cellcoef.stats(og))
        # The store goes on: a short line still fits its current block.
        ((_, _, params, _, _),) = store_line(og, [7.0] * 3)
        print(json.dumps([k, str(e), same, counters, floats_at(params, 18).tolist()]))
        break
else:
    print(json.dumps(["the store never ran out"]))
"""


def test_call_that_runs_out_of_store_memory_changes_nothing(python_subprocess):
    done = python_subprocess(MEMORY_FULL_CHILD.format(tests=TESTS_DIR), timeout=300)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert len(result) == 5, result
    calls, message, same, (_, _, hits, inserts, *_), after = result
    assert message == "Error Alloc ORGA: Memory Full"
    assert calls > 10, "the store ran out before it had stored much"
    assert same == [True, True, True], "og, runs, codes"
    # The first call stored three vectors and folded one; every later call
    # that worked stored the large vector and folded three.
    assert (hits, inserts) == (1 + 3 * (calls - 1), 3 + (calls - 1))
    assert after == [7.0] * 18
