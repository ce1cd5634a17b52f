"""Time-domain simulation of a pre-processed grid with the `yeestep` kernel.

`Simulation` turns the host's `grid.Grid`, `pre.Coefficients`,
`pre.RunTables` and `pre.SkinRecords` into the kernel's plan and fields and
runs it; sources, probes, lumped ports and DFT planes are added before
`run`. Units are SI (metres, seconds, volts, amperes); cells are given as
(i, j, k) indices, components as names ("Ex" ... "Hz") or indices 0 to 5.

Time stamps follow the leapfrog: after step n (counted from 0) the E fields
hold E at (n + 1) dt and the H fields H at (n + 1/2) dt; a source's sample
of step n acts at (n + 1/2) dt.
"""
import math

import numpy as np
import yeestep

COMPONENTS = ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz")
FIELD_ALIGN = 64        # bytes: the fields' rows start on cache lines
ALL_LOW_FACES_PEC = yeestep.LOW_PEC_X | yeestep.LOW_PEC_Y | yeestep.LOW_PEC_Z


def component(c):
    """Component index 0 to 5 of a name or an index."""
    return COMPONENTS.index(c) if isinstance(c, str) else int(c)


def spacings(grid):
    """(dx, ddx, dy, ddy, dz, ddz) in metres: cell sizes, and the dual spacings
    between the centres of cells n - 1 and n (the first is the cell size)."""
    out = []
    for s in grid.sizes:
        primal = np.ascontiguousarray(s * 1e-3, dtype=np.float64)
        dual = np.concatenate(([primal[0]], 0.5 * (primal[:-1] + primal[1:])))
        out += [primal, dual]
    return out


def aligned_zeros(shape, dtype=np.float32, align=FIELD_ALIGN):
    """A zeroed C-contiguous array whose data starts on an `align`-byte boundary."""
    dtype = np.dtype(dtype)
    nbytes = int(np.prod(shape)) * dtype.itemsize
    raw = np.zeros(nbytes + align, np.uint8)
    start = (-raw.ctypes.data) % align
    return raw[start:start + nbytes].view(dtype).reshape(shape)


def gaussian_pulse(dt, steps, f0, bandwidth, delay=None):
    """Samples at (n + 1/2) dt of the Gaussian-modulated sine
    sin(2 pi f0 t') exp(-(t'/tau)^2), t' = t - delay, tau = 1 / (pi bandwidth):
    its spectrum falls to 1/e at f0 +- bandwidth. The default delay, 4 tau,
    starts it at 1e-7 of its peak."""
    tau = 1.0 / (math.pi * bandwidth)
    if delay is None:
        delay = 4.0 * tau
    t = (np.arange(steps) + 0.5) * dt - delay
    return np.sin(2 * math.pi * f0 * t) * np.exp(-(t / tau) ** 2)


class Probe:
    """A field value recorded every step: `values[n]` after step n."""

    def __init__(self, comp, cell):
        self.comp, self.cell = comp, tuple(cell)
        self.values = np.zeros(0)


class Port:
    """A lumped element of the model driven as a port: its resistance in
    series with a voltage source of samples `source[n]` at (n + 1/2) dt.

    After a run, `voltage[n]` and `current[n]` are the terminal voltage
    V = -sum(E dl) along the element's axis and the current it delivers into
    the model, I = (Vs - V) / R, both at (n + 1/2) dt, for every step made
    since the last reset. `resistance` is R as the run records give it
    (their tail conductance over the cells' lengths and areas)."""

    def __init__(self, sim, element, source):
        self.element = element
        self.axis = axis = element.axis
        zs, ys, xs = element.region
        self.cells = [(i, j, k) for k in range(zs.start, zs.stop)
                      for j in range(ys.start, ys.stop) for i in range(xs.start, xs.stop)]
        primal, dual = sim.spacings[0::2], sim.spacings[1::2]
        across = [a for a in range(3) if a != axis]
        self.lengths = np.array([primal[axis][c[axis]] for c in self.cells])
        areas = np.array([dual[across[0]][c[across[0]]] * dual[across[1]][c[across[1]]]
                          for c in self.cells])
        conductance = sim.coefficients(axis, self.cells)[:, 2]
        if not (conductance > 0).all():
            raise ValueError(f"lumped element {element.name}: the records hold no conductance")
        cell_resistance = self.lengths / (conductance * areas)
        self.resistance = float(cell_resistance.sum())
        # The source drives each cell in proportion to its resistance: an
        # impressed current density G e with sum(e dl) = Vs.
        self.density = conductance * (cell_resistance / self.resistance) / self.lengths
        self.source = np.asarray(source, dtype=np.float64)
        self._edges = np.zeros((0, len(self.cells)))
        self.voltage = self.current = np.zeros(0)

    def _record(self, edges, first):
        """Appends the E of the element's edges after steps first, first + 1, ..."""
        self._edges = np.concatenate((self._edges[:first], edges))
        v_full = -(self._edges * self.lengths).sum(axis=1)              # at (n + 1) dt
        self.voltage = 0.5 * (np.concatenate(([0.0], v_full[:-1])) + v_full)
        vs = np.zeros(len(v_full))
        vs[:min(len(vs), len(self.source))] = self.source[:len(vs)]
        self.current = (vs - self.voltage) / self.resistance


