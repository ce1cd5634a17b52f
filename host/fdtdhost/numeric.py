"""The numeric helpers of the host: arcs of pad outlines, via rows, feed line."""
import math

import _bandsolve
import arcfind
import numpy as np
import viarow
from scipy import ndimage

from .grid import C0, EPS0, METAL_SIGMA

CONDUCTOR_EPS = 1e9
GROWTH = 0.5            # coarse cells: at most this times their distance from the strip
MAX_SECTION_CELLS = 160  # coarse cells per axis of the solved cross-section


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


def feed_line(grid, growth=GROWTH):
    """The feed line's `FeedLine`: solved when the model has a line the solve
    can analyse, else with `reason` saying why not (and no impedance)."""
    line = FeedLine(grid, growth)
    if line.reason is None:
        line.solve()
    return line


class FeedLine:
    """Quasi-static potential of the feed line's cross-section, by _bandsolve.

    The feed is the first lumped element, along z, at the start of a line
    along x. In the grid's cross-section (z, y) one cell along x from it, the
    strip is the conductor that holds the feed's upper end (its cells joined
    through faces) and is held at 1 V; every other conductor is a ground at
    0 V (also forced through the activity flags), and so is the grid's
    border. The line is a microstrip over the conductor at the feed's lower
    end, or a stripline when a ground also lies above the strip.

    The solve works on a coarsened cross-section: cells merge into cells that
    grow with their distance from the strip (see `_groups`), so its cost
    hardly grows with the grid. Solved once with the model's permittivities
    and once with air, which gives the line's capacitances, eps_eff and
    impedance.

    A cross-section the solve cannot analyse (no conductor at an end of the
    feed, both ends on one conductor, a strip that reaches the grid's edge or
    does not run on along x) leaves `reason` set and no impedance.
    """

    def __init__(self, grid, growth=GROWTH):
        self.reason = None
        self.kind = None
        self.residual = 0.0
        model = grid.model
        if not model.lumped:
            self.reason = "no lumped element to feed a line"
            return
        elem = model.lumped[0]
        if elem.axis != 2:
            self.reason = f"the feed ({elem.name}) does not run along z"
            return
        k, j, i = elem.region
        column = i.start + 1
        if column + 1 >= grid.nx:
            self.reason = "the feed lies at the end of the grid along x"
            return
        self.x = float(grid.centres[0][column])
        metal = grid.sigma[:, :, column] >= METAL_SIGMA        # [z][y]
        top, bottom, y = k.stop, k.start - 1, j.start
        if top >= grid.nz or not metal[top, y]:
            self.reason = "no conductor at the feed's upper end"
            return
        if bottom < 0 or not metal[bottom, y]:
            self.reason = "no conductor at the feed's lower end"
            return
        labels, _ = ndimage.label(metal)
        if labels[top, y] == labels[bottom, y]:
            self.reason = "the feed's two ends lie on one conductor"
            return
        strip = labels == labels[top, y]
        if strip[[0, -1]].any() or strip[:, [0, -1]].any():
            self.reason = "the conductor at the feed's upper end reaches the grid's edge"
            return
        ahead, _ = ndimage.label(grid.sigma[:, :, column + 1] >= METAL_SIGMA)
        if not ahead[top, y] or ((ahead == ahead[top, y]) != strip).any():
            self.reason = "the conductor at the feed's upper end does not run on along x"
            return
        ground = metal & ~strip
        rows, cols = np.nonzero(strip.any(axis=1))[0], np.nonzero(strip.any(axis=0))[0]
        z0, z1, y0, y1 = rows[0], rows[-1] + 1, cols[0], cols[-1] + 1
        self.kind = "stripline" if ground[z1:, y0:y1].any() else "microstrip"
        near = grid.sizes[1][y0:y1].sum() + grid.nodes[2][k.stop] - grid.nodes[2][k.start]
        eps = np.where(metal, CONDUCTOR_EPS, grid.eps_r[:, :, column])
        # what a cell is to the solve: its permittivity and its conductor
        content = np.stack([eps, strip, ground])
        zs = _groups(grid.sizes[2], z0, z1, _changes(content, 1), near, growth)
        ys = _groups(grid.sizes[1], y0, y1, _changes(content, 2), near, growth)
        self.cells = (len(zs), len(ys))
        if max(self.cells) > MAX_SECTION_CELLS:
            self.reason = (f"the cross-section keeps {self.cells[0]} x {self.cells[1]} cells "
                           f"(z, y) after coarsening; the solve takes at most {MAX_SECTION_CELLS}")
            return
        self._coarsen(grid, eps, strip, ground, zs, ys)

    def _coarsen(self, grid, eps, strip, ground, zs, ys):
        """The solve's cells: groups zs x ys of the grid's. A cell is the strip
        or a ground when it holds one of their cells, else it has the mean
        permittivity of its dielectric by area."""
        self.hz, self.hy = _merged(grid.sizes[2], zs) * 1e-3, _merged(grid.sizes[1], ys) * 1e-3
        self.strip, self.ground = _any(strip, zs, ys), _any(ground, zs, ys)
        self.ground &= ~self.strip
        conductor = self.strip | self.ground
        area = np.where(strip | ground, 0.0, grid.sizes[2][:, None] * grid.sizes[1][None, :])
        mean = _sum(eps * area, zs, ys) / np.where(conductor, 1.0, _sum(area, zs, ys))
        self.eps = np.where(conductor, CONDUCTOR_EPS, mean)
        self.air = np.where(conductor, CONDUCTOR_EPS, 1.0)

    def solve(self):
        self.capacitance = self._solve(self.eps)
        self.capacitance_air = self._solve(self.air)
        self.eps_eff = self.capacitance / self.capacitance_air
        self.impedance = 1.0 / (C0 * math.sqrt(self.capacitance * self.capacitance_air))

    def _solve(self, eps):
        """Capacitance per metre of the strip for permittivities `eps` [z][y].

        The band is as narrow as the cross-section's shorter axis: the
        unknowns are numbered along it first.
        """
        if eps.shape[0] <= eps.shape[1]:
            found = _capacitance(eps, self.hz, self.hy, self.strip, self.ground)
        else:
            found = _capacitance(eps.T, self.hy, self.hz, self.strip.T, self.ground.T)
        capacitance, residual = found
        self.residual = max(self.residual, residual)
        return capacitance


