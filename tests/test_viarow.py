"""viarow: numpy.interp inside the table, the bisection's own rules at the
ends, at exact hits and on repeated positions, and the refusals."""
import fractions

import numpy as np
import pytest

import viarow


def model(x, cf, pos, out=None):
    """calc_p step by step: plain bisection, unclamped weight. (The module
    takes N entries of every array; here the table may be longer.) Writes into
    `out` where given, so that arrays sharing its memory see each result as
    the steps write it."""
    out = np.zeros(len(x), complex) if out is None else out
    for i in range(len(x)):
        a, b = 0, len(pos) - 1
        while b - a > 1:
            m = (a + b) // 2
            if pos[m] < x[i]:
                a = m
            else:
                b = m
        xa = float(pos[a])
        width = float(pos[b]) - xa
        fact = 0.0 if width == 0 else (float(x[i]) - xa) / width
        out[i] = complex((1 - fact) * cf[a].real + fact * cf[b].real,
                         (1 - fact) * cf[a].imag + fact * cf[b].imag)
    return out


def model_fast(x, cf, pos):
    """The same bracket found with searchsorted, valid on ascending tables."""
    n = len(pos)
    b = np.clip(np.searchsorted(pos, x, side="left"), 1, n - 1)
    a = b - 1
    width = pos[b] - pos[a]
    with np.errstate(all="ignore"):
        fact = np.where(width == 0, 0.0, (x - pos[a]) / width)
    return ((1 - fact) * cf[a].real + fact * cf[b].real
            + 1j * ((1 - fact) * cf[a].imag + fact * cf[b].imag))


def run(n, x, cf, pos, attr=None, dvia=0.0):
    p = np.full(max(len(x), 1), 7 + 7j)
    result = viarow.viarow(n, x, cf, pos, p, np.zeros(3) if attr is None else attr, dvia)
    assert result == 1
    return p


def table(n, seed=0):
    rng = np.random.default_rng(seed)
    pos = np.cumsum(rng.uniform(0.1, 1.0, n))
    cf = rng.normal(size=n) + 1j * rng.normal(size=n)
    return rng, pos, cf


def test_against_numpy_interp_inside_the_table():
    rng, pos, cf = table(500)
    x = rng.uniform(pos[0], pos[-1], 500)
    p = run(500, x, cf, pos)
    np.testing.assert_allclose(p.real, np.interp(x, pos, cf.real), rtol=0, atol=1e-13)
    np.testing.assert_allclose(p.imag, np.interp(x, pos, cf.imag), rtol=0, atol=1e-13)


def test_exact_hits_and_ends_reproduce_the_table():
    _, pos, cf = table(64, seed=1)
    x = np.random.default_rng(2).permutation(pos)
    np.testing.assert_array_equal(run(64, x, cf, pos), cf[np.searchsorted(pos, x)])


def test_extrapolation_from_the_end_intervals():
    _, pos, cf = table(10, seed=3)
    x = np.array([pos[0] - 5.0, pos[-1] + 2.5] + [0.0] * 8)
    p = run(10, x, cf, pos)
    first = cf[0] + (cf[1] - cf[0]) * (x[0] - pos[0]) / (pos[1] - pos[0])
    last = cf[8] + (cf[9] - cf[8]) * (x[1] - pos[8]) / (pos[9] - pos[8])
    np.testing.assert_allclose(p[:2], [first, last], rtol=1e-13)


def cases():
    rng = np.random.default_rng(7)
    pos = np.sort(rng.uniform(0, 10, 40))
    cf = rng.normal(size=40) + 1j * rng.normal(size=40)
    tied = np.repeat(pos[::4], 4)
    near_start_then_nan = np.tile([tied[5], np.nan], 20)  # NaN brackets as (0, 1)
    return {
        "one entry": (np.array([3.0]), cf[:1], pos[:1]),
        "two entries": (np.array([-1.0, 11.0]), cf[:2], np.array([0.0, 10.0])),
        "repeated positions": (rng.uniform(-1, 11, 40), cf, tied),
        "hits on repeated positions": (rng.permutation(tied), cf, tied),
        "nan on repeated positions": (near_start_then_nan, cf, tied),
        "sorted positions": (np.sort(rng.uniform(-1, 11, 40)), cf, pos),
        "back to the first interval": (np.tile([(pos[1] + pos[2]) / 2] * 2 + [pos[0] - 1] * 2, 10),
                                       cf, pos),
        "descending positions": (np.sort(rng.uniform(-1, 11, 40))[::-1].copy(), cf, pos),
        "not ascending table": (rng.uniform(-1, 11, 40), cf, rng.uniform(0, 10, 40)),
        "nan in table": (rng.uniform(-1, 11, 40), cf, np.where(np.arange(40) == 9, np.nan, pos)),
        "nan and inf positions": (np.array([np.nan, np.inf, -np.inf, pos[3], np.nan] * 8), cf, pos),
        "infinite table value": (pos.copy(), np.where(np.arange(40) == 3, np.inf, cf), pos),
    }


@pytest.mark.parametrize("name", cases())
def test_matches_the_bisection_bit_for_bit(name):
    x, cf, pos = cases()[name]
    n = len(x)
    with np.errstate(all="ignore"):
        want = model(x, cf, pos)
    np.testing.assert_array_equal(run(n, x, cf, pos), want)


