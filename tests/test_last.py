"""cellcoef.last: coefficient RLE arrays from material pairs, and the marking."""
import numpy as np
import pytest

import cellcoef
import rlearray
from coefficients import coefficient_pair

R = rlearray.RleArray


def model(shape=(3, 4, 6)):
    a = np.ones(shape, np.float32)
    b = np.zeros(shape, np.float32)
    return a, b, np.full(shape, 0x3f, np.int16)


def test_uniform_material_shares_one_list():
    a, b, codes = model()
    pm, pl, count = cellcoef.last(R(a), R(b), codes, 2, 1.0)
    assert count == 0
    assert (codes == 0x3f).all()
    for arr in (pm, pl):
        assert type(arr) is rlearray.RleArray and arr.shape == a.shape
        for i in range(3):
            for j in range(4):
                assert arr.entry((i, j))[2] == [(1.0, 0), (0.0, 6)]
    # The very first pm line stores the list; every other line of both arrays
    # borrows it.
    assert pm.entry((0, 0))[1] == 1 and pl.entry((0, 0))[1] == 0
    assert pm.shared_lines == 11 and pl.shared_lines == 12
    assert pm.used_bytes == pm.nbytes + 16 and pl.used_bytes == pl.nbytes


@pytest.mark.parametrize("bit, cleared, lossy", [
    (0, 0x01, 0x40), (2, 0x04, 0x40), (3, 0x08, 0x40),
    (4, 0x10, 0x80), (5, 0x20, 0x80), (6, 0, 0), (15, 0, 0),
])
def test_marking(bit, cleared, lossy):
    a, b, codes = model()
    a[1, 2, 3] = b[1, 2, 3] = 0          # pm 0, pl 1
    b[0, 1, 4] = 0.5                     # pl 0.6
    b[2, 3, 0:2] = 0.25                  # pl 7/9
    pm, pl, count = cellcoef.last(R(a), R(b), codes, bit, 1.0)
    want = np.full(a.shape, 0x3f, np.int16)
    want[1, 2, 3] &= ~cleared
    want[0, 1, 4] |= lossy
    want[2, 3, 0:2] |= lossy
    np.testing.assert_array_equal(codes, want)
    assert count == (1 if cleared else 0)
    assert pm.toarray()[1, 2, 3] == 0 and pl.toarray()[1, 2, 3] == 1
    assert pl.toarray()[0, 1, 4] == np.float32(0.6)


@pytest.mark.parametrize("seed, a_scale", [(0, 1.0), (1, 2.5), (2, 0.3)])
def test_matches_dense_arithmetic(seed, a_scale):
    rng = np.random.default_rng(seed)
    shape = (4, 5, 33)
    pick = lambda palette: np.repeat(
        rng.choice(palette, shape[:2] + (11,)), 3, axis=2).astype(np.float32)
    a = pick([1.0, 4.4, 2.2, 0.0, 1e-38, 12.0])
    b = pick([0.0, 0.02, 0.5, 2.0, 0.0])
    codes = rng.integers(0, 0x400, shape).astype(np.int16)
    before = codes.copy()
    ra, rb = R(a), R(b)
    pm, pl, count = cellcoef.last(ra, rb, codes, 1, a_scale)
    want_pm, want_pl = coefficient_pair(ra.toarray(), rb.toarray(), a_scale)
    # pl is compressed exactly: the same entries as compressing it alone.
    expected_pl = R(want_pl)
    for i in range(4):
        for j in range(5):
            assert pl.entry((i, j))[::2] == expected_pl.entry((i, j))[::2]
    np.testing.assert_allclose(pm.toarray(), want_pm, rtol=3e-6)
    want_codes = before.copy()
    want_codes[want_pm == 0] &= ~0x02
    want_codes[want_pl < 1] |= 0x40
    np.testing.assert_array_equal(codes, want_codes)
    assert count == int((want_pm == 0).sum())


# Pairs around the floor below which pl makes the pair (0, 1):
# pl = (a - b/2) / (a + b/2).
@pytest.mark.parametrize("a, b, cleared", [
    (1.0, 799998.0, False),     # pl -0.999995: kept
    (1.0, 1799998.0, False),    # pl -0.9999978: kept
    (1.0, 7999998.0, True),     # pl -0.9999995: below -0.999999
    (0.0, 2.0, True),           # pl -1
], ids=["-0.999995", "-0.9999978", "-0.9999995", "-1"])
def test_pl_floor(a, b, cleared):
    a = np.full((1, 4), a, np.float32)
    b = np.full((1, 4), b, np.float32)
    codes = np.full((1, 4), 0x3f, np.int16)
    pm, pl, count = cellcoef.last(R(a), R(b), codes, 1, 1.0)
    want_pm, want_pl = coefficient_pair(a, b)
    assert (want_pm[0, 0] == 0) == cleared
    np.testing.assert_array_equal(pm.toarray(), want_pm)
    np.testing.assert_array_equal(pl.toarray(), want_pl)
    assert count == (4 if cleared else 0)
    # A cleared cell loses its flag; a kept one is lossy (pl below 1).
    assert (codes == (0x3d if cleared else 0x7f)).all()


