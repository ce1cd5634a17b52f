"""The numeric helpers of the host: arcs of pad outlines, via rows, feed line."""
import math

import _bandsolve
import arcfind
import numpy as np
import viarow

from .grid import C0, EPS0, METAL_SIGMA

CONDUCTOR_EPS = 1e9


def outline(via):
    """The closed polygon of a round via outline, as a layout file gives it."""
    angles = np.linspace(0.0, 2 * math.pi, via.sides + 1)
    points = np.empty(2 * len(angles))
    points[0::2] = via.centre[0] + via.radius * np.cos(angles)
    points[1::2] = via.centre[1] + via.radius * np.sin(angles)
    return points


def find_arcs(model):
    """Each via outline through arcfind; returns the arcs with their errors."""
    arcs = []
    for n, via in enumerate(model.vias):
        tol = 1e-6 * max(via.radius, 1.0)
        found = arcfind.arcfind(outline(via), tol)
        if found is None:
            arcs.append({"via": n, "arc": False})
            continue
        cx, cy, r = found
        arcs.append({"via": n, "arc": True, "centre": [cx, cy], "radius": r,
                     "error": max(abs(cx - via.centre[0]), abs(cy - via.centre[1]),
                                  abs(r - via.radius))})
    return arcs


def via_rows(model):
    """Vias grouped into rows of equal y, ordered along x; rows of two or more."""
    rows = {}
    for n, via in enumerate(model.vias):
        rows.setdefault(round(via.centre[1], 6), []).append(n)
    return [sorted(r, key=lambda n: model.vias[n].centre[0])
            for _, r in sorted(rows.items()) if len(r) >= 2]


def interpolate_rows(model, mode):
    """The field's complex amplitude at every via of a row, by viarow.

    The table holds the amplitude at as many equally spaced positions as the
    row has vias, spanning the row; viarow interpolates it to the vias.
    Checked against the same linear interpolation in NumPy.
    """
    results = []
    for row in via_rows(model):
        vias = [model.vias[n] for n in row]
        y = vias[0].centre[1]
        x = np.array([v.centre[0] for v in vias])
        pos = np.linspace(x[0] - 0.5 * vias[0].radius, x[-1] + 0.5 * vias[-1].radius, len(x))
        table = mode.phasor(pos, np.full_like(pos, y)).astype(np.complex128)
        out = np.zeros(len(x), dtype=np.complex128)
        radii = np.array([v.radius for v in vias])
        pitch = float(np.diff(x).mean())
        viarow.viarow(len(x), x, table, pos, out, radii, pitch)
        expected = np.interp(x, pos, table.real) + 1j * np.interp(x, pos, table.imag)
        results.append({"vias": row, "y": y, "coefficients": [[c.real, c.imag] for c in out],
                        "error": float(np.abs(out - expected).max())})
    return results


def feed_line(grid):
    """The feed line's `FeedLine`, or None without a z-directed lumped element
    that joins a strip above to a ground below."""
    if not grid.model.lumped or grid.model.lumped[0].axis != 2:
        return None
    line = FeedLine(grid)
    if not (line.strip.any() and line.ground.any()):
        return None
    line.solve()
    return line


