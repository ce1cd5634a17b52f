"""Voxelisation: which cells each shape of a checked model paints.

A cell takes a shape's material when its centre lies inside the shape (a box
or a span along an axis holds the centres c with lo <= c < hi; a round shape
those within its radius); later shapes paint over earlier ones: the boxes,
then the shapes in order, then the sheets, then the vias.

Features below a cell: a conductor (a pec material, or sigma of at least
METAL_SIGMA) that holds no cell centre is kept as a one-cell conductor instead:
along each axis where it holds no centre, the one cell that holds its middle
(a box, a sheet, a polygon's or a via's span); across a polygon's or a via's
section that holds no centre, the cells its outline or axis passes through; a
cylinder keeps the cells that hold part of it, a sphere the cell of its
centre, a mesh the cells its surface passes through. Any other shape that
holds no cell centre is left out, with a warning. A wire always keeps every
cell its axis passes through.

Arrays are indexed [z][y][x]; a region is a tuple of slices in that order.
"""
from dataclasses import dataclass
from typing import Callable, NamedTuple, Optional

import numpy as np

from .model import AXES, Box, Cylinder, Mesh, Polygon, Sphere, Wire

METAL_SIGMA = 1e5          # conductors: drawn in the stage, held at a potential
# A mesh's inside test casts rays from points a hair above the cell centres
# (fractions of the cell along y, z, x), so that a ray never runs exactly
# along an edge of the surface, and a centre on a face counts as inside where
# a box's lower face would hold it.
RAY_NUDGE = (0.7e-7, 0.3e-7, 0.5e-7)


class Axes:
    """Cell sizes, nodes and centres of the three axes (mm)."""

    def __init__(self, cells):
        self.sizes = [np.asarray(c, dtype=np.float64) for c in cells]
        self.nodes = [np.concatenate(([0.0], np.cumsum(s))) for s in self.sizes]
        self.centres = [n[:-1] + 0.5 * s for n, s in zip(self.nodes, self.sizes)]
        self.shape = tuple(len(s) for s in self.sizes)
        self.extent = tuple(float(n[-1]) for n in self.nodes)

    def range(self, axis, lo, hi):
        """Slice of the cells whose centre lies in [lo, hi)."""
        c = self.centres[axis]
        return slice(int(np.searchsorted(c, lo, "left")), int(np.searchsorted(c, hi, "left")))

    def layer(self, axis, at):
        """Index of the cell layer along `axis` that holds the coordinate `at`
        (the last layer for its upper end)."""
        k = int(np.searchsorted(self.nodes[axis], at, "right")) - 1
        return min(max(k, 0), self.shape[axis] - 1)

    def span(self, axis, lo, hi):
        """Slice of the cells that [lo, hi] touches."""
        return slice(self.layer(axis, lo), self.layer(axis, hi) + 1)

    def cells_in(self, lo, hi):
        """Number of cells the box lo..hi touches."""
        n = 1
        for a in range(3):
            s = self.span(a, lo[a], hi[a])
            n *= s.stop - s.start
        return n

    def region(self, lo, hi, snap=False):
        """(z, y, x) slices of the cells whose centre lies in the box lo..hi;
        with `snap`, an axis holding no centre keeps the cell of its middle."""
        region = []
        for a in (2, 1, 0):
            s = self.range(a, lo[a], hi[a])
            if snap and s.start >= s.stop:
                k = self.layer(a, 0.5 * (lo[a] + hi[a]))
                s = slice(k, k + 1)
            region.append(s)
        return tuple(region)

    def centre_grid(self, region):
        """Centres (z, y, x) of the cells of `region`, broadcastable."""
        z, y, x = (self.centres[a][region[2 - a]] for a in (2, 1, 0))
        return z[:, None, None], y[None, :, None], x[None, None, :]

    def cells_of(self, points):
        """The (z, y, x) indices of the cells holding each point [n][x, y, z]."""
        points = np.asarray(points, dtype=np.float64).reshape(-1, 3)
        idx = []
        for a in (2, 1, 0):
            k = np.searchsorted(self.nodes[a], points[:, a], "right") - 1
            idx.append(np.clip(k, 0, self.shape[a] - 1))
        return tuple(idx)

    def lumped_conductivity(self, elem):
        """Conductivity (S/m) of each cell of a lumped element, along its axis:
        the cells in series share the resistance."""
        ax, region = elem.axis, elem.region
        length = self.sizes[ax][region[2 - ax]] * 1e-3
        across = [a for a in range(3) if a != ax]
        area = 1e-6 * (self.sizes[across[0]][region[2 - across[0]].start] *
                       self.sizes[across[1]][region[2 - across[1]].start])
        return length / (elem.resistance / len(length) * area)


