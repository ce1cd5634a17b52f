"""arcfind: known circles and arcs, the triple-by-triple model bit for bit, and
the refusals."""
import math

import numpy as np
import pytest

import arcfind


def model(points, tol):
    """The circle construction step by step in Python floats."""
    pts = points.tolist()
    count = len(pts) // 2
    prev_x, prev_y, prev_r = 0.0, 0.0, -1.0
    sx = sy = sr = 0.0
    accepted = 0
    for i in range(count - 2):
        x1, y1, x2, y2, x3, y3 = pts[2 * i:2 * i + 6]
        m1x, m1y = (x1 + x2) * 0.5, (y1 + y2) * 0.5
        m2x, m2y = (x3 + x2) * 0.5, (y3 + y2) * 0.5
        ux, uy, vx, vy = x2 - x1, y2 - y1, x3 - x2, y3 - y2
        lu, lv = math.sqrt(ux * ux + uy * uy), math.sqrt(vx * vx + vy * vy)
        if lu == 0 or lv == 0:
            continue
        ux, uy, vx, vy = ux / lu, uy / lu, vx / lv, vy / lv
        c1, c2 = ux * m1x + uy * m1y, vx * m2x + vy * m2y
        det = ux * vy - vx * uy
        with np.errstate(all="ignore"):  # a zero determinant is not guarded
            X = float(np.float64(c1 * vy - uy * c2) / det)
            Y = float(np.float64(ux * c2 - vx * c1) / det)
        dx, dy = X - x2, Y - y2
        r = math.sqrt(dx * dx + dy * dy)
        if prev_r != -1.0 and (abs(X - prev_x) > tol or abs(Y - prev_y) > tol
                               or abs(r - prev_r) > tol):
            return None
        prev_x, prev_y, prev_r = X, Y, r
        sx, sy, sr = sx + X, sy + Y, sr + r
        accepted += 1
    if accepted == 0:
        return (math.nan,) * 3
    return (sx / accepted, sy / accepted, sr / accepted)


def arc(cx, cy, r, start, span, count, noise=0.0, seed=0):
    t = np.linspace(start, start + span, count)
    pts = np.column_stack([cx + r * np.cos(t), cy + r * np.sin(t)])
    pts += np.random.default_rng(seed).normal(0.0, noise, pts.shape) if noise else 0.0
    return pts.ravel()


@pytest.mark.parametrize("cx, cy, r, span, count", [
    (0.0, 0.0, 1.0, 2 * math.pi * 0.99, 100),
    (3.5, -2.0, 0.25, 1.0, 12),
    (-1e3, 4e2, 50.0, 0.05, 30),
    (2.0, 2.0, 7.0, math.pi, 400),
])
def test_known_arcs(cx, cy, r, span, count):
    result = arcfind.arcfind(arc(cx, cy, r, 0.3, span, count), 1e-6)
    assert result == pytest.approx((cx, cy, r), rel=1e-9, abs=1e-9 * r)


@pytest.mark.parametrize("noise, tol, found", [
    (1e-12, 1e-6, True),    # noise well below tol
    (1e-4, 1e-6, False),    # noise above tol
    (1e-4, 1.0, True),      # the same noisy chain with a tolerance above its scatter
])
def test_noise_against_tol(noise, tol, found):
    points = arc(1.0, -1.0, 2.0, 0.0, 2.0, 40, noise=noise, seed=4)
    result = arcfind.arcfind(points, tol)
    assert (result is not None) == found
    if found:
        assert result == pytest.approx((1.0, -1.0, 2.0), abs=max(100 * noise, 1e-9))


CHAINS = {
    "circle": arc(0.5, 0.5, 3.0, 0.0, 5.0, 60),
    "noisy": arc(0.5, 0.5, 3.0, 0.0, 5.0, 60, noise=1e-3, seed=1),
    "repeated points": np.array([0, 0, 1, 0, 1, 0, 1, 0, 2, 1, 2, 1, 1, 2], float),
    "all one point": np.zeros(10),
    "collinear": np.array([0, 0, 1, 1, 2, 2, 3, 3], float),
    "collinear then arc": np.concatenate([[-2.0, 0.0, -1.0, 0.0], arc(0, 0, 1, math.pi, 1, 5)]),
    "two points": np.array([0, 0, 1, 1], float),
    "odd length": np.append(arc(0, 0, 1, 0, 1, 4), 99.0),
    "three points": np.array([0, 0, 5, 1, -3, 2], float),
}


@pytest.mark.parametrize("name", CHAINS)
@pytest.mark.parametrize("tol", [0.0, 1e-9, 1e-2, math.inf])
def test_matches_the_steps_bit_for_bit(name, tol):
    points = CHAINS[name]
    got, want = arcfind.arcfind(points, tol), model(points, tol)
    if want is None:
        assert got is None
    else:
        assert isinstance(got, tuple) and len(got) == 3
        np.testing.assert_array_equal(got, want)


def test_without_accepted_triple_gives_nans_and_three_points_always_a_circle():
    for points in (np.zeros(0), np.array([0.0, 0, 1, 1, 2]), np.zeros(12)):
        assert all(math.isnan(v) for v in arcfind.arcfind(points, 1.0))
    cx, cy, r = arcfind.arcfind(np.array([0.0, 0, 2, 0, 1, 1]), -1.0)
    assert (cx, cy, r) == pytest.approx((1.0, 0.0, 1.0))


def test_difference_equal_to_tol_is_accepted():
    points = arc(0.0, 0.0, 1.0, 0.0, 1.0, 4, noise=1e-6, seed=2)
    first = model(points[:6], 0.0)
    second = model(points[2:], 0.0)
    limit = max(abs(a - b) for a, b in zip(first, second))
    assert arcfind.arcfind(points, limit) is not None
    assert arcfind.arcfind(points, np.nextafter(limit, 0.0)) is None


def test_first_extent_only_counts_points():
    pairs = arc(0.0, 0.0, 1.0, 0.0, 2.0, 8).reshape(8, 2)  # shape (P, 2): P/2 points
    np.testing.assert_array_equal(arcfind.arcfind(pairs, 1e-6), model(pairs.ravel()[:8], 1e-6))


def unaligned(a):
    """A copy of `a` one byte off the alignment of float64."""
    view = np.frombuffer(bytearray(a.nbytes + 1), np.uint8)[1:].view(a.dtype)
    view[...] = a
    return view


@pytest.mark.parametrize("points, message", [
    (arc(0, 0, 1, 0, 1, 5).astype(np.float32), "Wrong element size: points"),
    (unaligned(arc(0, 0, 1, 0, 1, 5)), "Array not aligned: points"),
    (arc(0, 0, 1, 0, 1, 10)[::2], "Array not contiguous: points"),
    (np.array(1.0), "Wrong number of dimensions: points"),
])
def test_refusals(points, message):
    with pytest.raises(Exception) as info:
        arcfind.arcfind(points, 1e-3)
    assert str(info.value) == message
