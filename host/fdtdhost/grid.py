"""Voxelisation of a model and the per-component material data of the grid.

Arrays are indexed [z][y][x] (axis 0 is x, the last index). Components 0 to 2
are Ex, Ey, Ez, components 3 to 5 Hx, Hy, Hz; the field components of cell
(i, j, k) sit on the edges and faces that leave its lowest corner node.
"""
import math
from types import SimpleNamespace
from typing import NamedTuple

import cellcoef
import numpy as np
import rlearray

from .model import pec_sigma
from .voxels import METAL_SIGMA, Axes, voxelise  # noqa: F401  (METAL_SIGMA: for the phases)


EPS0 = 8.8541878128e-12
MU0 = 1.25663706212e-6
C0 = 1.0 / math.sqrt(EPS0 * MU0)

PML_ORDER = 3


# The material data is built in blocks of about this many cells (whole z
# planes, or lines of one plane where a plane holds more), so that its float64
# temporaries stay in the cache and no array of the whole grid is held but the
# material indices, the skin marks and the codes.
BLOCK_CELLS = 1 << 17


class CellValues:
    """A material property per cell, looked up from the material indices when
    indexed (`grid.sigma[:, :, i]`, `grid.eps_r[k, j, i]`): no array of the
    whole grid is held."""

    def __init__(self, table, material):
        # + 0.0 turns a -0.0 of the model into 0.0: sums that start from a
        # cell's value are then the sums from 0.0 they stand for
        self.table = np.asarray(table, dtype=np.float64) + 0.0
        self.material = material

    @property
    def shape(self):
        return self.material.shape

    def __getitem__(self, key):
        return self.table[self.material[key]]


class WorkArrays:
    """Arrays kept from block to block: fresh pages for every block would
    cost more than the arithmetic done in them."""

    def __init__(self):
        self._arrays = {}

    def get(self, name, shape, dtype):
        """An array of `shape`, in the memory of the last one of this name."""
        size = math.prod(shape)
        memory = self._arrays.get(name)
        if memory is None or memory.size < size or memory.dtype != dtype:
            memory = self._arrays[name] = np.empty(size, dtype=dtype)
        return memory[:size].reshape(shape)


class LumpedCells(NamedTuple):
    """The cells of a lumped element: region (z, y, x slices), axis, and the
    conductivity of each cell (float64, the region's shape)."""
    region: tuple
    axis: int
    sigma: np.ndarray


def time_step(sizes, courant):
    """The grid's Courant limit times `courant` (s), from the cell sizes (mm)."""
    smallest = [float(np.min(s)) * 1e-3 for s in sizes]
    return courant / (C0 * math.sqrt(sum(1.0 / h ** 2 for h in smallest)))