class FeedLine:
    """Quasi-static potential of the feed line's cross-section, by _bandsolve.

    The cross-section (y, z) of the grid one cell along x from the first
    lumped element (the feed, at the start of a line along x): metal above the
    element is the strip at potential 1, metal below it the ground at 0 (also
    forced to 0 through the activity flags); the grid border is grounded too.
    Solved once with the model's permittivities and once with air, which gives
    the line's capacitances, eps_eff and impedance.
    """

    def __init__(self, grid):
        region = grid.model.lumped[0].region
        i = region[2].start + 1 if region[2].start + 1 < grid.nx else region[2].start
        self.x = float(grid.centres[0][i])
        metal = grid.sigma[:, :, i] >= METAL_SIGMA        # [z][y]
        k = np.arange(grid.nz)[:, None]
        strip = metal & (k >= region[0].stop)
        ground = metal & (k < region[0].start)
        # a conductor cell is equipotential: no field in its half of a face
        self.eps = np.where(metal, CONDUCTOR_EPS, grid.eps_r[:, :, i])
        self.air = np.where(metal, CONDUCTOR_EPS, 1.0)
        self.strip, self.ground = strip, ground
        self.hz = grid.sizes[2] * 1e-3
        self.hy = grid.sizes[1] * 1e-3
        self.residual = 0.0

    def solve(self):
        self.capacitance = self._solve(self.eps)
        self.capacitance_air = self._solve(self.air)
        self.eps_eff = self.capacitance / self.capacitance_air
        self.impedance = 1.0 / (C0 * math.sqrt(self.capacitance * self.capacitance_air))

    def _conductances(self, eps):
        """Face conductances eps A / d between neighbouring cell centres, in eps0."""
        hz, hy = self.hz[:, None], self.hy[None, :]
        # along z: faces between k and k + 1, series permittivity of the halves
        gz = hy / (0.5 * hz[:-1] / eps[:-1] + 0.5 * hz[1:] / eps[1:])
        gy = hz / (0.5 * hy[:, :-1] / eps[:, :-1] + 0.5 * hy[:, 1:] / eps[:, 1:])
        # to the grounded border, half a cell away
        bz0, bz1 = hy[0] * eps[0] / (0.5 * hz[0]), hy[0] * eps[-1] / (0.5 * hz[-1])
        by0, by1 = hz[:, 0] * eps[:, 0] / (0.5 * hy[0, 0]), \
            hz[:, 0] * eps[:, -1] / (0.5 * hy[0, -1])
        return gz, gy, (bz0, bz1, by0, by1)

    def _solve(self, eps):
        nz, ny = eps.shape
        gz, gy, (bz0, bz1, by0, by1) = self._conductances(eps)
        n, h = nz * ny, nz                      # unknown (z, y) at y * nz + z
        band = np.zeros((n, 2 * h + 1))
        diag = np.zeros((nz, ny))
        diag[:-1] += gz
        diag[1:] += gz
        diag[:, :-1] += gy
        diag[:, 1:] += gy
        diag[0] += bz0
        diag[-1] += bz1
        diag[:, 0] += by0
        diag[:, -1] += by1
        rows = np.arange(n)
        zz, yy = rows % nz, rows // nz
        band[:, h] = diag[zz, yy]
        up = zz < nz - 1                         # neighbour z + 1: column h + 1
        band[rows[up], h + 1] = -gz[zz[up], yy[up]]
        down = zz > 0
        band[rows[down], h - 1] = -gz[zz[down] - 1, yy[down]]
        right = yy < ny - 1                      # neighbour y + 1: column 2h
        band[rows[right], 2 * h] = -gy[zz[right], yy[right]]
        left = yy > 0
        band[rows[left], 0] = -gy[zz[left], yy[left] - 1]
        rhs = np.zeros(n)
        strip, ground = self.strip.T.ravel(), self.ground.T.ravel()   # y-major order
        fixed = strip | ground
        band[fixed] = 0.0
        band[fixed, h] = 1.0
        rhs[strip] = 1.0
        active = (~ground).astype(np.uint8)
        matrix, b = band.copy(), rhs.copy()
        multipliers = np.zeros((n - 1, h + 1))
        solution = np.zeros(n)
        _bandsolve.gauss(band, multipliers, h, 0, n)
        _bandsolve.invmul(band, multipliers, rhs, solution, active, h, 0, n, 0)
        self.residual = max(self.residual, self._residual(matrix, b, solution, active, h))
        phi = solution.reshape(ny, nz).T
        # energy of the field: C V^2 = sum of g (dphi)^2, with V = 1
        energy = (gz * np.diff(phi, axis=0) ** 2).sum() + (gy * np.diff(phi, axis=1) ** 2).sum()
        energy += (bz0 * phi[0] ** 2).sum() + (bz1 * phi[-1] ** 2).sum() \
            + (by0 * phi[:, 0] ** 2).sum() + (by1 * phi[:, -1] ** 2).sum()
        return EPS0 * float(energy)

    @staticmethod
    def _residual(band, rhs, x, active, h):
        """Largest |A x - b| / |A_ii| over the rows: volts off the equations."""
        n = len(x)
        padded = np.concatenate((np.zeros(h), x, np.zeros(h)))
        ax = np.zeros(n)
        for j in range(2 * h + 1):
            ax += band[:, j] * padded[j:j + n]
        rhs = np.where(active != 0, rhs, 0.0)
        return float((np.abs(ax - rhs) / np.abs(band[:, h])).max())