@pytest.mark.parametrize("order", ["sorted", "random", "clustered"])
def test_search_from_last_bracket_gives_the_bisection_results(order):
    """The search that starts from the previous bracket, on a large ascending
    table with ties, against the bracket the bisection defines."""
    n = 200_000
    rng = np.random.default_rng(11)
    pos = np.sort(np.round(rng.uniform(0, 1000, n), 1))  # many equal positions
    cf = rng.normal(size=n) + 1j * rng.normal(size=n)
    x = rng.uniform(-10, 1010, n)
    if order == "sorted":
        x.sort()
    elif order == "clustered":
        x = np.sort(x).reshape(-1, 1000)[rng.permutation(n // 1000)].ravel()
    x[::97] = pos[rng.integers(0, n, x[::97].size)]  # exact hits
    np.testing.assert_array_equal(run(n, x, cf, pos), model_fast(x, cf, pos))
    # searchsorted's bracket is the bisection's on this table
    np.testing.assert_array_equal(model_fast(x[:2000], cf, pos), model(x[:2000], cf, pos))


def test_nothing_written_for_n_up_to_zero_and_attr_dvia_ignored():
    _, pos, cf = table(8, seed=5)
    x = np.linspace(0, 5, 8)
    for n in (0, -4):
        assert (run(n, x, cf, pos) == 7 + 7j).all()
    base = run(8, x, cf, pos)
    other = run(8, x, cf, pos, attr=np.array(["anything"]), dvia=1e300)
    np.testing.assert_array_equal(base, other)


class CallingPitch(fractions.Fraction):
    """A pitch whose conversion to float runs Python code first, as another
    thread could while the conversion runs: here a call of viarow with a count
    of its own."""

    def __float__(self):
        viarow.viarow(2, np.zeros(2), np.ones(2, complex), np.arange(2.0), np.zeros(2, complex),
                      np.zeros(1), 0.0)
        return super().__float__()


def test_a_call_uses_its_own_count_whatever_its_pitch_runs():
    rng, pos, cf = table(50, seed=6)
    x = rng.uniform(pos[0], pos[-1], 50)
    np.testing.assert_array_equal(run(50, x, cf, pos, dvia=CallingPitch(1, 3)),
                                  model(x, cf, pos))


def unaligned(a):
    """A copy of `a` one byte off the alignment of float64."""
    view = np.frombuffer(bytearray(a.nbytes + 1), np.uint8)[1:].view(a.dtype)
    view[...] = a
    return view


def refusal_args(n=6):
    return dict(x=np.linspace(0, 1, n), cf=np.ones(n, complex), pos=np.linspace(0, 1, n),
                p=np.zeros(n, complex))


@pytest.mark.parametrize("change, n, message", [
    (dict(), 7, "Array too small: _x"),
    (dict(p=lambda a: a[:5]), 6, "Array too small: _p"),
    (dict(cf=lambda a: a[:5]), 6, "Array too small: _cf"),
    (dict(pos=lambda a: a[:5]), 6, "Array too small: _pos"),
    (dict(x=lambda a: a.astype(np.float32)), 6, "Wrong element size: _x"),
    (dict(cf=lambda a: a.real.copy()), 6, "Wrong element size: _cf"),
    (dict(p=lambda a: a.astype(np.complex64)), 6, "Wrong element size: _p"),
    (dict(pos=lambda a: np.repeat(a, 2)[::2]), 6, "Array not contiguous: _pos"),
    (dict(p=lambda a: np.frombuffer(a.tobytes(), complex)), 6, "Array not writeable: _p"),
    (dict(x=lambda a: unaligned(a)), 6, "Array not aligned: _x"),
    (dict(p=lambda a: unaligned(a)), 6, "Array not aligned: _p"),
    (dict(cf=lambda a: unaligned(a)), 6, "Array not aligned: _cf"),
    (dict(pos=lambda a: unaligned(a)), 6, "Array not aligned: _pos"),
])
def test_refusals_leave_the_output_untouched(change, n, message):
    args = refusal_args()
    for key, value in change.items():
        args[key] = value(args[key])
    before = args["p"].copy()
    with pytest.raises(Exception) as info:
        viarow.viarow(n, args["x"], args["cf"], args["pos"], args["p"], np.zeros(1), 0.0)
    assert type(info.value) is Exception and str(info.value) == message
    np.testing.assert_array_equal(args["p"], before)



@pytest.mark.parametrize("shared", ["_pos", "_x"])
def test_output_sharing_memory_with_positions_follows_the_steps(shared):
    """Each result is written before the next position is bracketed, so an
    output over the table or the positions changes what later ones see."""
    n = 40
    rng = np.random.default_rng(8)
    cf = rng.normal(size=n) + 1j * rng.normal(size=n)
    other = np.sort(rng.uniform(-1, 11, n))
    start = np.sort(rng.uniform(0, 10, 2 * n))  # its first n entries are the shared array

    def arrays(buf):  # x, pos and p, with p over all of buf
        return (other, buf[:n]) if shared == "_pos" else (buf[:n], other)

    got, want = start.copy(), start.copy()
    x, pos = arrays(got)
    assert viarow.viarow(n, x, cf, pos, got.view(complex), np.zeros(1), 0.0) == 1
    x, pos = arrays(want)
    with np.errstate(all="ignore"):
        model(x, cf, pos, out=want.view(complex))
    np.testing.assert_array_equal(got, want)
