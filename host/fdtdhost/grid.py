"""Voxelisation of a model and the per-component material data of the grid.

Arrays are indexed [z][y][x] (axis 0 is x, the last index). Components 0 to 2
are Ex, Ey, Ez, components 3 to 5 Hx, Hy, Hz; the field components of cell
(i, j, k) sit on the edges and faces that leave its lowest corner node.
"""
import math
from types import SimpleNamespace

import cellcoef
import numpy as np

from .model import pec_sigma
from .voxels import METAL_SIGMA, Axes, voxelise  # noqa: F401  (METAL_SIGMA: for the phases)


EPS0 = 8.8541878128e-12
MU0 = 1.25663706212e-6
C0 = 1.0 / math.sqrt(EPS0 * MU0)

PML_ORDER = 3


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
        self.pml = self._pml_cells()
        self._place_lumped()
        self.dt = time_step(self.sizes, model.courant)
        eps = np.array([m.eps_r for m in model.materials])
        sig = np.array([pec_sigma(model.materials, self.dt) if m.pec else m.sigma
                        for m in model.materials])
        self.eps_r = eps[self.material]
        self.sigma = sig[self.material]

    def layer(self, axis, at):
        """Index of the cell layer along `axis` that holds the coordinate `at`."""
        return self.axes.layer(axis, at)

    def _pml_cells(self):
        p = self.model.pml
        inner = np.zeros((self.nz, self.ny, self.nx), dtype=bool)
        inner[p:self.nz - p, p:self.ny - p, p:self.nx - p] = True
        return ~inner

    def _place_lumped(self):
        nz, ny, nx = self.material.shape
        self.lumped = np.zeros((nz, ny, nx), dtype=bool)
        self.lumped_sigma = np.zeros((nz, ny, nx), dtype=np.float64)
        self.lumped_on_axis = np.zeros((3, nz, ny, nx), dtype=bool)
        for elem in self.model.lumped:
            region, ax = elem.region, elem.axis
            shape = [1, 1, 1]
            shape[2 - ax] = region[2 - ax].stop - region[2 - ax].start
            self.lumped[region] = True
            self.lumped_sigma[region] = self.axes.lumped_conductivity(elem).reshape(shape)
            self.lumped_on_axis[ax][region] = True

    # -- data for cellcoef

    def edge_average(self, values, component):
        """Average of `values` over the four cells that share the E edge."""
        nz, ny, nx = values.shape
        padded = np.pad(values, ((1, 0), (1, 0), (1, 0)), mode="edge")  # index -1 = 0
        across = [2 - a for a in range(3) if a != component % 3]
        total = np.zeros(values.shape)
        for d0 in (0, 1):
            for d1 in (0, 1):
                start = [1, 1, 1]
                start[across[0]] -= d0
                start[across[1]] -= d1
                total += padded[start[0]:start[0] + nz, start[1]:start[1] + ny,
                                start[2]:start[2] + nx]
        return total / 4.0

    def material_pairs(self):
        """(a, b) per component and term as float32 volumes: a = eps / dt, b = sigma.

        Terms 0 and 1 are the E and H components; term 2, present with lumped
        elements, carries the elements' conductance on their axis.
        """
        pairs = []
        for c in range(3):
            a = EPS0 * self.edge_average(self.eps_r, c) / self.dt
            b = self.edge_average(self.sigma, c)
            pairs.append((a.astype(np.float32), b.astype(np.float32)))
        h = np.full(self.material.shape, MU0 / self.dt, dtype=np.float32)
        zero = np.zeros(self.material.shape, dtype=np.float32)
        pairs += [(h, zero)] * 3
        if self.model.lumped:
            a = np.full(self.material.shape, EPS0 / self.dt, dtype=np.float32)
            for c in range(3):
                b = self.lumped_sigma * self.lumped_on_axis[c]
                pairs.append((a, b.astype(np.float32)))
        return pairs

    def codes(self):
        """The int16 code words: all six components, treatment tags, pass bit."""
        codes = np.full(self.material.shape, cellcoef.CODE_COMPONENTS, dtype=np.int16)
        codes[self.pml] |= cellcoef.CODE_SPLIT_LOSS | cellcoef.CODE_BOTH_PASSES
        codes[self.lumped] |= cellcoef.CODE_LUMPED | cellcoef.CODE_BOTH_PASSES
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
        """Mask, per-axis skin conductivities and spacings for surfloss.

        A record addresses the tangential E edges on its cell's lower face, so
        a sheet marks the cells whose lower face is one of its own two faces:
        its layer (the face below) and the layer above (the face above), each
        where the cell across that face is no conductor (a face against metal
        or the grid's edge sees no field). The skin layer's conductance
        sigma * depth is spread over the face's dual spacing, the thickness of
        the edges' cells along the normal.
        """
        mask = np.zeros_like(self.skin)
        values = np.zeros((3,) + self.material.shape, dtype=np.float32)
        for sheet, region in zip(self.model.sheets, self.voxels.sheets):
            if region is None or not sheet.marked:
                continue
            n = sheet.normal
            sigma = self.sigma[region]
            depth = 1.0 / np.sqrt(math.pi * self.model.frequency * MU0 * np.maximum(sigma, 1e-30))
            k = region[2 - n].start
            sizes = self.sizes[n] * 1e-3
            for layer, across in ((k, k - 1), (k + 1, k + 1)):
                if not 0 <= across < self.model.shape[n] or layer >= self.model.shape[n]:
                    continue
                face, other = list(region), list(region)
                face[2 - n] = slice(layer, layer + 1)
                other[2 - n] = slice(across, across + 1)
                open_face = self.sigma[tuple(other)] < METAL_SIGMA
                dual = 0.5 * (sizes[layer - 1] + sizes[layer])
                face = tuple(face)
                for a in range(3):
                    if a != n:
                        mask[face][open_face] |= 1 << a
                        values[a][face][open_face] = (sigma * depth / dual)[open_face]
        spacings = []
        for s in self.sizes:
            d = np.empty_like(s)
            d[:-1] = 0.5 * (s[:-1] + s[1:])
            d[-1] = s[-1]
            spacings.append(d)
        return mask, values, spacings

    def ext(self):
        """The treatment objects of dispatch: loss profiles, lumped parameter."""
        return [SimpleNamespace(loss=self.loss_profiles()),
                SimpleNamespace(max_stab_par=self.model.courant)]
