"""_bandsolve: gauss and invmul against a step-by-step model, SciPy's banded
solver, and the refusals that keep the arrays unchanged."""
import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import _bandsolve

BandError = Exception


def model_gauss(band, mult, h, n, copy=True):
    """The elimination step by step in Python floats (doubles); with
    copy=False on the arrays themselves, so that views sharing memory see each
    other's writes as the steps make them."""
    A, L = (band.tolist(), mult.tolist()) if copy else (band, mult)
    for k in range(n - 1):
        i = k + 1
        while i < k + h + 1 and i < n:
            d = i - k
            f = A[i][h - d] / A[k][h]
            L[k][d] = f
            for t in range(h + 1):
                A[i][h - d + t] = A[i][h - d + t] - f * A[k][h + t]
            i += 1
    return np.array(A), np.array(L)


def model_invmul(A, L, rhs, active, h, n, remove_mean, copy=True):
    A, L, b, a = (A.tolist(), L.tolist(), rhs.tolist(), active.tolist()) if copy else \
        (A, L, rhs, active)
    x = [0.0] * n
    for t in range(n):
        if a[t] == 0:
            b[t] = 0.0
    for k in range(n - 1):
        e, f = min(k + h + 1, n), b[k]
        for d in range(1, e - k):
            b[k + d] = b[k + d] - f * L[k][d]
    q = 0
    for r in range(n - 1, -1, -1):
        s = b[r]
        for t in range(1, q + 1):
            s = s - x[r + t] * A[r][h + t]
        x[r] = s / A[r][h]
        q = min(q + 1, h)
    for t in range(n):
        if a[t] == 0:
            x[t] = 0.0
    if remove_mean:
        total, count = 0.0, sum(1 for v in a if v != 0)
        for v in x:
            total += v
        mean = total / count if count else float("nan")
        x = [v - mean for v in x]
    return np.array(b), np.array(x)


def system(n, h, seed=0):
    """A diagonally dominant band, a right-hand side and the dense matrix."""
    rng = np.random.default_rng(seed)
    band = rng.uniform(-1, 1, (n, 2 * h + 1))
    band[:, h] += 2 * h + 1
    dense = np.zeros((n, n))
    for i in range(n):
        for j in range(2 * h + 1):
            if 0 <= i - h + j < n:
                dense[i, i - h + j] = band[i, j]
    return band, dense, rng.uniform(-1, 1, n)


def solve(band, rhs, h, active=None, remove_mean=0, reserved=0):
    n = len(rhs)
    band, rhs = band.copy(), rhs.copy()
    mult = np.zeros((max(n - 1, 0), h + 1))
    sol = np.zeros(n)
    active = np.ones(n, np.uint8) if active is None else active
    assert _bandsolve.gauss(band, mult, h, reserved, n) is None
    assert _bandsolve.invmul(band, mult, rhs, sol, active, h, reserved, n, remove_mean) is None
    return band, mult, rhs, sol


