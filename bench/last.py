"""Times cellcoef.last on a 256^3 model beside NumPy's dense arithmetic.

The model, indexed [z][y][x]: a lossy substrate at the bottom, a layer of metal
strips (high conductivity, so pm comes out 0) running along y, a second lossy
dielectric, and air above. `last` works on the RLE arrays; NumPy computes the
same coefficient pair, (pm, pl) = (1 / u, w / u) with u = a/s + b/2 and
w = a/s - b/2 in double precision, over the dense float32 grid.

    .venv/bin/python bench/last.py [n]
"""
import os
import sys
import time

import numpy as np

import cellcoef
import rlearray

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from coefficients import coefficient_pair  # noqa: E402  (the NumPy peer is the tests' reference)


def build_model(n):
    a = np.ones((n, n, n), np.float32)
    b = np.zeros((n, n, n), np.float32)
    substrate = slice(0, n // 4)
    strips = slice(n // 4, n // 4 + 4)
    cover = slice(n // 4 + 4, n // 2)
    a[substrate], b[substrate] = 4.4, 0.02
    a[cover], b[cover] = 2.2, 0.001
    x = np.arange(n)
    metal = (x % 32) < 8
    b[strips, :, metal] = 1e7
    return a, b


def best_of(repeats, fn):
    best = float("inf")
    for _ in range(repeats):
        t = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t)
    return best, result


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 256
    a, b = build_model(n)
    t0 = time.perf_counter()
    ra, rb = rlearray.RleArray(a), rlearray.RleArray(b)
    build = time.perf_counter() - t0
    codes = np.full(a.shape, 0x3f, np.int16)

    def run_last():
        codes[...] = 0x3f
        return cellcoef.last(ra, rb, codes, 2, 1.0)

    t_last, (pm, pl, count) = best_of(3, run_last)
    t_numpy, (dense_pm, dense_pl) = best_of(3, lambda: coefficient_pair(a, b, 1.0))

    # The same coefficients (pm within the compressor's snapping tolerance).
    np.testing.assert_allclose(pm.toarray(), dense_pm, rtol=2e-6)
    np.testing.assert_allclose(pl.toarray(), dense_pl, rtol=1e-6)
    assert count == int((dense_pm == 0).sum())

    cells = a.size
    dense_bytes = 2 * cells * 4
    rle_bytes = pm.used_bytes + pl.used_bytes
    print(f"model {n}^3 = {cells} cells, {pm.nlines} lines; RleArray inputs built in {build:.3f} s")
    print(f"last        {t_last * 1e3:9.2f} ms  {cells / t_last / 1e6:10.1f} Mcells/s")
    print(f"numpy dense {t_numpy * 1e3:9.2f} ms  {cells / t_numpy / 1e6:10.1f} Mcells/s")
    print(f"speed-up over numpy: {t_numpy / t_last:.1f}x")
    print(f"result bytes: rle {rle_bytes} (pm {pm.used_bytes}, pl {pl.used_bytes}) "
          f"vs dense float32 {dense_bytes}: ratio {dense_bytes / rle_bytes:.0f}:1")
    print(f"shared lines: pm {pm.shared_lines}, pl {pl.shared_lines}; cells with pm 0: {count}")


if __name__ == "__main__":
    main()
