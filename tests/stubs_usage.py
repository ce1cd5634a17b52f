"""Typical calls of the modules, checked by `mypy --strict` against the
installed type stubs (tests/test_stubs.py); never run."""
import _bandsolve
import arcfind
import blockdraw
import cellcoef
import fdtdhost
import fieldplot
import numpy as np
import rlearray
import stagedraw
import surfloss
import viarow
import yeestep

f32 = np.float32

pm, pl, cleared = cellcoef.last(rlearray.RleArray(np.ones((2, 3, 4))),
                                rlearray.RleArray(np.zeros((2, 3, 4))),
                                np.full((2, 3, 4), cellcoef.CODE_COMPONENTS, np.int16), 0, 1.0)
shape: tuple[int, ...] = pm.shape
top, fresh, runs = pl.entry((0, 1))
dense: np.ndarray = pl.toarray()
og = np.zeros(cellcoef.STORE_HEADER_BYTES // 4 + 1, np.int32)
cellcoef.settol(1e-6)
cellcoef.setrun(1000)
cellcoef.dispatch(np.zeros(1 + cellcoef.RUN_RECORD_INTS * 4, np.int32), og, 1, 0, 0, 0,
                  np.full((2, 3, 4), 7, np.int16), [[pm], [pl]], [], [np.ones((3, 6), f32)] * 4,
                  0, 1.0)
ring_bytes: int = cellcoef.stats(og)[0]

nodes = np.zeros((3, 3, fieldplot.NODE_FLOATS), f32)
coords = [np.arange(3.0)] * 3
fieldplot.inzidenz(2, 0, 1, 0, 0, 2, 0, 2, coords, np.zeros((3, 2), f32),
                   np.zeros((2, 2), np.uint8), 0)
rows: int = fieldplot.glarr(2, 0, 1, 0, 0, 2, 0, 2, coords, np.ones((3, 3), np.uint8),
                            np.zeros((3, 3), f32), np.zeros((3, 3), f32), np.zeros((20, 3), f32),
                            np.zeros((20, 3), f32), np.zeros((20, 4), f32),
                            np.zeros(5, np.int32), 0.0, nodes, 0, 1.0, 0, None, 0.0)

count, handle, spacings = surfloss.surfloss(2, 0, np.zeros((2, 2, 2), np.uint8),
                                            np.zeros((3, 2, 2, 2), f32), np.ones(1), np.ones(1),
                                            np.ones(1), 1.0)
surfloss.skincoeff(count, handle, 1.0, 1.0)
first_spacing: float = spacings[0] if spacings else 0.0

band, multipliers = np.ones((4, 3)), np.zeros((3, 2))
_bandsolve.gauss(band, multipliers, 1, 0, 4)
_bandsolve.invmul(band, multipliers, np.ones(4), np.zeros(4), np.ones(4, np.uint8), 1, 0, 4, 0)

arc = arcfind.arcfind(np.zeros(8), 1e-6)
if arc is not None:
    x, y, r = arc
done: int = viarow.viarow(2, np.zeros(2), np.zeros(2, complex), np.arange(2.0),
                          np.zeros(2, complex), np.zeros(1), 0.0)
quads: int = blockdraw.blockdraw(None, 1.0, 1.0, np.zeros(3, np.int32), np.ones(3),
                                 np.zeros((0, 0, 0), np.uint8),
                                 np.zeros((1, blockdraw.MATERIAL_ROW_FLOATS), f32), 1.0)
lines: int = stagedraw.stagedraw(np.zeros((3, 2)), np.zeros((3, 1, 1, 1), f32), np.zeros(1),
                                 np.zeros(1), np.zeros(1), 0.0, 1.0, "line")
package = fdtdhost.__name__

# a plan of one line of two cells that no record updates
record = np.array([[0, 2, 0, 0, 0]], np.int32)
line = np.array([[[0, 1]]], np.int64)
sizes = [np.full(n, 1e-3) for n in (2, 2, 1, 1, 1, 1)]
plan = yeestep.prepare(record, line, record[:0], np.zeros((1, 1, 2), np.int64), sizes, 1, 2, 0, 0,
                       None, yeestep.LOW_PEC_X | yeestep.LOW_PEC_Y | yeestep.LOW_PEC_Z)
(shape, x_offset, plan_bytes) = yeestep.layout(plan)
fields = np.zeros(shape, f32)
made: int = yeestep.step(plan, fields, 0, 2, None, None, None, (1, -40.0), yeestep.HALVES_BOTH, 1)
joules_per_step: float = yeestep.energy(plan, fields)
yeestep.reset(plan)
pairs: np.ndarray = yeestep.coefficients(plan, np.zeros((1, 4), np.int32))