class Cells(NamedTuple):
    """The cells a shape paints: `mask` over `region` (None: all of it), and
    `thin`, the one-cell conductor it keeps where that holds no cell."""
    region: tuple
    mask: Optional[np.ndarray]
    thin: Optional[Callable[[], "Cells"]] = None


@dataclass(frozen=True, eq=False)
class Voxels:
    """What voxelisation derives from a model.

    `material` and `skin` are [z][y][x] arrays: the material index of every
    cell, and the skin marks (bit a for axis a) of the marked sheets.
    `sheets[n]` is the region sheet n painted (None when it was left out);
    `thin` names the conductors kept as one cell, `warnings` the shapes left out.
    """
    material: np.ndarray
    skin: np.ndarray
    sheets: tuple
    thin: tuple
    warnings: tuple


def is_conductor(material):
    return material.pec or material.sigma >= METAL_SIGMA


def voxelise(model, axes):
    """The `Voxels` of a checked model on its axes."""
    nx, ny, nz = axes.shape
    material = np.zeros((nz, ny, nx), dtype=np.uint8)
    skin = np.zeros((nz, ny, nx), dtype=np.uint8)
    thin, warnings = [], []

    def paint(path, index, cells):
        """Paints the cells of a shape; returns the region painted."""
        region, mask = cells.region, cells.mask
        if mask is not None and not mask.any() or any(s.start >= s.stop for s in region):
            if not is_conductor(model.materials[index]):
                warnings.append(f"{path}: holds no cell centre and is no conductor; left out")
                return None
            region, mask, _ = cells.thin()
            thin.append(path)
        if mask is None:
            material[region] = index
        else:
            material[region][mask] = index
        return region

    for solid in model.solids:
        paint(solid.path, solid.material, solid_cells(solid, axes))
    sheets = []
    for sheet in model.sheets:
        region = paint(sheet.path, sheet.material, Cells(
            sheet_region(sheet, axes, snap=False), None,
            lambda: Cells(sheet_region(sheet, axes, snap=True), None)))
        if region is not None and sheet.marked:
            for a in range(3):
                if a != sheet.normal:
                    skin[region] |= 1 << a
        sheets.append(region)
    for via in model.vias:
        paint(via.path, via.material, via_cells(via, axes))
    return Voxels(material, skin, tuple(sheets), tuple(thin), tuple(warnings))


def sheet_region(sheet, axes, snap):
    region = list(axes.region(sheet.lo, sheet.hi, snap))
    k = axes.layer(sheet.normal, sheet.at)
    region[2 - sheet.normal] = slice(k, k + 1)
    return tuple(region)


def via_cells(via, axes):
    """A via: the cylinder along z by the cell-centre rule."""
    return _upright(axes, 2, via.centre, via.radius, via.z)


def _upright(axes, axis, centre, radius, span):
    """A round cylinder along `axis`: `centre` in the other two axes (in their
    order), `span` along it. Thin, it keeps the cell layer of its middle
    along the axis and, where its disc holds no centre, the cells of its axis."""
    across = [a for a in range(3) if a != axis]
    lo, hi = [0.0] * 3, [0.0] * 3
    for t, a in enumerate(across):
        lo[a], hi[a] = centre[t] - radius, centre[t] + radius
    lo[axis], hi[axis] = span
    region = axes.region(lo, hi)
    grid = axes.centre_grid(region)
    disk = (grid[2 - across[0]] - centre[0]) ** 2 + (grid[2 - across[1]] - centre[1]) ** 2 \
        <= radius ** 2
    mask = np.broadcast_to(disk, _extent(region))

    def fallback():
        snapped = axes.region(lo, hi, snap=True)
        if disk.any():
            return Cells(snapped, np.broadcast_to(disk, _extent(snapped)))
        point = [0.0] * 3
        for t, a in enumerate(across):
            point[a] = centre[t]
        cell = axes.cells_of([point])
        column = list(snapped)
        for a in across:
            column[2 - a] = slice(cell[2 - a][0], cell[2 - a][0] + 1)
        return Cells(tuple(column), None)
    return Cells(region, mask, fallback)


def _extent(region):
    return tuple(max(s.stop - s.start, 0) for s in region)


