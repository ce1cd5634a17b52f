"""viarow against numpy.interp of a complex table, N = 1 000 000 table entries
and positions, sorted and random; and two calls from two threads at once
against the same two one after the other.

    .venv/bin/python bench/viarow.py
"""
import sys

import numpy as np

# This script's folder comes first on the path and holds a file named like the
# module: look there last.
sys.path.append(sys.path.pop(0))
import viarow  # noqa: E402
from timing import alternate, best_of, report, report_threads, two_threads  # noqa: E402

N = 1_000_000


def main():
    rng = np.random.default_rng(0)
    pos = np.sort(rng.uniform(0.0, 1.0, N))
    cf = rng.normal(size=N) + 1j * rng.normal(size=N)
    out = np.zeros(N, complex)
    attr = np.zeros(1)
    positions = rng.uniform(0.0, 1.0, N)
    for label, x in (("sorted", np.sort(positions)), ("random", positions)):
        t_ours = best_of(lambda: viarow.viarow(N, x, cf, pos, out, attr, 0.0))
        t_numpy = best_of(lambda: np.interp(x, pos, cf))
        np.testing.assert_allclose(out, np.interp(x, pos, cf), rtol=1e-9, atol=1e-12)
        report(f"viarow {label} positions", t_ours, t_numpy, "numpy.interp")
        serial, together = two_threads(lambda p: viarow.viarow(N, x, cf, pos, p, attr, 0.0),
                                       alternate((np.ones(N, complex),), (np.ones(N, complex),)))
        report_threads(f"viarow {label} positions", serial, together)


if __name__ == "__main__":
    main()
