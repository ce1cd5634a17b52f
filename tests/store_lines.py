"""Plain lines through cellcoef's parameter store, for tests that run them in
this process and in processes of their own (which put tests/ on sys.path)."""
import ctypes

import numpy as np

import cellcoef
import rlearray

F32 = np.float32


def store_line(og, values, codes=None, runs=None):
    """dispatch of line (0, 0): six pm rows holding `values`, pl rows and norms
    of ones, codes 0x0007 unless given (shape (1, 1, n)). Returns the records
    as (x, dx, params, code, aux) tuples."""
    values = np.asarray(values, F32).reshape(1, 1, -1)
    n = values.shape[2]
    if codes is None:
        codes = np.full((1, 1, n), 0x0007, np.int16)
    if runs is None:
        runs = np.zeros(1 + 5 * n, np.int32)
    pm = [rlearray.RleArray(values)] * 6
    pl = [rlearray.RleArray(np.ones((1, 1, n), F32))] * 6
    cellcoef.dispatch(runs, og, 1, 0, 0, 0, codes, [pm, pl], [None, None],
                      [np.ones((1, 6), F32)] * 4)
    return [tuple(int(v) for v in runs[i:i + 5]) for i in range(1, int(runs[0]), 5)]


def floats_at(address, count):
    """A copy of `count` floats of store memory at a run record's address."""
    assert address != 0
    return np.frombuffer((ctypes.c_float * count).from_address(address), F32).copy()