def solid_cells(solid, axes):
    """The `Cells` of a shape: those whose centre lies inside it."""
    shape = solid.shape
    if isinstance(shape, Box):
        return Cells(axes.region(shape.from_, shape.to), None,
                     lambda: Cells(axes.region(shape.from_, shape.to, snap=True), None))
    if isinstance(shape, Cylinder):
        p0, p1 = np.array(shape.from_), np.array(shape.to)
        along = np.nonzero(p1 != p0)[0]
        if len(along) == 1:
            a = int(along[0])
            return _upright(axes, a, tuple(p0[[b for b in range(3) if b != a]]), shape.radius,
                            (min(p0[a], p1[a]), max(p0[a], p1[a])))
        return _round(axes, p0, p1, shape.radius, False)
    if isinstance(shape, Wire):
        return _round(axes, np.array(shape.from_), np.array(shape.to), shape.radius, True)
    if isinstance(shape, Sphere):
        return _sphere(axes, shape)
    if isinstance(shape, Polygon):
        return _polygon(axes, shape)
    if isinstance(shape, Mesh):
        return _mesh(axes, solid.triangles)
    raise TypeError(shape)


def _touched(axes, lo, hi):
    """(z, y, x) slices of every cell the box lo..hi touches."""
    return tuple(axes.span(a, lo[a], hi[a]) for a in (2, 1, 0))


def _round(axes, p0, p1, radius, wire):
    """A cylinder (p0 to p1, `radius`), or a wire that also keeps every cell
    its axis passes through."""
    d = p1 - p0
    reach = radius * np.sqrt(np.maximum(0.0, 1.0 - d * d / (d @ d)))
    region = _touched(axes, np.minimum(p0, p1) - reach, np.maximum(p0, p1) + reach)
    z, y, x = axes.centre_grid(region)
    rel = (x - p0[0], y - p0[1], z - p0[2])
    t = (rel[0] * d[0] + rel[1] * d[1] + rel[2] * d[2]) / float(d @ d)
    if wire:
        tc = np.clip(t, 0.0, 1.0)
        dist2 = sum((r - tc * da) ** 2 for r, da in zip(rel, d))
        mask = (dist2 <= radius ** 2) | _crossed(axes, region, p0, p1)
        return Cells(region, mask)
    dist2 = sum((r - t * da) ** 2 for r, da in zip(rel, d))
    mask = (t >= 0.0) & (t < 1.0) & (dist2 <= radius ** 2)

    def fallback():
        # points of the whole cylinder, a quarter of the smallest cell apart
        step = 0.25 * _smallest(axes, region)
        counts = np.ceil(np.array([np.sqrt(d @ d), radius, 2 * np.pi * radius]) / step)
        counts /= max(1.0, (counts.prod() / MAX_SAMPLES) ** (1 / 3))
        n_t, n_r, n_a = (int(c) + 1 for c in counts)
        u = np.cross(d, np.eye(3)[np.argmin(np.abs(d))])
        u /= np.linalg.norm(u)
        w = np.cross(d, u) / np.linalg.norm(d)
        t_, r_, a_ = np.meshgrid(np.linspace(0, 1, n_t), np.linspace(0, radius, n_r),
                                 np.linspace(0, 2 * np.pi, n_a, endpoint=False), indexing="ij")
        points = (p0 + t_[..., None] * d + (r_ * np.cos(a_))[..., None] * u
                  + (r_ * np.sin(a_))[..., None] * w)
        return Cells(region, _holding(axes, region, points))
    return Cells(region, mask, fallback)


MAX_SAMPLES = 2_000_000    # points of a thin shape sampled to find the cells it meets


def _smallest(axes, region):
    return min(float(axes.sizes[a][region[2 - a]].min()) for a in range(3))


def _holding(axes, region, points):
    """Mask over `region` of the cells that hold any of `points` [..., 3]."""
    mask = np.zeros(_extent(region), dtype=bool)
    idx = axes.cells_of(points)
    mask[tuple(np.clip(i - s.start, 0, s.stop - s.start - 1) for i, s in zip(idx, region))] = True
    return mask


