"""gauss + invmul against scipy.linalg.solve_banded, n = 1 000 000.

    .venv/bin/python bench/bandsolve.py
"""
import numpy as np
from scipy.linalg import solve_banded

import _bandsolve
from timing import best_of, report

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
        mult = np.zeros((N - 1, h + 1))
        sol = np.zeros(N)
        active = np.ones(N, np.uint8)

        def ours(band_c, rhs_c):
            _bandsolve.gauss(band_c, mult, h, 0, N)
            _bandsolve.invmul(band_c, mult, rhs_c, sol, active, h, 0, N, 0)

        t_ours = best_of(ours, lambda: (band.copy(), rhs.copy()))
        t_scipy = best_of(lambda: solve_banded((h, h), ab, rhs))
        np.testing.assert_allclose(sol, solve_banded((h, h), ab, rhs), rtol=1e-9, atol=1e-12)
        report(f"gauss+invmul h={h}", t_ours, t_scipy, "solve_banded")


if __name__ == "__main__":
    main()