class DftPlane:
    """An on-the-fly DFT of components on a grid plane. `values[f, c]` is the
    complex amplitude sum(F(t) exp(-i 2 pi f t)) dt of component c at the
    plane's cells, shaped [v][u] over the two other axes (u the lower one)."""

    def __init__(self, sim, comps, axis, index):
        self.comps = [component(c) for c in comps]
        self.axis, self.index = axis, index
        n = [sim.grid.nx, sim.grid.ny, sim.grid.nz]
        u, v = [a for a in range(3) if a != axis]
        self.shape = (n[v], n[u])
        jv, iu = np.meshgrid(np.arange(n[v]), np.arange(n[u]), indexing="ij")
        ijk = [None, None, None]
        ijk[axis], ijk[u], ijk[v] = np.full(jv.size, index), iu.ravel(), jv.ravel()
        self.cells = np.concatenate([
            np.column_stack([np.full(jv.size, c), ijk[2], ijk[1], ijk[0]]) for c in self.comps
        ]).astype(np.int32)
        self._sim = sim
        self._start = 0

    @property
    def values(self):
        sim = self._sim
        part = sim._dft_sums[:, self._start:self._start + len(self.cells)] * sim.dt
        return part.reshape((len(sim.dft_frequencies), len(self.comps)) + self.shape)