def _changes(content, axis):
    """True for each cell along `axis` (1: z, 2: y of content [what][z][y])
    whose row or column differs from the one before it."""
    diff = np.diff(content, axis=axis) != 0
    other = tuple(a for a in range(3) if a != axis)
    return np.concatenate(([True], diff.any(axis=other)))


def _groups(sizes, lo, hi, changes, near, growth):
    """Start indices of the groups of cells along an axis that the coarse
    solve merges into one cell each.

    A group never crosses the strip's edges (cells lo and hi), takes cells
    while its size stays within `growth` times its distance from the strip
    (measured from the group's nearer end, outside and inside the strip), and
    within `near` mm of the strip joins only cells of equal content, so the
    strip, the ground under it and the layers between keep their places.
    """
    nodes = np.concatenate(([0.0], np.cumsum(sizes)))
    e0, e1 = nodes[lo], nodes[hi]
    starts = []
    start, n = 0, len(sizes)
    while start < n:
        starts.append(start)
        a = nodes[start]
        stop = start + 1
        while stop < n and stop != lo and stop != hi:
            b = nodes[stop + 1]
            if b <= e0:
                distance = e0 - b
            elif a >= e1:
                distance = a - e1
            else:
                distance = min(a - e0, e1 - b)
            if b - a > growth * distance or (changes[stop] and distance < near):
                break
            stop += 1
        start = stop
    return np.array(starts)