class Grid:
    """The voxel model: cell sizes, material indices and marked cells."""

    def __init__(self, model):
        self.model = model
        axes = Axes(model.cells)
        self.axes = axes
        self.sizes, self.nodes, self.centres = axes.sizes, axes.nodes, axes.centres   # mm
        nx, ny, nz = model.shape
        self.nx, self.ny, self.nz = nx, ny, nz
        self.ncells = nx * ny * nz
        self.voxels = voxelise(model, axes)
        self.material, self.skin = self.voxels.material, self.voxels.skin
        self.lumped_cells = []
        self._place_lumped()
        self.dt = time_step(self.sizes, model.courant)
        self.eps_r = CellValues([m.eps_r for m in model.materials], self.material)
        self.sigma = CellValues([pec_sigma(model.materials, self.dt) if m.pec else m.sigma
                                 for m in model.materials], self.material)
        self.block_cells = BLOCK_CELLS

    def layer(self, axis, at):
        """Index of the cell layer along `axis` that holds the coordinate `at`."""
        return self.axes.layer(axis, at)

    def _place_lumped(self):
        for elem in self.model.lumped:
            region, ax = elem.region, elem.axis
            shape = [1, 1, 1]
            shape[2 - ax] = region[2 - ax].stop - region[2 - ax].start
            sigma = self.axes.lumped_conductivity(elem).reshape(shape)
            self.lumped_cells.append(LumpedCells(region, ax, sigma))

    # -- data for cellcoef

    def blocks(self):
        """The regions (z, y, x slices) the material data is built in, in the
        order of the grid's lines: slabs of whole z planes of about
        `block_cells` cells, or blocks of lines of one plane where a plane
        holds more."""
        nz, ny, nx = self.material.shape
        x = slice(0, nx)
        if nx * ny <= self.block_cells:
            step = self.block_cells // (nx * ny)
            return [(slice(z, min(z + step, nz)), slice(0, ny), x) for z in range(0, nz, step)]
        step = max(1, self.block_cells // nx)
        return [(slice(z, z + 1), slice(y, min(y + step, ny)), x)
                for z in range(nz) for y in range(0, ny, step)]

    def edge_average(self, values, component, region, work=None):
        """Average of `values` (a `CellValues`) over the four cells that share
        the E edge, for the cells of `region` (z, y, x slices with start and
        stop); a neighbour below index 0 is the cell at index 0.

        The result lies in `work` (a `WorkArrays`) when given, until its
        next use.
        """
        work = work or WorkArrays()
        n = [s.stop - s.start for s in region]
        index = work.get("index", [k + 1 for k in n], np.uint8)
        # the cells and their lower neighbours; index -1 repeats index 0
        pad = [1 if s.start == 0 else 0 for s in region]
        index[pad[0]:, pad[1]:, pad[2]:] = self.material[
            tuple(slice(s.start - 1 + p, s.stop) for s, p in zip(region, pad))]
        if pad[0]:
            index[0] = index[1]
        if pad[1]:
            index[:, 0] = index[:, 1]
        if pad[2]:
            index[:, :, 0] = index[:, :, 1]
        padded = np.take(values.table, index, mode="clip",
                         out=work.get("values", index.shape, np.float64))
        across = [2 - a for a in range(3) if a != component % 3]
        shifted = []
        for d0 in (0, 1):
            for d1 in (0, 1):
                start = [1, 1, 1]
                start[across[0]] -= d0
                start[across[1]] -= d1
                shifted.append(padded[start[0]:start[0] + n[0], start[1]:start[1] + n[1],
                                      start[2]:start[2] + n[2]])
        total = np.add(shifted[0], shifted[1], out=work.get("total", n, np.float64))
        total += shifted[2]
        total += shifted[3]
        total /= 4.0
        return total

    def _averages(self, values, component, scale=None):
        """The lines of every block of the edge average of `values`, times
        `scale` over dt if given, as float32; each is overwritten by the next."""
        work = WorkArrays()
        for region in self.blocks():
            average = self.edge_average(values, component, region, work)
            if scale is not None:
                average *= scale
                average /= self.dt
            single = work.get("float32", average.shape, np.float32)
            np.copyto(single, average)
            yield single.reshape(-1, self.nx)

    def _constant(self, value):
        """The lines of every block, all of one float32 value."""
        lines = np.full((max(_lines(r) for r in self.blocks()), self.nx), value,
                        dtype=np.float32)
        for region in self.blocks():
            yield lines[:_lines(region)]

    def _lumped_conductance(self, axis):
        """The lines of every block of the conductivity of the lumped
        elements along `axis`, as float32.

        Where elements overlap, a cell takes the conductivity of the last one
        and counts for the axes of all of them.
        """
        zero = np.zeros((max(_lines(r) for r in self.blocks()), self.nx), dtype=np.float32)
        for region in self.blocks():
            inside = [(cells, _overlap(cells.region, region)) for cells in self.lumped_cells]
            inside = [(cells, parts) for cells, parts in inside if parts]
            if not inside:
                yield zero[:_lines(region)]
                continue
            shape = tuple(s.stop - s.start for s in region)
            sigma = np.zeros(shape)
            on_axis = np.zeros(shape, dtype=bool)
            for cells, (in_block, in_element) in inside:
                sigma[in_block] = cells.sigma[in_element]
                if cells.axis == axis:
                    on_axis[in_block] = True
            yield (sigma * on_axis).astype(np.float32).reshape(-1, self.nx)

    def material_pairs(self):
        """(a, b) per component and term as RLE arrays: a = eps / dt, b = sigma,
        built block by block.

        Terms 0 and 1 are the E and H components; term 2, present with lumped
        elements, carries the elements' conductance on their axis.
        """
        shape = self.material.shape

        def rle(lines):
            return rlearray.RleArray.from_slabs(shape, lines)

        pairs = []
        for c in range(3):
            pairs.append((rle(self._averages(self.eps_r, c, EPS0)),
                          rle(self._averages(self.sigma, c))))
        h, zero = rle(self._constant(MU0 / self.dt)), rle(self._constant(0.0))
        pairs += [(h, zero)] * 3
        if self.model.lumped:
            a = rle(self._constant(EPS0 / self.dt))
            for c in range(3):
                pairs.append((a, rle(self._lumped_conductance(c))))
        return pairs

    def pml_regions(self):
        """Six boxes (z, y, x slices) that tile the PML: the grid less its inner box."""
        p = self.model.pml
        nz, ny, nx = self.material.shape
        z, y = slice(p, nz - p), slice(p, ny - p)
        return [(slice(0, p),), (slice(nz - p, nz),),
                (z, slice(0, p)), (z, slice(ny - p, ny)),
                (z, y, slice(0, p)), (z, y, slice(nx - p, nx))]

    def codes(self):
        """The int16 code words: all six components, treatment tags, pass bit."""
        codes = np.full(self.material.shape, cellcoef.CODE_COMPONENTS, dtype=np.int16)
        for region in self.pml_regions():
            codes[region] |= cellcoef.CODE_SPLIT_LOSS | cellcoef.CODE_BOTH_PASSES
        for cells in self.lumped_cells:
            codes[cells.region] |= cellcoef.CODE_LUMPED | cellcoef.CODE_BOTH_PASSES
        return codes

    def loss_profiles(self):
        """Split-loss profiles along x, y, z: position p, column 2i + h.

        Column 2i + h is the half of component i that the field of axis
        (i + 1 + h) mod 3 drives; only the profile of that axis is nonzero in
        it. The loss is the dimensionless sigma dt / eps0 of a graded PML.
        """
        p = self.model.pml
        profiles = []
        for ax in range(3):
            n = self.model.shape[ax]
            h = self.sizes[ax][p] * 1e-3 if n > 2 * p else self.sizes[ax].mean() * 1e-3
            sigma_max = 0.8 * (PML_ORDER + 1) / (math.sqrt(MU0 / EPS0) * h)
            table = np.zeros((12, n), dtype=np.float32)
            for i in range(6):
                c = i % 3
                offset = 0.5 if i >= 3 else 0.0     # H components sit half a cell on
                pos = np.arange(n) + offset
                depth = np.maximum(np.maximum(p - pos, pos - (n - p)), 0.0) / p
                loss = sigma_max * depth ** PML_ORDER * self.dt / EPS0
                for half in range(2):
                    if (c + 1 + half) % 3 == ax:
                        table[2 * i + half] = loss
            # positions 4 bytes apart, columns through the second stride
            profiles.append(table.T)
        return profiles

    def norms(self):
        """The four norm tables of dispatch, lengths in metres.

        Items 2 and 3 hold the y and z parts of each component's 1 / face
        area (the kernel applies the x part); items 0 and 1 the y and z edge
        lengths of each component, for every cell of a group.
        """
        gw = self.model.group_width
        primal = [s * 1e-3 for s in self.sizes]
        dual = [np.concatenate(([s[0]], 0.5 * (s[:-1] + s[1:]))) for s in primal]
        items = []
        for ax, item_len in ((1, 6 * gw), (2, 6 * gw)):
            n = self.model.shape[ax]
            table = np.ones((n, 6, gw), dtype=np.float32)
            for i in range(6):
                if i % 3 == ax:
                    table[:, i, :] = (primal if i < 3 else dual)[ax][:, None]
            items.append(table.reshape(n, item_len))
        for ax in (1, 2):
            n = self.model.shape[ax]
            table = np.ones((n, 6), dtype=np.float32)
            for i in range(6):
                if i % 3 != ax:
                    table[:, i] = 1.0 / (dual if i < 3 else primal)[ax]
            items.append(table)
        return items

    def skin_data(self):
        """First z plane, mask, per-axis skin conductivities and spacings for
        surfloss, over the z planes that hold the skin marks.

        A record addresses the tangential E edges on its cell's lower face, so
        a sheet marks the cells whose lower face is one of its own two faces:
        its layer (the face below) and the layer above (the face above), each
        where the cell across that face is no conductor (a face against metal
        or the grid's edge sees no field). The skin layer's conductance
        sigma * depth is spread over the face's dual spacing, the thickness of
        the edges' cells along the normal.

        The mask and values cover planes z0 to z0 + len(mask) - 1 (one plane
        when nothing is marked); the z spacings start at plane z0.
        """
        faces = []          # (sheet's normal, face cells, the cells across it, sigma, depth)
        for sheet, region in zip(self.model.sheets, self.voxels.sheets):
            if region is None or not sheet.marked:
                continue
            n = sheet.normal
            sigma = self.sigma[region]
            depth = 1.0 / np.sqrt(math.pi * self.model.frequency * MU0 * np.maximum(sigma, 1e-30))
            k = region[2 - n].start
            for layer, across in ((k, k - 1), (k + 1, k + 1)):
                if not 0 <= across < self.model.shape[n] or layer >= self.model.shape[n]:
                    continue
                face, other = list(region), list(region)
                face[2 - n] = slice(layer, layer + 1)
                other[2 - n] = slice(across, across + 1)
                faces.append((n, layer, tuple(face), tuple(other), sigma, depth))
        z0 = min((f[2][0].start for f in faces), default=0)
        z1 = max((f[2][0].stop for f in faces), default=1)
        mask = np.zeros((z1 - z0,) + self.skin.shape[1:], dtype=self.skin.dtype)
        values = np.zeros((3,) + mask.shape, dtype=np.float32)
        for n, layer, face, other, sigma, depth in faces:
            sizes = self.sizes[n] * 1e-3
            open_face = self.sigma[other] < METAL_SIGMA
            dual = 0.5 * (sizes[layer - 1] + sizes[layer])
            local = (slice(face[0].start - z0, face[0].stop - z0),) + face[1:]
            for a in range(3):
                if a != n:
                    mask[local][open_face] |= 1 << a
                    values[a][local][open_face] = (sigma * depth / dual)[open_face]
        spacings = []
        for s in self.sizes:
            d = np.empty_like(s)
            d[:-1] = 0.5 * (s[:-1] + s[1:])
            d[-1] = s[-1]
            spacings.append(d)
        spacings[2] = spacings[2][z0:]
        return z0, mask, values, spacings

    def ext(self):
        """The treatment objects of dispatch: loss profiles, lumped parameter."""
        return [SimpleNamespace(loss=self.loss_profiles()),
                SimpleNamespace(max_stab_par=self.model.courant)]


def _lines(region):
    """Number of grid lines (along x) in a region of z, y, x slices."""
    return (region[0].stop - region[0].start) * (region[1].stop - region[1].start)


def _overlap(region, block):
    """The cells that two regions share, as (slices within `block`, slices
    within `region`); None when they share none."""
    starts = [max(r.start, b.start) for r, b in zip(region, block)]
    stops = [min(r.stop, b.stop) for r, b in zip(region, block)]
    if any(a >= b for a, b in zip(starts, stops)):
        return None
    return (tuple(slice(a - b.start, c - b.start) for a, c, b in zip(starts, stops, block)),
            tuple(slice(a - r.start, c - r.start) for a, c, r in zip(starts, stops, region)))