class Simulation:
    """The kernel's plan of a pre-processed grid, its fields, and what a run
    drives and records. `threads` 0 takes every core; results are the same
    for any count. `boundary` says which low faces of the grid are perfect
    conductors (bits 1, 2, 4 for x, y, z; the high faces are the fields'
    halo, zero unless filled)."""

    def __init__(self, grid, coefficients, tables, skin=None, threads=0,
                 boundary=ALL_LOW_FACES_PEC):
        self.grid = grid
        self.dt = grid.dt
        self.spacings = spacings(grid)
        skin_records = (skin.handle, skin.count) if skin is not None else None
        self.plan = yeestep.prepare(
            tables.records[0], tables.lines[0], tables.records[1], tables.lines[1],
            self.spacings, grid.model.group_width, len(coefficients.pm) // 3,
            coefficients.ntail, 0, skin_records, boundary)
        shape, self.x_offset, self.plan_bytes = yeestep.layout(self.plan)
        self.fields = aligned_zeros(shape)
        self.threads = threads
        self.steps = 0
        self.probes, self.ports, self.planes, self._sources = [], [], [], []
        self.dft_frequencies = np.zeros(0)
        self._dft_sums = np.zeros((0, 0), np.complex128)

    # -- fields and state

    def field(self, comp):
        """View [nz][ny][nx] of a component at the grid's cells (no halo)."""
        g = self.grid
        return self.fields[component(comp), 1:g.nz + 1, 1:g.ny + 1,
                           self.x_offset:self.x_offset + g.nx]

    def energy(self):
        """Field energy in joules outside the PML: E at the last step's end
        with H half a step earlier."""
        return yeestep.energy(self.plan, self.fields, self.threads) * self.dt

    def reset(self):
        """Zero fields, kernel state, recordings and DFT sums; the next run
        starts at step 0."""
        self.fields[...] = 0.0
        yeestep.reset(self.plan)
        self.steps = 0
        self._dft_sums[...] = 0.0
        for p in self.probes:
            p.values = np.zeros(0)
        for port in self.ports:
            port._record(np.zeros((0, len(port.cells))), 0)

    def coefficients(self, comp, cells):
        """(A, K, G) per cell (i, j, k) of component `comp`: the update
        F' = A F + K (curl - J) of its edge and the tail conductance G (S/m)
        of a lumped edge."""
        c = component(comp)
        table = np.array([(c, k, j, i) for i, j, k in cells], dtype=np.int32).reshape(-1, 4)
        return yeestep.coefficients(self.plan, table)

    # -- what a run drives and records

    def add_probe(self, comp, cell):
        probe = Probe(component(comp), cell)
        self.probes.append(probe)
        return probe

    def add_current_source(self, comp, cell, current):
        """A soft current source on one edge: `current[n]` amperes at (n + 1/2) dt."""
        c = component(comp)
        # the edge's cross-section: dual spacings across an E edge, primal across H
        kind = 1 if c < 3 else 0
        area = 1.0
        for a in range(3):
            if a != c % 3:
                area *= self.spacings[2 * a + kind][cell[a]]
        self._sources.append((c, tuple(cell), np.asarray(current, dtype=np.float64) / area))

    def add_port(self, element, voltage):
        """The lumped element `element` (one of `model.lumped`) as a port driven
        by the voltage samples `voltage[n]` at (n + 1/2) dt."""
        port = Port(self, element, voltage)
        self.ports.append(port)
        return port

    def add_dft_plane(self, comps, axis, index, freqs):
        """Components on the plane `index` along `axis`, transformed at `freqs`
        (Hz) from the next run on; all planes take the same frequencies."""
        freqs = np.asarray(freqs, dtype=np.float64)
        if self.planes and not np.array_equal(freqs, self.dft_frequencies):
            raise ValueError("every DFT plane of a simulation takes the same frequencies")
        plane = DftPlane(self, comps, axis, index)
        plane._start = self._dft_sums.shape[1]
        self.dft_frequencies = freqs
        grown = np.zeros((len(freqs), plane._start + len(plane.cells)), np.complex128)
        if self.planes:
            grown[:, :plane._start] = self._dft_sums
        self._dft_sums = grown
        self.planes.append(plane)
        return plane

    # -- running

    def run(self, steps, stop_db=None, every=100, chunk=500, progress=None):
        """Runs up to `steps` steps from the current state, `chunk` steps per
        kernel call. With `stop_db` (e.g. -40) it ends early once the field
        energy, measured every `every` steps, has fallen that far below its
        peak. `progress(n)` is called after each call with the steps it made.
        Returns the number of steps made."""
        probe_cells = [(p.comp, p.cell[2], p.cell[1], p.cell[0]) for p in self.probes]
        for port in self.ports:
            probe_cells += [(port.axis, k, j, i) for i, j, k in port.cells]
        probe_cells = np.array(probe_cells, dtype=np.int32).reshape(-1, 4)
        recorded = np.zeros((steps, len(probe_cells)))

        source_cells, waves = [], []
        for c, (i, j, k), density in self._sources:
            source_cells.append((c, k, j, i))
            waves.append(self._samples(density, steps))
        for port in self.ports:
            drive = self._samples(port.source, steps)
            for (i, j, k), d in zip(port.cells, port.density):
                source_cells.append((port.axis, k, j, i))
                waves.append(d * drive)
        source_cells = np.array(source_cells, dtype=np.int32).reshape(-1, 4)
        wave = np.ascontiguousarray(np.reshape(waves, (len(waves), steps)).T)

        dft = None
        if self.planes:
            cells = np.concatenate([p.cells for p in self.planes])
            dft = (cells, 2 * math.pi * self.dft_frequencies * self.dt, self._dft_sums)
        stop = (every, float(stop_db)) if stop_db is not None else None
        first, done = self.steps, 0
        while done < steps:
            n = min(chunk, steps - done)
            made = yeestep.step(
                self.plan, self.fields, self.steps, n,
                (source_cells, wave[done:done + n]) if len(source_cells) else None,
                (probe_cells, recorded[done:done + n]) if len(probe_cells) else None,
                dft, stop, yeestep.HALVES_BOTH, self.threads)
            done += made
            self.steps += made
            if progress is not None:
                progress(made)
            if made < n:
                break
        for column, p in enumerate(self.probes):
            p.values = np.concatenate((p.values[:first], recorded[:done, column]))
        column = len(self.probes)
        for port in self.ports:
            port._record(recorded[:done, column:column + len(port.cells)], first)
            column += len(port.cells)
        return done

    def _samples(self, samples, steps):
        """The samples of the next `steps` steps, zero past their end."""
        out = np.zeros(steps)
        part = np.asarray(samples, dtype=np.float64)[self.steps:self.steps + steps]
        out[:len(part)] = part
        return out
