"""Pre-processing: coefficients, run tables and skin records of the grid."""
import sys
from typing import NamedTuple

import cellcoef
import numpy as np
import surfloss

from . import grid as gridmod

STORE_INTS = cellcoef.STORE_HEADER_BYTES // 4 + 1   # og: more than the store header
NO_MARKING = cellcoef.COMPONENT_COUNT   # a component bit past the flags leaves the codes alone


def progress(total, desc, unit="line"):
    """A tqdm bar when standard error is a terminal, else a silent counter."""
    if sys.stderr.isatty():
        try:
            from tqdm import tqdm
            return tqdm(total=total, desc=desc, unit=unit, leave=False)
        except ImportError:
            pass
    return _Silent()


class _Silent:
    def update(self, n=1):
        pass

    def close(self):
        pass


class Coefficients:
    """The coefficient RLE arrays of every component and term (`last`), from
    the material pairs of `Grid.material_pairs`."""

    def __init__(self, grid, pairs, codes):
        model = grid.model
        cellcoef.settol(model.tolerance)
        cellcoef.setrun(model.run_limit)
        self.pm, self.pl = [], []
        self.unupdated = 0       # cells whose pm came out 0 (a cleared component flag)
        for k, (a, b) in enumerate(pairs):
            bit = k if k < 6 else NO_MARKING
            pm, pl, zeros = cellcoef.last(a, b, codes, bit, 1.0)
            self.pm.append(pm)
            self.pl.append(pl)
            self.unupdated += zeros
        arrays = self.pm + self.pl
        self.rle_bytes = sum(int(r.used_bytes) for r in arrays)
        self.dense_bytes = len(arrays) * grid.ncells * 4
        self.shared_lines = sum(int(r.shared_lines) for r in arrays)
        self.ntail = 1 if len(self.pm) > 6 else 0


class StoreStats(NamedTuple):
    """The store's counters, as `cellcoef.stats` returns them."""
    ring_bytes: int
    direct_bytes: int
    hits: int
    inserts: int
    blocks: int
    large_allocs: int
    unused: int


class RunTables:
    """The run tables of both passes of `dispatch` over every grid line.

    `records[p]` holds the five int32 fields of every record of pass p, line
    after line; `lines[p][z, y]` is the (first record, record count) of the line.
    """

    def __init__(self, grid, codes, coefficients):
        model = grid.model
        gw = model.group_width
        self.og = np.zeros(STORE_INTS, dtype=np.int32)
        runs = np.zeros(1 + cellcoef.RUN_RECORD_INTS * (grid.nx // gw), dtype=np.int32)
        lists = (coefficients.pm, coefficients.pl)
        ext = grid.ext()
        norms = grid.norms()
        self.records, self.lines = [], []
        bar = progress(2 * grid.nz * grid.ny, "dispatch")
        try:
            for pas in (0, 1):
                chunks, lines = [], np.zeros((grid.nz, grid.ny, 2), dtype=np.int64)
                first = 0
                for z in range(grid.nz):
                    for y in range(grid.ny):
                        cellcoef.dispatch(runs, self.og, gw, pas, z, y, codes, lists, ext,
                                          norms, 0, 1.0, coefficients.ntail)
                        count = (int(runs[0]) - 1) // cellcoef.RUN_RECORD_INTS
                        chunks.append(runs[1:1 + cellcoef.RUN_RECORD_INTS * count].copy())
                        lines[z, y] = (first, count)
                        first += count
                    bar.update(grid.ny)
                self.records.append(np.concatenate(chunks).reshape(-1, cellcoef.RUN_RECORD_INTS))
                self.lines.append(lines)
        finally:
            bar.close()
        self.stats = StoreStats(*cellcoef.stats(self.og))


def marks(mask):
    """Number of axis marks (bits 0 to 2) in a skin mask."""
    return int(sum(((mask >> a) & 1).sum(dtype=np.int64) for a in range(3)))


class SkinRecords:
    """The skin-effect records of the metal sheets (`surfloss`, `skincoeff`).

    `values` covers the z planes that hold skin marks, from plane `z0` on: a
    record's cell (a, k, j, i) of `values` is the cell (a, z0 + k, j, i) of
    the grid.
    """

    def __init__(self, grid):
        self.z0, mask, values, spacings = grid.skin_data()
        capacity = marks(mask)
        self.count, self.handle, self.spacings = surfloss.surfloss(
            2, capacity, mask, values, spacings[0], spacings[1], spacings[2],
            grid.model.max_spacing)
        # the records keep their scan values (the skin conductivity); the cells
        # now hold a = eps / dt, and skincoeff turns each pair into b / (a + b/2)
        a = (gridmod.EPS0 * grid.eps_r.table / grid.dt).astype(np.float32)   # per material
        values[:] = a[grid.material[self.z0:self.z0 + len(mask)]]
        surfloss.skincoeff(self.count, self.handle, 1.0, 1.0)
        self.values = values
        self.marked = capacity
        self.partners = capacity - marks(mask)
