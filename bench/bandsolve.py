"""gauss + invmul against scipy.linalg.solve_banded, n = 1 000 000; and two
solves from two threads at once against the same two one after the other.

    .venv/bin/python bench/bandsolve.py
"""
import numpy as np
from scipy.linalg import solve_banded

import _bandsolve
from timing import best_of, report, report_threads, two_threads

N = 1_000_000


def main():
    rng = np.random.default_rng(0)
    for h in (1, 2, 4):
        band = rng.uniform(-1, 1, (N, 2 * h + 1))
        band[:, h] += 2 * h + 1
        rhs = rng.uniform(-1, 1, N)
        # SciPy's layout of the same matrix: ab[h + i - j, j] = a[i, j]
        ab = np.zeros((2 * h + 1, N))
        for j in range(2 * h + 1):
            ab[2 * h - j, max(0, j - h):N + min(0, j - h)] = band[max(0, h - j):N - max(0, j - h), j]
        active = np.ones(N, np.uint8)

        def ours(band_c, rhs_c, mult, sol):
            _bandsolve.gauss(band_c, mult, h, 0, N)
            _bandsolve.invmul(band_c, mult, rhs_c, sol, active, h, 0, N, 0)

        def prepare():
            return band.copy(), rhs.copy(), np.ones((N - 1, h + 1)), np.ones(N)

        args = prepare()
        ours(*args)
        np.testing.assert_allclose(args[3], solve_banded((h, h), ab, rhs), rtol=1e-9, atol=1e-12)
        t_ours = best_of(ours, prepare)
        t_scipy = best_of(lambda: solve_banded((h, h), ab, rhs))
        report(f"gauss+invmul h={h}", t_ours, t_scipy, "solve_banded")
        report_threads(f"gauss+invmul h={h}", *two_threads(ours, prepare))


if __name__ == "__main__":
    main()
