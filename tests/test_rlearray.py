"""The host's RLE array type: construction, expansion, entries, refusals."""
import gc

import numpy as np
import pytest

import cellcoef
import rlearray


def expected_values(x):
    """Each element as the type stores it: run value (x / max) times max."""
    x = np.asarray(x, dtype=np.float32)
    x = np.where(np.abs(x.astype(np.float64)) < 1e-37, np.float32(0), x)
    line_max = np.maximum(np.abs(x).max(axis=-1, keepdims=True), np.float32(1e-30))
    return (x / line_max).astype(np.float32) * line_max


@pytest.mark.parametrize("values", [
    [3.0, 3.0, -1.5, 0.0, 7.25],
    np.arange(24, dtype=np.int64).reshape(2, 3, 4) % 5,
    np.linspace(-3, 3, 60).reshape(3, 4, 5),                # float64 in
    [[1e-38, 2.0, -9e-38], [0.0, 0.0, 0.0]],                 # flushed to 0
    np.full((1,) * 9 + (4,), 2.5),                           # 10 dimensions
    np.random.default_rng(1).integers(0, 3, (6, 5, 40)).astype(np.float32) * 0.7,
])
def test_round_trip(values):
    r = rlearray.RleArray(values)
    x = np.asarray(values, dtype=np.float32)
    want = expected_values(x)
    assert r.shape == x.shape and r.ndim == x.ndim
    for got in (r.toarray(), np.asarray(r), np.array(r)):
        assert got.dtype == np.float32 and got.shape == x.shape
        np.testing.assert_array_equal(got, want)


def test_caller_values_stay_untouched():
    x = np.array([1e-38, 1.0], dtype=np.float32)
    rlearray.RleArray(x)
    assert x[0] == np.float32(1e-38)


@pytest.mark.parametrize("shape, nbytes", [((7,), 16), ((2, 3), 32), ((4, 5, 7), 320)])
def test_sizes_and_sharing(shape, nbytes):
    # Every line equal: one stored list of two records, all other lines borrow it.
    r = rlearray.RleArray(np.full(shape, 4.0))
    nlines = nbytes // 16
    assert (r.nbytes, r.nlines) == (nbytes, nlines)
    assert r.used_bytes == nbytes + 2 * 8
    assert r.shared_lines == nlines - 1


def test_entry():
    r = rlearray.RleArray([[[1, 1, 4, 4, 4]], [[0, 0, 0, 0, 0]]])
    assert r.entry((0, 0)) == (4.0, 1, [(0.25, 0), (1.0, 2), (0.0, 5)])
    assert r.entry([-1, -1]) == (np.float32(1e-30), 1, [(0.0, 0), (0.0, 5)])
    one = rlearray.RleArray([2.0, 2.0])
    assert one.entry(()) == (2.0, 1, [(1.0, 0), (0.0, 2)])
    assert rlearray.RleArray([[2.0], [3.0]]).entry(1)[0] == 3.0
    for bad in [(0,), (2, 0), (0, 1), (0, 0, 0)]:
        with pytest.raises(IndexError):
            r.entry(bad)


@pytest.mark.parametrize("values, message", [
    (np.float32(1.0), "1 to 10 dimensions, not 0"),
    (np.ones((1,) * 11), "1 to 10 dimensions, not 11"),
    ([1.0, np.nan], "finite"),
    ([[1.0], [np.inf]], "finite"),
    pytest.param([1e300], "finite",                          # inf as float32
                 marks=pytest.mark.filterwarnings("ignore::RuntimeWarning")),
    (np.ones((3, 0)), "dimensions do not fit"),
    (np.ones(32767), "dimensions do not fit"),
])
def test_refusals(values, message):
    with pytest.raises(ValueError, match=message):
        rlearray.RleArray(values)


def test_longest_line():
    r = rlearray.RleArray(np.arange(32766) % 2)
    assert len(r.entry(())[2]) == 32767


def test_array_protocol():
    r = rlearray.RleArray([[1.0, 2.0]])
    assert np.asarray(r, dtype=np.float64).dtype == np.float64
    if np.lib.NumpyVersion(np.__version__) >= "2.0.0":
        with pytest.raises(ValueError):
            np.asarray(r, copy=False)


def test_borrowed_lists_outlive_their_owner():
    # The results of last share run lists with each other; freeing one array
    # frees its entry area only.
    a = rlearray.RleArray(np.ones((3, 4, 5)))
    b = rlearray.RleArray(np.zeros((3, 4, 5)))
    codes = np.zeros((3, 4, 5), np.int16)
    pm, pl, _ = cellcoef.last(a, b, codes, 0, 1.0)
    assert pl.entry((0, 0))[1] == 0           # borrows from pm
    del pm, a, b
    gc.collect()
    np.testing.assert_array_equal(pl.toarray(), np.ones((3, 4, 5), np.float32))


def entries(r):
    return [r.entry(i) for i in np.ndindex(*r.shape[:-1])]


