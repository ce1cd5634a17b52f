"""Voxelisation of a model and the per-component material data of the grid.

Arrays are indexed [z][y][x] (axis 0 is x, the last index). Components 0 to 2
are Ex, Ey, Ez, components 3 to 5 Hx, Hy, Hz; the field components of cell
(i, j, k) sit on the edges and faces that leave its lowest corner node.
"""
import math
from types import SimpleNamespace

import numpy as np


EPS0 = 8.8541878128e-12
MU0 = 1.25663706212e-6
C0 = 1.0 / math.sqrt(EPS0 * MU0)
METAL_SIGMA = 1e5          # conductors: drawn in the stage, held at a potential

# code word bits
COMPONENTS = 0x3F
PASS_BIT = 0x200
TAG_SPLIT_LOSS = 0x400
TAG_LUMPED = 0x800

PML_ORDER = 3


class Grid:
    """The voxel model: cell sizes, material indices and marked cells."""

    def __init__(self, model):
        self.model = model
        self.sizes = [np.asarray(c, dtype=np.float64) for c in model.cells]   # mm
        self.nodes = [np.concatenate(([0.0], np.cumsum(s))) for s in self.sizes]
        self.centres = [n[:-1] + 0.5 * s for n, s in zip(self.nodes, self.sizes)]
        nx, ny, nz = model.shape
        self.nx, self.ny, self.nz = nx, ny, nz
        self.ncells = nx * ny * nz
        self.material = np.zeros((nz, ny, nx), dtype=np.uint8)
        self.skin = np.zeros((nz, ny, nx), dtype=np.uint8)
        self.lumped = np.zeros((nz, ny, nx), dtype=bool)
        self.lumped_sigma = np.zeros((nz, ny, nx), dtype=np.float64)
        self.lumped_on_axis = np.zeros((3, nz, ny, nx), dtype=bool)
        self._voxelise()
        self.pml = self._pml_cells()
        self._place_lumped()
        eps = np.array([m.eps_r for m in model.materials])
        sig = np.array([m.sigma for m in model.materials])
        self.eps_r = eps[self.material]
        self.sigma = sig[self.material]
        smallest = [s.min() * 1e-3 for s in self.sizes]
        self.dt = model.courant / (C0 * math.sqrt(sum(1.0 / h ** 2 for h in smallest)))

    # -- voxelisation

    def _range(self, axis, lo, hi):
        """Slice of the cells whose centre lies in [lo, hi)."""
        c = self.centres[axis]
        return slice(int(np.searchsorted(c, lo, "left")), int(np.searchsorted(c, hi, "left")))

    def layer(self, axis, at):
        """Index of the cell layer along `axis` that holds the coordinate `at`."""
        return int(np.searchsorted(self.nodes[axis], at, "right")) - 1

    def _box(self, lo, hi):
        return (self._range(2, lo[2], hi[2]), self._range(1, lo[1], hi[1]),
                self._range(0, lo[0], hi[0]))

    def _voxelise(self):
        model = self.model
        for box in model.boxes:
            self.material[self._box(box.lo, box.hi)] = box.material
        for sheet in model.sheets:
            region = list(self._box(sheet.lo, sheet.hi))
            k = self.layer(sheet.normal, sheet.at)
            region[2 - sheet.normal] = slice(k, k + 1)
            region = tuple(region)
            sheet.region = region
            self.material[region] = sheet.material
            for a in range(3):
                if a != sheet.normal:
                    self.skin[region] |= 1 << a
        cx, cy = np.meshgrid(self.centres[0], self.centres[1])
        for via in model.vias:
            inside = (cx - via.centre[0]) ** 2 + (cy - via.centre[1]) ** 2 <= via.radius ** 2
            zs = self._range(2, via.z[0], via.z[1])
            self.material[zs][:, inside] = via.material

    def _pml_cells(self):
        p = self.model.pml
        inner = np.zeros((self.nz, self.ny, self.nx), dtype=bool)
        inner[p:self.nz - p, p:self.ny - p, p:self.nx - p] = True
        return ~inner

    def _place_lumped(self):
        for elem in self.model.lumped:
            region, ax = elem.region, elem.axis
            cells = self.lumped[region].size
            # cells in series share the resistance; as a conductivity of the cell
            length = self.sizes[ax][region[2 - ax]] * 1e-3
            across = [a for a in range(3) if a != ax]
            area = 1e-6 * (self.sizes[across[0]][region[2 - across[0]].start] *
                           self.sizes[across[1]][region[2 - across[1]].start])
            shape = [1, 1, 1]
            shape[2 - ax] = cells
            self.lumped[region] = True
            self.lumped_sigma[region] = (length / (elem.resistance / cells * area)).reshape(shape)
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
        codes = np.full(self.material.shape, COMPONENTS, dtype=np.int16)
        codes[self.pml] |= TAG_SPLIT_LOSS | PASS_BIT
        codes[self.lumped] |= TAG_LUMPED | PASS_BIT
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
        for sheet in self.model.sheets:
            n = sheet.normal
            region = sheet.region
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