def _merged(sizes, starts):
    return np.add.reduceat(sizes, starts)


def _sum(values, zs, ys):
    return np.add.reduceat(np.add.reduceat(values, zs, axis=0), ys, axis=1)


def _any(mask, zs, ys):
    return _sum(mask.astype(np.int64), zs, ys) > 0


def _conductances(eps, h0, h1):
    """Face conductances eps A / d between neighbouring cell centres, in eps0,
    along axis 0 (sizes h0) and axis 1 (sizes h1), and to the grounded
    border half a cell away."""
    h0, h1 = h0[:, None], h1[None, :]
    # series permittivity of the two halves
    g0 = h1 / (0.5 * h0[:-1] / eps[:-1] + 0.5 * h0[1:] / eps[1:])
    g1 = h0 / (0.5 * h1[:, :-1] / eps[:, :-1] + 0.5 * h1[:, 1:] / eps[:, 1:])
    b00, b01 = h1[0] * eps[0] / (0.5 * h0[0]), h1[0] * eps[-1] / (0.5 * h0[-1])
    b10, b11 = h0[:, 0] * eps[:, 0] / (0.5 * h1[0, 0]), \
        h0[:, 0] * eps[:, -1] / (0.5 * h1[0, -1])
    return g0, g1, (b00, b01, b10, b11)


def _capacitance(eps, h0, h1, strip, ground):
    """Solves the potential on the cells [a][b] (unknown b * n0 + a, half-
    width n0) with the strip at 1 V and the ground at 0 V; returns the
    capacitance per metre from the field energy, and the solve's residual."""
    n0, n1 = eps.shape
    g0, g1, (b00, b01, b10, b11) = _conductances(eps, h0, h1)
    n, h = n0 * n1, n0
    band = np.zeros((n, 2 * h + 1))
    diag = np.zeros((n0, n1))
    diag[:-1] += g0
    diag[1:] += g0
    diag[:, :-1] += g1
    diag[:, 1:] += g1
    diag[0] += b00
    diag[-1] += b01
    diag[:, 0] += b10
    diag[:, -1] += b11
    rows = np.arange(n)
    aa, bb = rows % n0, rows // n0
    band[:, h] = diag[aa, bb]
    up = aa < n0 - 1                         # neighbour a + 1: column h + 1
    band[rows[up], h + 1] = -g0[aa[up], bb[up]]
    down = aa > 0
    band[rows[down], h - 1] = -g0[aa[down] - 1, bb[down]]
    right = bb < n1 - 1                      # neighbour b + 1: column 2h
    band[rows[right], 2 * h] = -g1[aa[right], bb[right]]
    left = bb > 0
    band[rows[left], 0] = -g1[aa[left], bb[left] - 1]
    rhs = np.zeros(n)
    strip, ground = strip.T.ravel(), ground.T.ravel()   # b-major order
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
    residual = _residual(matrix, b, solution, active, h)
    phi = solution.reshape(n1, n0).T
    # energy of the field: C V^2 = sum of g (dphi)^2, with V = 1
    energy = (g0 * np.diff(phi, axis=0) ** 2).sum() + (g1 * np.diff(phi, axis=1) ** 2).sum()
    energy += (b00 * phi[0] ** 2).sum() + (b01 * phi[-1] ** 2).sum() \
        + (b10 * phi[:, 0] ** 2).sum() + (b11 * phi[:, -1] ** 2).sum()
    return EPS0 * float(energy), residual


def _residual(band, rhs, x, active, h):
    """Largest |A x - b| / |A_ii| over the rows: volts off the equations."""
    n = len(x)
    padded = np.concatenate((np.zeros(h), x, np.zeros(h)))
    ax = np.zeros(n)
    for j in range(2 * h + 1):
        ax += band[:, j] * padded[j:j + n]
    rhs = np.where(active != 0, rhs, 0.0)
    return float((np.abs(ax - rhs) / np.abs(band[:, h])).max())