def test_tolerant_pm_snaps_nearly_equal_lines():
    a, b, codes = model((1, 2, 4))
    a[0, 0, :2] = 2.0                    # pm 0.5
    a[0, 1, :2] = 1.9999998              # pm 0.50000003, within 1e-6 of 0.5
    pm, pl, _ = cellcoef.last(R(a), R(b), codes, 0, 1.0)
    assert pm.entry((0, 1)) == (1.0, 0, [(0.5, 0), (1.0, 2), (0.0, 4)])
    assert pm.shared_lines == 1


@pytest.mark.parametrize("ndim", [1, 2])
def test_fewer_dimensions(ndim):
    shape = (3, 5)[2 - ndim:]
    a, b, codes = model(shape)
    a[..., 1] = 0
    pm, pl, count = cellcoef.last(R(a), R(b), codes, 1, 1.0)
    assert pm.shape == shape and count == a.size // 5
    assert (codes[..., 1] == 0x3d).all()


def refusal_cases():
    a, b, codes = model()
    ra, rb = R(a), R(b)
    view = np.zeros((3, 4, 12), np.int16)[:, :, ::2]
    frozen = codes.copy()
    frozen.flags.writeable = False
    # Written through int16 pointers, as dispatch writes it.
    unaligned = np.zeros(codes.nbytes + 1, np.uint8)[1:].view(np.int16).reshape(codes.shape)
    unaligned[...] = codes
    return [
        ((a, rb, codes, 0, 1.0), "RLE Array expected"),
        ((ra, 5, codes, 0, 1.0), "RLE Array expected"),
        ((ra, rb, codes.tolist(), 0, 1.0), "Array expected"),
        ((ra, rb, np.ma.masked_array(codes), 0, 1.0), "Array expected"),
        ((R(np.ones((3, 4, 5))), rb, codes, 0, 1.0), "Shape differs from rle_b: rle_a"),
        ((R(np.ones((3, 6))), rb, codes, 0, 1.0), "Shape differs from rle_b: rle_a"),
        ((ra, rb, codes[0], 0, 1.0), "Wrong number of dimensions: codes"),
        ((ra, rb, codes.astype(np.int32), 0, 1.0), "Wrong element size: codes"),
        ((ra, rb, codes[:, :3], 0, 1.0), "Array too small: codes"),
        ((ra, rb, np.zeros((3, 4, 7), np.int16), 0, 1.0), "Line length differs from rle_b: codes"),
        ((ra, rb, view, 0, 1.0), "Array not contiguous: codes"),
        ((ra, rb, frozen, 0, 1.0), "Array not writeable: codes"),
        ((ra, rb, unaligned, 0, 1.0), "Array not aligned: codes"),
        ((ra, rb, codes, -1, 1.0), "Value out of range: bit"),
        ((ra, rb, codes, 0), "Error parsing args"),
        ((ra, rb, codes, "0", 1.0), "Error parsing args"),
    ]


@pytest.mark.parametrize("args, message", refusal_cases())
def test_refusals(args, message):
    codes = args[2] if isinstance(args[2], np.ndarray) else None
    before = None if codes is None else codes.copy()
    with pytest.raises(Exception, match="^" + message + "$"):
        cellcoef.last(*args)
    if codes is not None:
        np.testing.assert_array_equal(codes, before)


def test_non_finite_coefficients_change_nothing(capfd):
    # a / 0 is infinite on every cell: the compressor's check fails on the
    # first line, after the codes of no line have changed.
    a, b, codes = model()
    b[0, 0, 0] = 0.5
    a[0, 0, 1] = 0
    with pytest.raises(Exception, match=r"^fhsha<RLE_NHFLT && fhsha>=0$"):
        cellcoef.last(R(a), R(b), codes, 2, 0.0)
    assert (codes == 0x3f).all()
    err = capfd.readouterr().err
    assert err.startswith("cur ") and " max " in err
    assert "rle:277: Assertion `fhsha<RLE_NHFLT && fhsha>=0' failed." in err


def test_late_non_finite_line_changes_nothing(capfd):
    a, b, codes = model()
    a[0, 0, 0] = 0                       # would clear bit 2 on the first line
    a[2, 3, 4] = 1e-30                   # pm = 3e68, infinite in float32
    with pytest.raises(Exception, match="fhsha"):
        cellcoef.last(R(a), R(b), codes, 2, 3e38)
    assert (codes == 0x3f).all()
    capfd.readouterr()