RNG = np.random.default_rng(7)
# lines of few values, many of them repeated, so that lines borrow across slabs
LAYERED = np.repeat(RNG.integers(0, 3, (3, 1, 2, 9)), [2, 3, 4], axis=0).reshape(9, 2, 9) * 0.5
FLUSHED = np.array([[0.0, 1.0], [-0.0, 1.0], [1e-38, 1.0], [0.0, 1.0]])   # equal once flushed
FOUR = RNG.integers(0, 2, (2, 3, 4, 5)).astype(np.float32)
LONG = np.full((6, 32766), 2.5, np.float32)


def lines(values, *cuts):
    """The lines of `values` as 2-D slabs, cut before the given lines."""
    return np.split(values.reshape(-1, values.shape[-1]), cuts)


@pytest.mark.parametrize("values, slabs", [
    (LAYERED, [LAYERED]),
    (LAYERED, list(LAYERED[:, None])),                        # one row each
    (LAYERED, np.split(LAYERED, [0, 2, 2, 6])),               # empty slabs
    (LAYERED, lines(LAYERED, 1, 2, 5, 18)),                   # lines of rows cut apart
    (LAYERED, [LAYERED[:2], LAYERED[2, :1], LAYERED[2, 1:], LAYERED[3:]]),
    (LAYERED, [LAYERED[:3].astype(np.float64) / 3, LAYERED[3:] / 3]),   # cast per slab
    (FLUSHED, np.split(FLUSHED, [1, 2])),
    (FOUR, [FOUR[:1], FOUR[1, :2], FOUR[1, 2, :1], FOUR[1, 2, 1:]]),
    (LONG, [LONG[:5], LONG[5:]]),
])
def test_from_slabs_is_the_whole_array(values, slabs):
    whole = rlearray.RleArray(np.concatenate([s.reshape(-1) for s in slabs]).reshape(values.shape))
    built = rlearray.RleArray.from_slabs(values.shape, iter(slabs))
    assert type(built) is rlearray.RleArray and built.shape == whole.shape
    assert entries(built) == entries(whole)
    assert (built.nbytes, built.used_bytes, built.shared_lines) == \
        (whole.nbytes, whole.used_bytes, whole.shared_lines)
    np.testing.assert_array_equal(built.toarray(), whole.toarray())


def test_repeated_and_recurring_lines_borrow():
    # A line equal to the one before and one equal to an earlier line both
    # borrow that line's list; a line that only flushes to an earlier one too.
    r = rlearray.RleArray([[1, 2, 2], [1, 2, 2], [3, 3, 3], [1, 2, 2], [1e-38, 0, 0], [0, 0, 0]])
    assert [e[1] for e in entries(r)] == [1, 0, 1, 0, 1, 0]
    assert r.shared_lines == 3 and r.used_bytes == 6 * 16 + (3 + 2 + 2) * 8
    assert entries(r)[1] == entries(r)[3] == (2.0, 0, [(0.5, 0), (1.0, 1), (0.0, 3)])


def refused_slabs():
    def failing():
        yield np.ones((1, 3))
        raise RuntimeError("slab source failed")

    ones = np.ones((2, 3), np.float32)
    return [
        ((5,), [np.ones(5)], ValueError, "2 to 10 dimensions, not 1"),
        ((1,) * 11, [np.ones((1,) * 11)], ValueError, "2 to 10 dimensions, not 11"),
        ((2, 0), [], ValueError, "dimensions do not fit"),
        ((2, 32767), [], ValueError, "dimensions do not fit"),
        ((2, 2**40), [], ValueError, "dimensions do not fit"),
        (5, [ones], TypeError, None),
        (("a", 3), [ones], TypeError, None),
        ((2, 3), 5, TypeError, None),
        ((2, 3), [ones[:1], np.ones((1, 4))], ValueError, r"slab 1 \(2 dimensions\) does not "
                                                          r"continue shape \(2, 3\) after 1 lines"),
        ((2, 3), [np.ones(3)], ValueError, r"slab 0 \(1 dimensions\)"),
        ((2, 3), [np.float32(1.0)], ValueError, r"slab 0 \(0 dimensions\)"),
        ((2, 3), [np.ones((1, 2, 3))], ValueError, r"slab 0 \(3 dimensions\)"),
        ((4, 5, 7), [np.ones((1, 5, 7)), np.ones((2, 5))], ValueError, "slab 1 .* after 5 lines"),
        ((2, 3), [ones, ones[:1]], ValueError, "slab 1 .* after 2 lines"),
        ((2, 3, 4), [np.ones((7, 4))], ValueError, "after 0 lines"),
        ((2, 3), [ones[:1]], ValueError, r"slabs end after 1 of the 2 lines of shape \(2, 3\)"),
        ((2, 3), [ones[:1], [[1.0, np.inf, 1.0]]], ValueError, "finite"),
        ((2, 3), [ones[:1], [["a", "b", "c"]]], ValueError, "could not convert"),
        ((2, 3), failing(), RuntimeError, "slab source failed"),
    ]


@pytest.mark.parametrize("shape, slabs, error, message", refused_slabs())
def test_from_slabs_refusals(shape, slabs, error, message):
    with pytest.raises(error, match=message):
        rlearray.RleArray.from_slabs(shape, slabs)
