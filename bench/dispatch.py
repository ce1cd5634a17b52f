"""The host's whole coefficient path of cellcoef on one model, beside NumPy.

Model [z][y][x]: a lossy substrate, a layer of metal strips, a lossy cover and
air, all inside PML borders (tag 1, both passes) of `pml` cells on every side,
and a few lumped cells (tag 2) with one extra term. The host path: `last` for
every component and term (9 calls), then `dispatch` for every line (z, y) in
both passes. Printed: lines per second, records, store bytes per cell and the
store's hit rate, against the dense float32 coefficient arrays (pm and pl of
six components) that a solver without folding would hold, and the time NumPy
takes to compute those dense arrays.

    .venv/bin/python bench/dispatch.py [nx ny nz [group_width]]
"""
import os
import sys
import time

import numpy as np

import cellcoef
import rlearray

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from coefficients import coefficient_pair  # noqa: E402  (the NumPy peer is the tests' reference)

PML = 8
LUMPED_CELLS = 16


class Ext:
    def __init__(self, **attributes):
        self.__dict__.update(attributes)


def build_model(nx, ny, nz):
    eps = np.ones((nz, ny, nx), np.float32)
    sigma = np.zeros((nz, ny, nx), np.float32)
    substrate = slice(PML, nz // 4)
    strips = slice(nz // 4, nz // 4 + 4)
    cover = slice(nz // 4 + 4, nz // 2)
    eps[substrate], sigma[substrate] = 4.4, 0.02
    eps[cover], sigma[cover] = 2.2, 0.001
    metal = (np.arange(nx) % 32) < 8
    sigma[strips, :, metal] = 1e7

    codes = np.full((nz, ny, nx), 0x3f, np.int16)
    border = np.zeros((nz, ny, nx), bool)
    border[:PML] = border[-PML:] = True
    border[:, :PML] = border[:, -PML:] = True
    border[:, :, :PML] = border[:, :, -PML:] = True
    codes[border] |= 0x0600
    lumped = (nz // 2, ny // 2 + 2 * np.arange(LUMPED_CELLS) - LUMPED_CELLS, nx // 2)
    codes[lumped] |= 0x0800
    # The extra term: a series element in the lumped cells, air elsewhere.
    extra = np.ones((nz, ny, nx), np.float32)
    extra[lumped] = 2.0
    return eps, sigma, codes, extra


def graded_profile(n):
    """Cubic PML grading, the same in all 12 columns, positions 4 bytes apart."""
    p = np.arange(n)
    depth = np.maximum(PML - p, p - (n - 1 - PML)).clip(0) / PML
    return np.asfortranarray(np.repeat((0.5 * depth ** 3)[:, None], 12, axis=1).astype(np.float32))


def main():
    args = [int(v) for v in sys.argv[1:]]
    nx, ny, nz = args[:3] if len(args) >= 3 else (256, 256, 128)
    gw = args[3] if len(args) > 3 else 1
    eps, sigma, codes, extra = build_model(nx, ny, nz)
    cells = eps.size

    t0 = time.perf_counter()
    r_eps, r_sigma = rlearray.RleArray(eps), rlearray.RleArray(sigma)
    r_one, r_zero = rlearray.RleArray(np.ones_like(eps)), rlearray.RleArray(np.zeros_like(eps))
    r_extra = rlearray.RleArray(extra)
    t_inputs = time.perf_counter() - t0

    t0 = time.perf_counter()
    pm, pl = [], []
    materials = [(r_eps, r_sigma)] * 3 + [(r_one, r_zero)] * 3 + [(r_extra, r_zero)] * 3
    for bit, (a, b) in enumerate(materials):
        m, l, _ = cellcoef.last(a, b, codes, bit, 1.0)
        pm.append(m)
        pl.append(l)
    t_last = time.perf_counter() - t0

    ext = [Ext(loss=[graded_profile(n) for n in (nx, ny, nz)]), Ext(max_stab_par=0.5)]
    norms = [np.ones((ny, 6 * gw), np.float32), np.ones((nz, 6 * gw), np.float32),
             np.ones((ny, 6), np.float32), np.ones((nz, 6), np.float32)]
    og = np.zeros(2100, np.int32)
    runs = np.zeros(1 + 5 * nx // gw, np.int32)
    lists = [pm, pl]
    records = [0, 0]
    t0 = time.perf_counter()
    for pass_ in (0, 1):
        for z in range(nz):
            for y in range(ny):
                cellcoef.dispatch(runs, og, gw, pass_, z, y, codes, lists, ext, norms)
                records[pass_] += (int(runs[0]) - 1) // 5
    t_dispatch = time.perf_counter() - t0

    t0 = time.perf_counter()
    for a, b in [(eps, sigma)] * 3 + [(np.ones_like(eps), np.zeros_like(eps))] * 3:
        coefficient_pair(a, b, 1.0)
    t_numpy = time.perf_counter() - t0

    ring, direct, hits, inserts, blocks, large, _ = cellcoef.stats(og)
    lines = 2 * ny * nz
    store = ring + direct
    tables = 4 * (sum(records) + lines)
    dense = 12 * 4 * cells
    print(f"model {nx} x {ny} x {nz} = {cells} cells, PML {PML}, {LUMPED_CELLS} lumped cells, "
          f"group width {gw}; RleArray inputs built in {t_inputs:.2f} s")
    print(f"last (9 arrays)       {t_last:8.2f} s")
    print(f"dispatch (2 passes)   {t_dispatch:8.2f} s  {lines / t_dispatch:10.0f} lines/s")
    print(f"numpy dense (6 comp.) {t_numpy:8.2f} s  whole path last + dispatch / numpy: "
          f"{(t_last + t_dispatch) / t_numpy:.2f}")
    print(f"records: pass 0 {records[0]}, pass 1 {records[1]} "
          f"({records[0] / (ny * nz):.2f} per line in pass 0)")
    print(f"store: {ring} bytes of parameter vectors ({ring / cells:.3f} per cell) + "
          f"{direct} bytes of PML/lumped state ({direct / cells:.3f} per cell); "
          f"{blocks} blocks, {large} large allocations")
    print(f"hit rate {hits / (hits + inserts):.4f} ({hits} hits, {inserts} inserts)")
    print(f"dense float32 pm + pl of 6 components: {dense / cells:.0f} bytes per cell; "
          f"ratio dense / parameter vectors {dense / ring:.0f}:1, "
          f"dense / (vectors + run tables {tables} bytes) {dense / (ring + tables):.0f}:1, "
          f"dense / whole store {dense / store:.2f}:1")

if __name__ == "__main__":
    main()
