"""A small pre-processed model for the kernel's hostile-call and leak tests:
6 x 5 x 4 cells with a PML, an FR4 box, a copper sheet marked for skin
effect and a lumped element, so its run tables hold every record type."""
import functools
from types import SimpleNamespace

import numpy as np

MODEL = {
    "grid": {"x": [{"cells": 6, "size": 1.0}], "y": [{"cells": 5, "size": 1.0}],
             "z": [{"cells": 4, "size": 1.0}]},
    "pml": 1,
    "materials": [{"name": "air", "eps_r": 1.0, "sigma": 0.0, "colour": [1, 1, 1]},
                  {"name": "fr4", "eps_r": 4.4, "sigma": 0.01, "colour": [0, 1, 0]},
                  {"name": "copper", "eps_r": 1.0, "sigma": 5.8e7, "colour": [1, 0, 0]}],
    "boxes": [{"material": "fr4", "from": [1, 1, 2], "to": [5, 4, 3]}],
    "sheets": [{"material": "copper", "normal": "z", "at": 1.5, "from": [1, 1], "to": [5, 4]}],
    "lumped": [{"name": "feed", "from": [2.5, 2.5, 2.0], "to": [2.5, 2.5, 3.0], "resistance": 50.0}],
}


@functools.lru_cache(maxsize=None)
def small():
    """The model's kernel inputs: prepare's arguments, a plan, the fields' shape."""
    import yeestep
    from fdtdhost import grid as gridmod, model as modelmod, pre, sim as simmod
    grid = gridmod.Grid(modelmod.validate(MODEL))
    codes = grid.codes()
    coefficients = pre.Coefficients(grid, grid.material_pairs(), codes)
    tables = pre.RunTables(grid, codes, coefficients)
    skin = pre.SkinRecords(grid)
    args = (tables.records[0], tables.lines[0], tables.records[1], tables.lines[1],
            simmod.spacings(grid), 1, len(coefficients.pm) // 3, coefficients.ntail, 0,
            (skin.handle, skin.count), 7)
    plan = yeestep.prepare(*args)
    shape = yeestep.layout(plan)[0]
    return SimpleNamespace(args=args, plan=plan, shape=shape, grid=(grid.nx, grid.ny, grid.nz),
                           skin=skin, keep=(tables, coefficients))


def cells(rng, count):
    """`count` valid (component, k, j, i) rows of the model's grid."""
    nx, ny, nz = small().grid
    return np.column_stack([rng.integers(0, 6, count), rng.integers(0, nz, count),
                            rng.integers(0, ny, count), rng.integers(0, nx, count)]).astype(np.int32)