def _crossed(axes, region, p0, p1):
    """Mask over `region` of the cells the segment p0..p1 passes through: a
    piece of it of some length lies in the cell, lo <= p < hi on each axis
    (the grid's upper faces closed)."""
    enter = np.zeros(_extent(region))
    leave = np.ones(_extent(region))
    d = p1 - p0
    for a in range(3):
        cells = region[2 - a]
        low = axes.nodes[a][cells.start:cells.stop]
        high = axes.nodes[a][cells.start + 1:cells.stop + 1].copy()
        if cells.stop == axes.shape[a]:
            high[-1] = np.inf
        shape = [1, 1, 1]
        shape[2 - a] = len(low)
        low, high = low.reshape(shape), high.reshape(shape)
        if d[a] == 0.0:
            leave = np.where((p0[a] < low) | (p0[a] >= high), -1.0, leave)
            continue
        t0, t1 = (low - p0[a]) / d[a], (high - p0[a]) / d[a]
        enter = np.maximum(enter, np.minimum(t0, t1))
        leave = np.minimum(leave, np.maximum(t0, t1))
    return enter < leave


def _sphere(axes, shape):
    c = np.array(shape.centre)
    region = _touched(axes, c - shape.radius, c + shape.radius)
    z, y, x = axes.centre_grid(region)
    mask = (x - c[0]) ** 2 + (y - c[1]) ** 2 + (z - c[2]) ** 2 <= shape.radius ** 2

    def fallback():
        k, j, i = axes.cells_of([c])
        return Cells((slice(k[0], k[0] + 1), slice(j[0], j[0] + 1), slice(i[0], i[0] + 1)), None)
    return Cells(region, mask, fallback)


def inside_polygon(points, u, v):
    """Even-odd test of the points (u, v) (arrays that broadcast) against
    the closed outline `points`."""
    inside = np.zeros(np.broadcast(u, v).shape, dtype=bool)
    pts = np.asarray(points, dtype=np.float64)
    for (u0, v0), (u1, v1) in zip(pts, np.roll(pts, -1, axis=0)):
        if v0 == v1:
            continue
        crosses = (v0 > v) != (v1 > v)
        at = u0 + (v - v0) * (u1 - u0) / (v1 - v0)
        inside ^= crosses & (u < at)
    return inside


def _polygon(axes, shape):
    a = AXES.index(shape.axis)
    ua, va = [b for b in range(3) if b != a]
    pts = np.asarray(shape.points, dtype=np.float64)
    lo, hi = [0.0] * 3, [0.0] * 3
    lo[ua], lo[va] = pts.min(axis=0)
    hi[ua], hi[va] = pts.max(axis=0)
    lo[a], hi[a] = shape.span
    region = list(_touched(axes, lo, hi))
    region[2 - a] = axes.range(a, lo[a], hi[a])
    grid = axes.centre_grid(region)
    section = inside_polygon(pts, grid[2 - ua], grid[2 - va])
    mask = np.broadcast_to(section, _extent(region))

    def fallback():
        snapped = list(region)
        snapped[2 - a] = axes.region(lo, hi, snap=True)[2 - a]
        if section.any():
            return Cells(tuple(snapped), np.broadcast_to(section, _extent(snapped)))
        # the cells the outline passes through, in the plane
        cross = np.zeros(section.shape, dtype=bool)
        for p, q in zip(pts, np.roll(pts, -1, axis=0)):
            p3, q3 = np.zeros(3), np.zeros(3)
            p3[[ua, va]], q3[[ua, va]] = p, q
            p3[a] = q3[a] = axes.centres[a][snapped[2 - a].start]
            plane = list(region)
            plane[2 - a] = snapped[2 - a]
            cross |= _crossed(axes, tuple(plane), p3, q3).reshape(section.shape)
        return Cells(tuple(snapped), np.broadcast_to(cross, _extent(snapped)))
    return Cells(tuple(region), mask, fallback)


