"""What a model needs of the parameter store and of RAM, known before the work.

The parameter store that `dispatch` fills takes all its memory from the
lowest 2 GiB of the address space and never gives it back, so a model that
does not fit would run for minutes and then fail part way. `estimate` adds up
what `dispatch` will allocate for the model, from its grid, PML, grading,
objects and lumped cells, and what the host's own arrays take of RAM; `check`
refuses a model that cannot fit, with the figures and what to change.

Where the figures come from (each is what `dispatch` allocates per run):
- state blocks: 12 floats per PML cell and 3 per lumped cell and extra term,
  in both passes, zero-filled and never shared;
- parameter vectors: one per run, folded with an equal one among the last
  1000 stored. A line that lies wholly in the PML stores 24 floats per cell,
  and its vector depends on its depth into the y and z PML (2p + 1 classes
  each, the inner one among them), so a PML of p cells stores about
  4p(p + 1) such lines per pass, and again in the second pass once the pass
  stored more vectors than the store compares. Inner lines store 12 floats
  per plain cell, scaled by the cell sizes of their y and z rows: every new
  pair of row sizes (graded lines) and every new pattern of objects across a
  layer stores its lines once more.
`bench/capacity.py` holds the estimate against what `dispatch` allocated on
a set of models.
"""
import math
from dataclasses import dataclass

import numpy as np

from .model import Box, _bounds as shape_bounds
from .voxels import Axes

# bytes the store can be asked for in a fresh process: 2.078 GB were
# requested before "Memory Full", and the tails that the store's 128 KiB
# blocks and 64 MiB arenas leave unused take up to a few per cent of it
STORE_USABLE = 2_040_000_000
LOW_MEMORY_END = 1 << 31
STORE_RING = 1000            # stored vectors a new one is compared with

PML_STATE = 48               # bytes per PML cell and pass: 12 floats
LUMPED_STATE = 12            # bytes per lumped cell, extra term and pass: 3 floats
PML_VECTOR = 96              # bytes per cell of a stored PML line: 12 + 12 rows
PLAIN_VECTOR = 48            # bytes per plain cell of a stored line: 6 + 6 rows
LUMPED_VECTOR = 72           # bytes per lumped cell: 9 + 9 rows
NORM_VECTOR = 24             # bytes per group of the norm products of a plain run

# RAM of the host's own arrays, the rest being built in blocks: material
# indices and skin marks (1 byte each) and code words (2) over the whole grid;
# over the z planes between the lowest and the highest skin mark the skin
# values (12) and, while they are made, their mask and lookup (5); over the
# nodes of the stage picture's box its float32 stage (12). The last two are
# counted as if they spanned the grid, and both at once. Then the interpreter
# with its libraries and the GL context. bench/capacity.py and bench/scale.py
# hold it against the peak resident size of whole runs.
HOST_BYTES_PER_CELL = 32
HOST_BYTES_BASE = 250_000_000
# the time-domain run: the kernel's fields with their halo and its plan
# (measured on the default model: 27 + 27 bytes per cell), and the field
# plane's record, 12 bytes per node of the plane and sample, at the step limit
SIM_BYTES_PER_CELL = 60
PLANE_RECORD_BYTES = 12

GB = 1e9


class CapacityError(Exception):
    """A model that does not fit the parameter store or the RAM."""


@dataclass(frozen=True)
class Estimate:
    """Bytes a model needs, split by cause, and the limits they meet."""
    pml_cells: int
    lumped_cells: int
    state_blocks: int        # store bytes, both passes
    pml_vectors: int
    inner_vectors: int
    store_limit: int
    host_ram: int
    ram_limit: int           # 0: unknown
    simulation_ram: int = 0  # the time-domain run

    @property
    def store(self):
        return self.state_blocks + self.pml_vectors + self.inner_vectors

    @property
    def ram(self):
        # the state blocks stay untouched (zero pages) until a kernel uses them
        return self.host_ram + self.simulation_ram + self.pml_vectors + self.inner_vectors

    @property
    def processes(self):
        """Processes of a distributed run that would each fit."""
        need = math.ceil(self.store / max(self.store_limit, 1))
        if self.ram_limit:
            need = max(need, math.ceil(self.ram / self.ram_limit))
        return max(need, 1)

    @property
    def fits(self):
        return self.processes == 1

    def remedies(self):
        """What to change, for each limit the model exceeds: the changes that
        shrink its larger shares first."""
        said = []
        if self.store > self.store_limit:
            shares = [(self.state_blocks, ("a thinner PML", "a coarser grid")),
                      (self.pml_vectors, ("a thinner PML", "a coarser grid")),
                      (self.inner_vectors, ("fewer graded lines",))]
            for size, changes in sorted(shares, key=lambda share: -share[0]):
                if size >= 0.1 * self.store:
                    said += [c for c in changes if c not in said]
        if self.ram_limit and self.ram > self.ram_limit and "a coarser grid" not in said:
            said.append("a coarser grid")
        return said + ["a distributed run"]

    def describe(self):
        """One line: the figures, the limits and what to change."""
        parts = [f"parameter store {self.store / GB:.2f} GB needed "
                 f"(state blocks of {self.pml_cells:,} PML cells {self.state_blocks / GB:.2f} GB, "
                 f"PML vectors {self.pml_vectors / GB:.2f} GB, "
                 f"inner vectors {self.inner_vectors / GB:.2f} GB), "
                 f"{self.store_limit / GB:.2f} GB usable"]
        if self.ram_limit:
            parts.append(f"RAM {self.ram / GB:.2f} GB needed, "
                         f"{self.ram_limit / GB:.2f} GB available")
        parts.append(f"processes needed: {self.processes}")
        parts.append("use " + ", ".join(self.remedies()[:-1]) + " or " + self.remedies()[-1])
        return "; ".join(parts)

    def as_dict(self):
        return {"store_bytes": self.store, "store_state_blocks": self.state_blocks,
                "store_pml_vectors": self.pml_vectors, "store_inner_vectors": self.inner_vectors,
                "store_limit": self.store_limit, "ram_bytes": self.ram,
                "ram_limit": self.ram_limit, "processes_needed": self.processes}