@pytest.mark.parametrize("h", [1, 2, 3, 4])
def test_against_scipy_solve_banded(h):
    linalg = pytest.importorskip("scipy.linalg")
    n = 200
    band, dense, b = system(n, h, seed=h)
    ab = np.zeros((2 * h + 1, n))  # SciPy's layout: ab[h + i - j, j] = a[i, j]
    for i in range(n):
        for j in range(max(0, i - h), min(n, i + h + 1)):
            ab[h + i - j, j] = dense[i, j]
    *_, x = solve(band, b, h)
    np.testing.assert_allclose(x, linalg.solve_banded((h, h), ab, b), rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("n, h, inactive, remove_mean, reserved", [
    (12, 1, [], 0, 0),
    (12, 2, [0, 5, 11], 0, 7),
    (12, 3, [3, 4], 1, -1),
    (5, 4, [], 1, 0),     # half-width beyond the matrix: storage past the last column
    (4, 4, [1], 0, 0),
    (40, 3, [7, 8, 39], 1, 0),
    (20, 6, [], 0, 0),
    (6, 9, [0], 1, 0),
    (9, 0, [2], 1, 0),    # diagonal only
    (2, 1, [0], 0, 0),
])
def test_bit_exact_to_the_steps(n, h, inactive, remove_mean, reserved):
    band, _, b = system(n, h, seed=n + h)
    active = np.ones(n, np.uint8)
    active[inactive] = 0
    got_band, got_mult, got_rhs, got_x = solve(band, b, h, active, remove_mean, reserved)
    want_band, want_mult = model_gauss(band, np.zeros((max(n - 1, 0), h + 1)), h, n)
    want_rhs, want_x = model_invmul(want_band, want_mult, b, active, h, n, remove_mean)
    np.testing.assert_array_equal(got_band, want_band)
    np.testing.assert_array_equal(got_mult, want_mult)
    np.testing.assert_array_equal(got_rhs, want_rhs)  # forward-eliminated, inactive entries 0
    np.testing.assert_array_equal(got_x, want_x)


def test_tridiagonal_solution_and_inactive_variables():
    n = 50
    band, dense, b = system(n, 1, seed=3)
    *_, x = solve(band, b, 1)
    np.testing.assert_allclose(dense @ x, b, rtol=0, atol=1e-13)

    active = np.ones(n, np.uint8)
    active[[0, 17]] = 0
    _, _, rhs, raw = solve(band, b, 1, active)
    # Row 0 receives nothing from the elimination, so its zeroing stays visible.
    assert rhs[0] == 0.0 and raw[0] == 0.0 and raw[17] == 0.0
    _, _, _, x = solve(band, b, 1, active, remove_mean=1)
    mean = raw.sum() / (n - 2)  # over the active ones, subtracted from all
    np.testing.assert_allclose(x, raw - mean, rtol=0, atol=1e-15)
    assert x[0] == x[17] == -mean


def test_mean_over_no_active_variable_is_nan():
    band, _, b = system(6, 2)
    *_, x = solve(band, b, 2, np.zeros(6, np.uint8), remove_mean=1)
    assert np.isnan(x).all()


@pytest.mark.parametrize("h, n", [(0, 5), (2, 1), (2, 0), (1, -3)])
def test_gauss_without_work_changes_nothing(h, n):
    band = np.arange(15.0).reshape(5, 3)
    mult = np.full((4, 2), 9.0)
    assert _bandsolve.gauss(band, mult, h, 0, n) is None
    np.testing.assert_array_equal(band, np.arange(15.0).reshape(5, 3))
    assert (mult == 9.0).all()


def test_layouts_reached_through_strides():
    """Single entries go through the strides: a strided multipliers array in
    gauss, one multiplier per row in invmul at half-width 1, and strided flags."""
    n, h = 30, 1
    band, _, b = system(n, h, seed=5)
    plain = solve(band, b, h)
    wide = np.full((n - 1, 2 * (h + 1)), -1.0)
    mult = wide[:, ::2]
    flags = np.ones(2 * n, np.uint8)[::2]
    band_f, rhs = band.copy(), b.copy()
    sol = np.zeros(n)
    _bandsolve.gauss(band_f, mult, h, 0, n)
    _bandsolve.invmul(band_f, mult, rhs, sol, flags, h, 0, n, 0)
    np.testing.assert_array_equal(mult[:, 1:], plain[1][:, 1:])
    assert (mult[:, 0] == -1.0).all() and (wide[:, 1::2] == -1.0).all()
    np.testing.assert_array_equal(sol, plain[3])


def arrays(n=6, h=2):
    band, _, b = system(n, h)
    return dict(band=band, mult=np.zeros((n - 1, h + 1)), rhs=b, sol=np.zeros(n),
                active=np.ones(n, np.uint8), h=h, n=n)


def strided(a, axis):
    """`a` as a view whose steps along `axis` are twice the element size."""
    shape = list(a.shape)
    shape[axis] *= 2
    big = np.zeros(shape, a.dtype)
    view = big[(slice(None),) * axis + (slice(None, None, 2),)]
    view[...] = a
    return view


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def unaligned(a):
    """A copy of `a` one byte off the alignment of float64."""
    raw = np.frombuffer(bytearray(a.nbytes + 1), np.uint8)[1:]
    view = raw.view(a.dtype).reshape(a.shape)
    view[...] = a
    return view


REFUSALS = [
    # method, change to the arguments, message
    ("gauss", dict(h=-1), "Negative value: halfwidth"),
    ("invmul", dict(h=-1), "Negative value: halfwidth"),
    ("gauss", dict(band=lambda a: a[:-1]), "Array too small: band"),
    ("gauss", dict(band=lambda a: a[:, :-1]), "Array too small: band"),   # no storage past the last column
    ("gauss", dict(band=lambda a: a.astype(np.float32)), "Wrong element size: band"),
    ("gauss", dict(band=lambda a: strided(a, 1)), "Array not contiguous: band"),
    ("gauss", dict(band=lambda a: a.ravel()), "Wrong number of dimensions: band"),
    ("gauss", dict(mult=lambda a: a[:-1]), "Array too small: multipliers"),
    ("gauss", dict(mult=lambda a: a[:, :-1]), "Array too small: multipliers"),
    ("gauss", dict(mult=lambda a: a.astype(np.int32)), "Wrong element size: multipliers"),
    ("invmul", dict(band=lambda a: a[:, :-1]), "Array too small: band"),
    ("invmul", dict(band=lambda a: strided(a, 1)), "Array not contiguous: band"),
    ("invmul", dict(mult=lambda a: a[:-1]), "Array too small: multipliers"),
    ("invmul", dict(mult=lambda a: strided(a, 1)), "Array not contiguous: multipliers"),
    ("invmul", dict(rhs=lambda a: a[:-1]), "Array too small: rhs"),
    ("invmul", dict(rhs=lambda a: strided(a, 0)), "Array not contiguous: rhs"),
    ("invmul", dict(sol=lambda a: a.astype(np.float32)), "Wrong element size: solution"),
    ("invmul", dict(sol=lambda a: strided(a, 0)), "Array not contiguous: solution"),
    ("invmul", dict(active=lambda a: a[:-1]), "Array too small: active"),
    ("invmul", dict(active=lambda a: a.astype(np.int16)), "Wrong element size: active"),
    ("invmul", dict(n=7), "Array too small: band"),
    ("gauss", dict(band=read_only), "Array not writeable: band"),
    ("gauss", dict(mult=read_only), "Array not writeable: multipliers"),
    ("invmul", dict(rhs=read_only), "Array not writeable: rhs"),
    ("invmul", dict(sol=read_only), "Array not writeable: solution"),
    ("gauss", dict(band=unaligned), "Array not aligned: band"),
    ("gauss", dict(mult=unaligned), "Array not aligned: multipliers"),
    ("invmul", dict(band=unaligned), "Array not aligned: band"),
    ("invmul", dict(mult=unaligned), "Array not aligned: multipliers"),
    ("invmul", dict(rhs=unaligned), "Array not aligned: rhs"),
    ("invmul", dict(sol=unaligned), "Array not aligned: solution"),
]


@pytest.mark.parametrize("method, change, message", REFUSALS)
def test_refusals_change_nothing(method, change, message):
    args = arrays()
    for key, value in change.items():
        args[key] = value(args[key]) if callable(value) else value
    before = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
    if method == "gauss":
        call = (args["band"], args["mult"], args["h"], 0, args["n"])
    else:
        call = (args["band"], args["mult"], args["rhs"], args["sol"], args["active"],
                args["h"], 0, args["n"], 1)
    with pytest.raises(BandError) as info:
        getattr(_bandsolve, method)(*call)
    assert str(info.value) == message
    for key, value in before.items():
        np.testing.assert_array_equal(args[key], value)



def overlapping_rows(n, h, buf):
    """A band whose rows share storage, each starting h entries after the
    last, and multipliers of their own."""
    return as_strided(buf, (n, 2 * h + 1), (8 * h, 8)), np.zeros((n - 1, h + 1))


def multipliers_on_the_band(n, h, buf):
    """Multipliers whose rows lie on the band's super-diagonals."""
    band = buf[:n * (2 * h + 1)].reshape(n, 2 * h + 1)
    return band, as_strided(buf[h:], (n - 1, h + 1), (8 * (2 * h + 1), 8))


@pytest.mark.parametrize("h", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("layout", [overlapping_rows, multipliers_on_the_band])
def test_gauss_on_arrays_that_share_memory_follows_the_steps(layout, h):
    """Every step reads what the steps before it wrote to the shared memory."""
    n = 9
    buf = np.random.default_rng(h).uniform(-1, 1, n * (2 * h + 1)) + 4.0
    got, want = buf.copy(), buf.copy()
    _bandsolve.gauss(*layout(n, h, got), h, 0, n)
    with np.errstate(all="ignore"):
        model_gauss(*layout(n, h, want), h, n, copy=False)
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("h", [2, 3, 4, 5])
def test_invmul_with_rhs_inside_the_multipliers_follows_the_steps(h):
    """The forward elimination reads multipliers that it has just updated."""
    n = 12
    band, _, _ = system(n, h, seed=h)
    buf = np.random.default_rng(h).uniform(-1, 1, (n - 1) * (h + 1))
    active = np.ones(n, np.uint8)

    def arrays(b):  # multipliers, and rhs from entry (1, 1) of them on
        return b.reshape(n - 1, h + 1), b[h + 2:h + 2 + n]

    got, sol = buf.copy(), np.zeros(n)
    _bandsolve.invmul(band, *arrays(got), sol, active, h, 0, n, 0)
    want = buf.copy()
    _, x = model_invmul(band, *arrays(want), active, h, n, 0, copy=False)
    np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(sol, x)
