"""arcfind on 1 000 000 points of one circle against the same circle
construction vectorised with NumPy; and two calls from two threads at once
against the same two one after the other.

    .venv/bin/python bench/arcfind.py
"""
import sys

import numpy as np

# This script's folder comes first on the path and holds a file named like the
# module: look there last.
sys.path.append(sys.path.pop(0))
import arcfind  # noqa: E402
from timing import best_of, report, report_threads, two_threads  # noqa: E402

P = 1_000_000


def numpy_arcfind(points, tol):
    p = points[:len(points) // 2 * 2].reshape(-1, 2)
    x1, y1 = p[:-2].T
    x2, y2 = p[1:-1].T
    x3, y3 = p[2:].T
    m1x, m1y = (x1 + x2) * 0.5, (y1 + y2) * 0.5
    m2x, m2y = (x3 + x2) * 0.5, (y3 + y2) * 0.5
    ux, uy, vx, vy = x2 - x1, y2 - y1, x3 - x2, y3 - y2
    lu, lv = np.sqrt(ux * ux + uy * uy), np.sqrt(vx * vx + vy * vy)
    keep = (lu != 0) & (lv != 0)
    ux, uy = ux[keep] / lu[keep], uy[keep] / lu[keep]
    vx, vy = vx[keep] / lv[keep], vy[keep] / lv[keep]
    c1 = ux * m1x[keep] + uy * m1y[keep]
    c2 = vx * m2x[keep] + vy * m2y[keep]
    det = ux * vy - vx * uy
    cx = (c1 * vy - uy * c2) / det
    cy = (ux * c2 - vx * c1) / det
    dx, dy = cx - x2[keep], cy - y2[keep]
    r = np.sqrt(dx * dx + dy * dy)
    for values in (cx, cy, r):
        if (np.abs(np.diff(values)) > tol).any():
            return None
    return cx.mean(), cy.mean(), r.mean()


def main():
    # 1000 turns, so that neighbouring points are far enough apart for the
    # circle of every triple to come out within the tolerance.
    t = np.linspace(0.0, 2000 * np.pi, P)
    points = np.column_stack([1.5 + 2.0 * np.cos(t), -0.5 + 2.0 * np.sin(t)]).ravel()
    tol = 1e-6
    assert arcfind.arcfind(points, tol) is not None
    np.testing.assert_allclose(arcfind.arcfind(points, tol), numpy_arcfind(points, tol))
    t_ours = best_of(lambda: arcfind.arcfind(points, tol))
    t_numpy = best_of(lambda: numpy_arcfind(points, tol))
    report("arcfind 1e6 points", t_ours, t_numpy, "numpy")
    report_threads("arcfind 1e6 points", *two_threads(lambda: arcfind.arcfind(points, tol)))


if __name__ == "__main__":
    main()