def store_limit():
    """Low memory the store can still take in this process.

    Whatever is mapped below 2 GiB already (store memory of earlier runs in
    the same process, above all) is not available to this one.
    """
    try:
        with open("/proc/self/maps") as maps:
            taken = 0
            for line in maps:
                start, end = (int(v, 16) for v in line.split(None, 1)[0].split("-"))
                if start < LOW_MEMORY_END:
                    taken += min(end, LOW_MEMORY_END) - start
    except (OSError, ValueError):
        taken = 0
    return max(STORE_USABLE - taken, 0)


def ram_limit():
    """Bytes of RAM available now (MemAvailable), or 0 when unknown."""
    try:
        with open("/proc/meminfo") as info:
            for line in info:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return 0


def simulation_ram(model):
    """RAM of the time-domain run of a model with a port (0 without one)."""
    if model.port is None:
        return 0
    from .sim import SAMPLES_PER_PERIOD
    nx, ny, nz = model.shape
    stride = max(1, int(1.0 / (SAMPLES_PER_PERIOD * model.simulation.band[1] * model.time_step)))
    samples = model.simulation.max_steps // stride + 1
    return SIM_BYTES_PER_CELL * nx * ny * nz + PLANE_RECORD_BYTES * (nx + 1) * (ny + 1) * samples


def estimate(model, store_bytes=None, ram_bytes=None, simulate=True):
    """The `Estimate` of a validated model; the limits default to this process's.
    `simulate` counts the time-domain run's RAM."""
    nx, ny, nz = model.shape
    p, gw = model.pml, model.group_width
    cells = nx * ny * nz
    pml_cells = cells - (nx - 2 * p) * (ny - 2 * p) * (nz - 2 * p)
    lumped_cells = sum(_group_cells(elem.region, gw) for elem in model.lumped)
    extra_terms = 1 if model.lumped else 0
    state = 2 * (PML_STATE * pml_cells + LUMPED_STATE * extra_terms * lumped_cells)

    sizes = [np.asarray(c, dtype=np.float64) for c in model.cells]
    objects = _objects(model, sizes)
    reaching = sum(_reaches_pml(o.y, p, ny) + _reaches_pml(o.z, p, nz) for o in objects)
    pml_lines = 4 * p * (p + 1) + 6 * p * reaching
    # the x-PML ends of the inner lines: those of air, and three kinds per
    # object that reaches into them (its first, inner and last layers)
    x_ends = 2 * p * (1 + 3 * sum(_reaches_pml(o.x, p, nx) for o in objects))
    pml_pass = PML_VECTOR * (nx * pml_lines + x_ends) + LUMPED_VECTOR * lumped_cells
    inner_lines = _inner_line_classes(sizes, objects, p)
    inner = inner_lines * (PLAIN_VECTOR * (nx - 2 * p) + NORM_VECTOR * gw)
    # the second pass stores its PML vectors again once the first one pushed
    # them out of the ring (counted from half the ring on, to be safe)
    second = pml_pass if pml_lines * math.ceil(nx / model.run_limit) + inner_lines \
        > STORE_RING // 2 else 0

    host = HOST_BYTES_BASE + cells * HOST_BYTES_PER_CELL
    return Estimate(
        pml_cells=pml_cells, lumped_cells=lumped_cells, state_blocks=state,
        pml_vectors=pml_pass + second, inner_vectors=inner,
        store_limit=store_limit() if store_bytes is None else store_bytes,
        host_ram=host, ram_limit=ram_limit() if ram_bytes is None else ram_bytes,
        simulation_ram=simulation_ram(model) if simulate else 0)