def _mesh(axes, triangles):
    """A closed surface: a centre is inside when a ray from it along +x
    crosses the surface an odd number of times."""
    lo, hi = triangles.min(axis=(0, 1)), triangles.max(axis=(0, 1))
    region = _touched(axes, lo, hi)
    nz, ny, nx = _extent(region)
    cz = axes.centres[2][region[0]] + RAY_NUDGE[1] * axes.sizes[2][region[0]]
    cy = axes.centres[1][region[1]] + RAY_NUDGE[0] * axes.sizes[1][region[1]]
    cx = axes.centres[0][region[2]] + RAY_NUDGE[2] * axes.sizes[0][region[2]]
    toggles = np.zeros((nz, ny, nx + 1), dtype=np.int64)
    for tri, k, j in _columns(triangles, cy, cz):
        a, b, c = tri[:, 0], tri[:, 1], tri[:, 2]
        # barycentric coordinates of the ray's (y, z) in the triangle's projection
        det = (b[:, 1] - a[:, 1]) * (c[:, 2] - a[:, 2]) - (c[:, 1] - a[:, 1]) * (b[:, 2] - a[:, 2])
        py, pz = cy[j] - a[:, 1], cz[k] - a[:, 2]
        with np.errstate(divide="ignore", invalid="ignore"):
            s = (py * (c[:, 2] - a[:, 2]) - pz * (c[:, 1] - a[:, 1])) / det
            t = (pz * (b[:, 1] - a[:, 1]) - py * (b[:, 2] - a[:, 2])) / det
        hit = (det != 0) & (s >= 0) & (t >= 0) & (s + t <= 1)
        x = a[hit, 0] + s[hit] * (b[hit, 0] - a[hit, 0]) + t[hit] * (c[hit, 0] - a[hit, 0])
        # the centres right of the crossing see it: toggle from there on
        np.add.at(toggles, (k[hit], j[hit], np.searchsorted(cx, x, "right")), 1)
    # on a closed surface, the parity of the crossings left of a centre is
    # that of the crossings right of it
    mask = (np.cumsum(toggles, axis=2)[:, :, :nx] % 2).astype(bool)

    def fallback():
        # points of the surface, a quarter of the smallest cell apart (fewer
        # where that would make more than MAX_SAMPLES)
        step = 0.25 * _smallest(axes, region)
        edges = np.linalg.norm(triangles - np.roll(triangles, 1, axis=1), axis=2).max(axis=1)
        parts = np.ceil(edges / step)
        points = ((parts + 1) * (parts + 2) / 2).sum()
        parts = np.maximum(1, parts / max(1.0, np.sqrt(points / MAX_SAMPLES))).astype(int)
        mask = np.zeros(_extent(region), dtype=bool)
        for n in np.unique(parts):
            tri = triangles[parts == n]
            i, j = np.meshgrid(np.arange(n + 1), np.arange(n + 1), indexing="ij")
            keep = i + j <= n
            s_, t_ = i[keep] / n, j[keep] / n
            for chunk in range(0, len(tri), max(1, (1 << 22) // len(s_))):
                part = tri[chunk:chunk + max(1, (1 << 22) // len(s_))]
                a, b, c = part[:, None, 0], part[:, None, 1], part[:, None, 2]
                points = a + s_[None, :, None] * (b - a) + t_[None, :, None] * (c - a)
                mask |= _holding(axes, region, points)
        return Cells(region, mask)
    return Cells(region, mask, fallback)


def mesh_work(axes, triangles):
    """Pairs of triangle and ray column the inside test of a mesh looks at."""
    lo, hi = triangles.min(axis=(0, 1)), triangles.max(axis=(0, 1))
    region = _touched(axes, lo, hi)
    return int(_column_counts(triangles, axes.centres[1][region[1]],
                              axes.centres[2][region[0]])[-1].sum())


def _column_counts(triangles, cy, cz):
    ylo = np.searchsorted(cy, triangles[:, :, 1].min(axis=1), "left")
    yhi = np.searchsorted(cy, triangles[:, :, 1].max(axis=1), "right")
    zlo = np.searchsorted(cz, triangles[:, :, 2].min(axis=1), "left")
    zhi = np.searchsorted(cz, triangles[:, :, 2].max(axis=1), "right")
    ny_, nz_ = np.maximum(yhi - ylo, 0), np.maximum(zhi - zlo, 0)
    return ylo, zlo, ny_, nz_, ny_ * nz_


def _columns(triangles, cy, cz, chunk=1 << 20):
    """(triangles, k, j) in chunks: each triangle with every ray column
    (cy[j], cz[k]) inside the box of its projection."""
    ylo, zlo, ny_, nz_, count = _column_counts(triangles, cy, cz)
    order = np.nonzero(count)[0]
    start = 0
    while start < len(order):
        # triangles whose columns fit the chunk together
        total = np.cumsum(count[order[start:]])
        stop = start + max(1, int(np.searchsorted(total, chunk, "right")))
        sel = order[start:stop]
        n = count[sel]
        tri = np.repeat(sel, n)
        offset = np.arange(int(n.sum())) - np.repeat(np.cumsum(n) - n, n)
        j = np.repeat(ylo[sel], n) + offset % np.repeat(ny_[sel], n)
        k = np.repeat(zlo[sel], n) + offset // np.repeat(ny_[sel], n)
        yield triangles[tri], k, j
        start = stop
