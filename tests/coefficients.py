"""The update coefficients of material pairs, computed with NumPy: the
reference that the tests and benchmarks hold `cellcoef` to.

(pm, pl) = (1 / u, w / u) with u = a / s + b / 2 and w = a / s - b / 2 in
double precision (s the divisor, taken in single precision), stored in single
precision; where u is 0 or pl falls below PL_FLOOR the pair is (0, 1): the
cell is not updated.
"""
import numpy as np

PL_FLOOR = -0.999999


def coefficient_pair(a, b, a_scale=1.0):
    """pm and pl of every element of a and b (arrays or numbers)."""
    a = np.asarray(a, np.float64) / np.float64(np.float32(a_scale))
    b = np.asarray(b, np.float64)
    u = a + 0.5 * b
    w = a - 0.5 * b
    with np.errstate(divide="ignore", invalid="ignore"):
        pm = np.asarray(1.0 / u, np.float32)
        pl = np.asarray(w / u, np.float32)
    off = (u == 0) | (pl < PL_FLOOR)
    pm[off] = 0
    pl[off] = 1
    return pm[()], pl[()]