def check(model, store_bytes=None, ram_bytes=None, simulate=True):
    """The model's `Estimate`; `CapacityError` when it does not fit."""
    found = estimate(model, store_bytes, ram_bytes, simulate)
    if not found.fits:
        raise CapacityError(found.describe())
    return found


def _group_cells(region, gw):
    """Cells of a region (z, y, x slices) counted in whole groups along x."""
    k, j, i = region
    groups = -(-i.stop // gw) - i.start // gw
    return (k.stop - k.start) * (j.stop - j.start) * groups * gw


@dataclass(frozen=True)
class _Object:
    """Cell ranges [lo, hi) of a model object along x, y and z; `round` when
    every line through it may cross it differently (all but boxes)."""
    x: tuple
    y: tuple
    z: tuple
    round: bool = False


def _objects(model, sizes):
    """The `_Object` of every solid, sheet, via and lumped element, by the
    cells its bounding box covers (the middle one where it holds no centre)."""
    axes = Axes(sizes)

    def spans(lo, hi):
        found = []
        for a in range(3):
            s = axes.range(a, lo[a], hi[a])
            if s.start >= s.stop:
                k = axes.layer(a, 0.5 * (lo[a] + hi[a]))
                s = slice(k, k + 1)
            found.append((s.start, s.stop))
        return found

    found = []
    for solid in model.solids:
        if solid.triangles is not None:
            lo, hi = solid.triangles.min(axis=(0, 1)), solid.triangles.max(axis=(0, 1))
        else:
            lo, hi = shape_bounds(solid.shape)
        found.append(_Object(*spans(lo, hi), round=not isinstance(solid.shape, Box)))
    for sheet in model.sheets:
        found.append(_Object(*spans(sheet.lo, sheet.hi)))
    for v in model.vias:
        r = v.radius
        found.append(_Object(*spans((v.centre[0] - r, v.centre[1] - r, v.z[0]),
                                    (v.centre[0] + r, v.centre[1] + r, v.z[1])), round=True))
    for elem in model.lumped:
        k, j, i = elem.region
        found.append(_Object((i.start, i.stop), (j.start, j.stop), (k.start, k.stop)))
    return found


def _reaches_pml(span, p, n):
    return int(span[0] < p or span[1] > n - p)


def _row_keys(s, lo, hi):
    """Rows lo..hi-1 of an axis keyed by what their norms depend on: the
    row's cell size and the one before it; equal keys share an index."""
    prev = np.concatenate(([s[0]], s[:-1]))
    pairs = np.stack([s[lo:hi], prev[lo:hi]], axis=1)
    return np.unique(pairs, axis=0, return_inverse=True)[1].ravel()


def _inner_line_classes(sizes, objects, p):
    """Inner lines (y and z outside the PML) whose vectors are stored anew.

    A layer k sees the objects of layers k - 1 and k (the E components
    average over both), so an object's first and last layer differ from its
    inner ones. Between two changes of what the layers see they differ only
    by their size key; a layer stores its lines again when its size key is
    new for what it sees. Its distinct lines are bounded by the lines of the
    layer, and count two per boundary of an object across y (the boundary
    line, mixing both sides, and the line after it), every line through a
    via, and one per size key of the y rows.
    """
    ny, nz = len(sizes[1]), len(sizes[2])
    y_keys = len(np.unique(_row_keys(sizes[1], p, ny - p)))
    z_keys = _row_keys(sizes[2], p, nz - p)
    inner_y = ny - 2 * p
    edges = {p, nz - p}
    for o in objects:
        for k in (o.z[0], o.z[0] + 1, o.z[1], o.z[1] + 1):
            if p < k < nz - p:
                edges.add(k)
    edges = sorted(edges)
    seen = {}
    total = 0
    for a, b in zip(edges[:-1], edges[1:]):
        # what layers a to b - 1 see: each object met in layer k - 1 or k,
        # and whether k is its first layer, its last one or between
        sees = tuple((n, (a == o.z[0]) - (a == o.z[1])) for n, o in enumerate(objects)
                     if o.z[0] <= a <= o.z[1])
        bounds = set()
        for n, _ in sees:
            o = objects[n]
            if o.round:
                bounds.update(range(max(o.y[0], p), min(o.y[1], ny - p) + 1))
            else:
                bounds.update(j for j in o.y if p <= j <= ny - p)
        lines = min(inner_y, y_keys * (2 * len(bounds) + 1))
        keys = seen.setdefault(sees, set())
        fresh = set(np.unique(z_keys[a - p:b - p]).tolist()) - keys
        keys |= fresh
        total += lines * len(fresh)
    return total
