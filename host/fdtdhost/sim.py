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
import time

import numpy as np
import yeestep

from . import rf, signals
from .field import patch_sheet, substrate_plane
from .grid import METAL_SIGMA

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
    halo, zero unless filled). On a slab of a grid (`Grid.slab`) the plan
    covers the slab's planes, indexed from its first."""

    def __init__(self, grid, coefficients, tables, skin=None, threads=0,
                 boundary=ALL_LOW_FACES_PEC):
        self.grid = grid
        self.dt = grid.dt
        self.spacings = spacings(grid)
        z = slice(*grid.span)
        self.spacings[4:] = [s[z] for s in self.spacings[4:]]
        skin_records = (skin.handle, skin.count, skin.z0) if skin is not None else None
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

    def z_plane(self, comp, k):
        """View [ny][nx] of a component on the z plane k."""
        return self.field(comp)[k]

    def energy(self):
        """Field energy in joules outside the PML: E at the last step's end
        with H half a step earlier."""
        return yeestep.energy(self.plan, self.fields, self.threads) * self.dt

    def reset(self):
        """Zero fields, kernel state, recordings and DFT sums; the next run
        starts at step 0."""
        self.fields[...] = 0.0
        yeestep.reset(self.plan)
        self._forget()

    def _forget(self):
        """Step 0 again: no recordings, DFT sums zero."""
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
        probe_cells, recorded, source_cells, wave, dft = self._tables(steps)
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
        self._keep(recorded, done, first)
        return done

    def _tables(self, steps):
        """What the next `steps` steps drive and record, as the kernel takes it:
        probe cells (component, k, j, i) and their recording [steps][cells],
        source cells and their samples [steps][cells], and the DFT's cells,
        phase steps and sums (None without planes)."""
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
        return probe_cells, recorded, source_cells, wave, dft

    def _keep(self, recorded, done, first):
        """Hands the first `done` rows of a run's recording, which started at
        step `first`, to the probes and ports."""
        for column, p in enumerate(self.probes):
            p.values = np.concatenate((p.values[:first], recorded[:done, column]))
        column = len(self.probes)
        for port in self.ports:
            port._record(recorded[:done, column:column + len(port.cells)], first)
            column += len(port.cells)

    def _samples(self, samples, steps):
        """The samples of the next `steps` steps, zero past their end."""
        out = np.zeros(steps)
        part = np.asarray(samples, dtype=np.float64)[self.steps:self.steps + steps]
        out[:len(part)] = part
        return out


# -- the host's time-domain run of a model: the port, its S11, the resonance,
#    the feed line's V/I and the field plane

SAMPLES_PER_PERIOD = 4      # samples of the field plane per period at the band's top
PULSE_END = 8.0             # the pulse has died away 8 tau after its start (at 4 tau)
BLOCK_STEPS = 10_000        # steps per call of Simulation.run


class PlaneRecord:
    """The E field on a z node plane of the inner grid, taken every `stride`
    steps, so that its DFT at any frequency of the band can be taken after
    the run, when the resonance is known.

    At `SAMPLES_PER_PERIOD` samples per period of the band's top the
    transform equals the kernel's on-the-fly DFT of every step to 2e-7 of
    its largest value on a run that has rung down, and to 4e-4 on one the
    stop rule cut short (the field's last 1 % then adds aliases). E is
    averaged onto the plane's nodes: Ez over the two cells the node plane
    separates, Ex and Ey over their two edges that meet at the node.
    """

    def __init__(self, sim, plane, window, stride):
        self.sim, self.plane, self.window, self.stride = sim, plane, window, stride
        self.samples, self.times = [], []

    def take(self):
        sim = self.sim
        u0, u1, v0, v1 = self.window
        k = self.plane
        ex, ey, ez = (sim.z_plane(c, k) for c in ("Ex", "Ey", "Ez"))
        ez_below = sim.z_plane("Ez", k - 1)
        nodes = np.s_[v0:v1 + 1, u0:u1 + 1]
        below = np.s_[v0:v1 + 1, u0 - 1:u1]
        beside = np.s_[v0 - 1:v1, u0:u1 + 1]
        sample = np.stack([0.5 * (ex[nodes] + ex[below]),
                           0.5 * (ey[nodes] + ey[beside]),
                           0.5 * (ez_below[nodes] + ez[nodes])])
        self.samples.append(sample.astype(np.float32))
        self.times.append(sim.steps * sim.dt)          # E after step n is E((n + 1) dt)

    @property
    def nbytes(self):
        return sum(s.nbytes for s in self.samples)

    def phasor(self, freq, dt):
        """The field's Fourier transform at `freq`, [3][v][u]: the trapezoid rule
        over the samples (the field is 0 at t = 0) and half a step `dt` after
        the last, which is what the sum over every step, E((n + 1) dt) dt,
        comes to between samples of a smooth field, a run cut short included."""
        t = np.array(self.times)
        gaps = np.diff(np.concatenate(([0.0], t, [t[-1] + dt]))) if len(t) else np.zeros(1)
        weights = 0.5 * (gaps[:-1] + gaps[1:])
        total = np.zeros(self.samples[0].shape, np.complex128) if self.samples else None
        for sample, w in zip(self.samples, np.exp(-2j * np.pi * freq * t) * weights):
            total += w * sample
        return total


class LineProbes:
    """Voltage and current of the feed line at two planes along x.

    At the plane x = i + 1/2 of cell column i: V = -sum(Ez dz) from the
    ground to the strip, the mean of columns i and i + 1 at the strip's
    middle; I = the loop of H around the strip (Hy and Hz of column i, on the
    dual cells around the strip's Ex edges), the current along +x.
    """

    def __init__(self, sim, section, columns):
        self.section, self.columns = section, columns
        (k0, k1), (j0, j1), strip = section["substrate"], section["across"], section["strip"]
        mid = (j0 + j1) // 2
        ka, kb, ja, jb = k0 + 1, strip + 2, j0 - 1, j1 + 1
        dz, ddz, ddy = sim.spacings[4], sim.spacings[5], sim.spacings[3]
        self.planes = []
        for i in columns:
            volts = [(sim.add_probe("Ez", (i + d, mid, k)), -0.5 * dz[k])
                     for d in (0, 1) for k in range(k0, k1)]
            amps = [(sim.add_probe("Hz", (i, jb, k)), ddz[k]) for k in range(ka, kb + 1)]
            amps += [(sim.add_probe("Hz", (i, ja - 1, k)), -ddz[k]) for k in range(ka, kb + 1)]
            amps += [(sim.add_probe("Hy", (i, j, kb)), -ddy[j]) for j in range(ja, jb + 1)]
            amps += [(sim.add_probe("Hy", (i, j, ka - 1)), ddy[j]) for j in range(ja, jb + 1)]
            self.planes.append((volts, amps))

    def spectra(self, dt, freqs):
        """(V, I) spectra at each plane; E samples at (n + 1) dt, H at (n + 1/2) dt."""
        out = []
        for volts, amps in self.planes:
            v = sum(p.values * w for p, w in volts)
            i = sum(p.values * w for p, w in amps)
            out.append((signals.spectrum(v, dt, freqs, offset=1.0),
                        signals.spectrum(i, dt, freqs, offset=0.5)))
        return out


def line_section(grid, element):
    """The feed line's uniform part, as cell indices: `substrate` (k0, k1) the
    cells the element spans, `strip` the strip's layer above them, `across`
    (j0, j1) its cells across y, `along` (i0, i1) the columns along x from
    the element where the strip keeps that cross-section. None without one,
    or without room in the grid for the current loop around the strip."""
    k, j, i = element.region
    strip = k.stop
    if element.axis != 2 or strip + 2 >= grid.nz:
        return None
    metal = grid.sigma[strip] >= METAL_SIGMA              # [y][x]
    row = metal[:, i.start]
    if not row[j.start]:
        return None
    j0 = j1 = j.start
    while j0 > 0 and row[j0 - 1]:
        j0 -= 1
    while j1 < grid.ny and row[j1]:
        j1 += 1
    if j0 < 2 or j1 + 1 >= grid.ny:
        return None
    i0 = i1 = i.start
    while i1 < grid.nx and np.array_equal(metal[:, i1], row):
        i1 += 1
    while i0 > 0 and np.array_equal(metal[:, i0 - 1], row):
        i0 -= 1
    return {"substrate": (k.start, k.stop), "strip": strip, "across": (j0, j1),
            "along": (i0, i1), "feed": i.start}


LINE_MARGIN = 6             # cells between a plane and the line's ends or the feed


def line_columns(section):
    """Two plane columns a quarter of the uniform line inside its ends (at
    least LINE_MARGIN cells from the feed and the end), or None when the
    line is too short for two planes."""
    start = max(section["along"][0], section["feed"]) + LINE_MARGIN
    stop = section["along"][1] - LINE_MARGIN - 1
    if stop - start < 4:
        return None
    quarter = (stop - start) // 4
    return start + quarter, stop - quarter


MIN_STEPS_PER_PERIOD = 20   # time steps per period at the top of the band


class PortError(Exception):
    """The model's port cannot be driven; the message says why."""


def unresolved(model):
    """Why the time step cannot resolve the band or a DFT frequency (20 steps
    per period), or None."""
    top = 1.0 / (MIN_STEPS_PER_PERIOD * model.time_step)
    s = model.simulation
    high = max((s.band[1],) + tuple(s.dft))
    if high > top:
        return (f"{high:.4g} Hz needs a time step of at most {1 / (MIN_STEPS_PER_PERIOD * high):.3g}"
                f" s ({MIN_STEPS_PER_PERIOD} per period); the grid's is {model.time_step:.3g} s")
    return None


class PortRun:
    """The host's time-domain run of a checked model on its pre-processed grid.

    The port (a lumped element of the model) is driven by a 1 V Gaussian-
    modulated pulse whose spectrum falls to 1/e at the band's edges; the run
    ends when the field energy has fallen `stop_db` below its peak or at the
    step limit. Set up with the grid's pieces, then `run`, then read the
    results: `freqs`, `impedance`, `s11`, `resonance` (harmonic inversion of
    the ring-down), `line` (Z0 and eps_eff from two planes on the feed line),
    `plane_phasor(f)` (the field plane per volt of source).
    """

    def __init__(self, grid, coefficients, tables, skin, feed=None, threads=0, simulation=None):
        model = grid.model
        self.settings = s = model.simulation
        self.grid = grid
        # `simulation` stands in for the single-process one (a distributed run's)
        self.sim = sim = simulation or Simulation(grid, coefficients, tables, skin,
                                                  threads=threads)
        self.element = model.lumped[model.port]
        lo, hi = s.band
        # the pulse's samples up to where it has died away; zero after them
        self.tau = 1.0 / (math.pi * 0.5 * (hi - lo))
        length = min(s.max_steps, int(PULSE_END * self.tau / grid.dt) + 2)
        self.pulse = gaussian_pulse(grid.dt, length, 0.5 * (lo + hi), 0.5 * (hi - lo))
        try:
            self.port = sim.add_port(self.element, self.pulse)
        except ValueError as err:
            raise PortError(f"{err}: a conductor holds its cells") from None
        self.freqs = np.linspace(lo, hi, s.points)
        self.probes = [sim.add_probe(c, cell) for c, cell in model.probes]
        self.ring = self._ring_probe()
        self.line = self.line_reason = None
        self._line_probes = self._add_line_probes(feed)
        plane, window = self._plane()
        self.stride = max(1, int(1.0 / (SAMPLES_PER_PERIOD * hi * grid.dt)))
        self.record = PlaneRecord(sim, plane, window, self.stride)
        self.dft_planes = []
        if s.dft:
            ks = range(grid.nz) if s.volume else [plane]
            self.dft_planes = [sim.add_dft_plane(["Ex", "Ey", "Ez"], 2, k, s.dft) for k in ks]
        self.steps = 0
        self.stop_reason = None
        self.seconds = 0.0

    def _ring_probe(self):
        """Ez halfway through the substrate under the patch's far radiating
        edge, where its fundamental mode is strongest; None without a patch."""
        patch = patch_sheet(self.grid.model)
        if patch is None:
            return None
        g = self.grid
        k = self.element.region[0]
        i = g.layer(0, patch.hi[0]) - 1
        j = g.layer(1, 0.5 * (patch.lo[1] + patch.hi[1]))
        return self.sim.add_probe("Ez", (i, j, (k.start + k.stop) // 2))

    def _add_line_probes(self, feed):
        if feed is None or feed.reason is not None:
            self.line_reason = feed.reason if feed is not None else "no feed line"
            return None
        if feed.kind != "microstrip":
            self.line_reason = f"the feed line is a {feed.kind}"
            return None
        section = line_section(self.grid, self.element)
        columns = line_columns(section) if section else None
        if columns is None:
            self.line_reason = "the feed line is too short for two planes"
            return None
        return LineProbes(self.sim, section, columns)

    def _plane(self):
        """The node plane of the field and its window (the inner grid)."""
        g = self.grid
        at = self.settings.plane
        plane = substrate_plane(g) if at is None else int(np.argmin(np.abs(g.nodes[2] - at)))
        plane = min(max(plane, 1), g.nz - 1)
        p = max(g.model.pml, 1)
        return plane, (p, g.nx - p, p, g.ny - p)

    def run(self, progress=None):
        """Steps until the stop rule or the step limit; `progress(n)` after
        every call of the kernel with the steps it made."""
        s = self.settings

        def sampled(made):
            self.record.take()
            if progress is not None:
                progress(made)

        # blocks of steps keep the recordings' memory to what the run makes
        block = self.stride * max(1, BLOCK_STEPS // self.stride)
        start = time.perf_counter()
        while self.steps < s.max_steps:
            want = min(block, s.max_steps - self.steps)
            made = self.sim.run(want, stop_db=s.stop_db, every=s.check_every,
                                chunk=self.stride, progress=sampled)
            self.steps += made
            if made < want:
                break
        self.seconds = time.perf_counter() - start
        self.stop_reason = "energy" if self.steps < s.max_steps else "step limit"
        self._analyse()
        return self

    def _analyse(self):
        dt, port = self.grid.dt, self.port
        self.impedance = signals.spectrum(port.voltage, dt, self.freqs) / \
            signals.spectrum(port.current, dt, self.freqs)
        self.s11 = rf.reflection(self.impedance, port.resistance)
        self.resonance = self._resonance()
        if self._line_probes is not None:
            lp = self._line_probes
            freqs = np.array([self.grid.model.frequency])
            (v1, i1), (v2, i2) = lp.spectra(dt, freqs)
            c1, c2 = lp.columns
            length = float(self.grid.nodes[0][c2] - self.grid.nodes[0][c1]) * 1e-3
            z0, eps_eff = rf.two_plane(v1, i1, v2, i2, length, freqs)
            self.line = {"frequency_Hz": float(freqs[0]), "impedance_ohm": float(z0[0].real),
                         "eps_eff": float(eps_eff[0]),
                         "planes_mm": [float(self.grid.nodes[0][c] + 0.5 * self.grid.sizes[0][c])
                                       for c in lp.columns]}

    def _resonance(self):
        """The strongest decaying mode in the band of the ring-down after the
        pulse (the patch probe, else the port voltage), by harmonic inversion."""
        lo, hi = self.settings.band
        start = int(PULSE_END * self.tau / self.grid.dt) + 1
        signal = self.ring.values if self.ring is not None else self.port.voltage
        if len(signal) - start < 64:
            return None
        modes = [m for m in signals.matrix_pencil(signal[start:], self.grid.dt, fmax=hi)
                 if lo <= m.frequency <= hi and m.decay > 0]
        if not modes:
            return None
        return signals.strongest(modes, 1)[0]

    def source_at(self, freq):
        """The source voltage's spectrum at `freq` (V s)."""
        return signals.spectrum(self.pulse, self.grid.dt, [freq])[0]

    def plane_phasor(self, freq):
        """The plane's E per volt of source at `freq`: [3][v][u] complex, V/m per V."""
        return self.record.phasor(freq, self.grid.dt) / self.source_at(freq)

    @property
    def cell_updates_per_second(self):
        return self.grid.ncells * self.steps / self.seconds if self.seconds else 0.0

    # -- figures for the summary, beside their closed forms

    def references(self):
        """The closed forms the run's figures are held against: the feed line
        by Hammerstad and Jensen for its width, height, eps_r and the strip's
        cell thickness; the patch's TM010 by the cavity model with
        Hammerstad's fringing extension."""
        g, out = self.grid, {}
        lp = self._line_probes
        if lp is not None:
            sec = lp.section
            (k0, k1), (j0, j1) = sec["substrate"], sec["across"]
            width = float(g.sizes[1][j0:j1].sum())
            height = float(g.sizes[2][k0:k1].sum())
            thickness = float(g.sizes[2][sec["strip"]])
            eps_r = float(g.eps_r[k0, (j0 + j1) // 2, lp.columns[0]])
            z0, eps_eff = rf.microstrip(width, height, eps_r, thickness)
            z0_flat, eps_flat = rf.microstrip(width, height, eps_r)
            out["feed_line"] = {"width_mm": width, "height_mm": height, "eps_r": eps_r,
                                "thickness_mm": thickness, "impedance_ohm": z0, "eps_eff": eps_eff,
                                "impedance_zero_thickness_ohm": z0_flat,
                                "eps_eff_zero_thickness": eps_flat}
        patch = patch_sheet(g.model)
        ground = min((sh for sh in g.model.sheets if sh.normal == 2), key=lambda sh: sh.at,
                     default=None)
        if patch is not None and ground is not patch:
            # the substrate: from the ground's layer to the patch's, as the plane's rule
            bottom, top = g.layer(2, ground.at) + 1, g.layer(2, patch.at)
            i = g.layer(0, 0.5 * (patch.lo[0] + patch.hi[0]))
            j = g.layer(1, 0.5 * (patch.lo[1] + patch.hi[1]))
            length, width = patch.hi[0] - patch.lo[0], patch.hi[1] - patch.lo[1]
            height = float(g.nodes[2][top] - g.nodes[2][bottom])
            if height > 0:
                eps_r = float(g.eps_r[(bottom + top) // 2, j, i])
                out["patch"] = {"length_mm": length, "width_mm": width, "height_mm": height,
                                "eps_r": eps_r, "frequency_Hz": rf.patch_resonance(
                                    length * 1e-3, width * 1e-3, height * 1e-3, eps_r)}
        return out

    def summary(self):
        s = self.settings
        db = rf.db(self.s11)
        best = int(np.argmin(db))
        out = {"ran": True, "port": self.element.name,
               "reference_impedance_ohm": self.port.resistance,
               "band_Hz": list(s.band), "pulse": "Gaussian-modulated sine, 1 V, spectrum 1/e "
                                                  "at the band's edges",
               "steps": self.steps, "stop": self.stop_reason, "stop_db": s.stop_db,
               "max_steps": s.max_steps, "kernel_s": round(self.seconds, 3),
               "cell_updates_per_s": round(self.cell_updates_per_second),
               "s11_minimum": {"frequency_Hz": float(self.freqs[best]), "db": float(db[best]),
                               "method": "minimum of |S11| over the band (the match)"},
               "plane": {"z_mm": float(self.grid.nodes[2][self.record.plane]),
                         "samples": len(self.record.samples), "every_steps": self.stride,
                         "bytes": self.record.nbytes}}
        m = self.resonance
        out["resonance"] = None if m is None else {
            "frequency_Hz": m.frequency, "q": m.q,
            "s11_db": float(rf.db(np.interp(m.frequency, self.freqs, self.s11.real)
                                  + 1j * np.interp(m.frequency, self.freqs, self.s11.imag))),
            "method": "harmonic inversion (matrix pencil) of the ring-down of "
                      + ("Ez under the patch's far edge" if self.ring is not None
                         else "the port voltage")}
        out["feed_line"] = self.line if self.line is not None else {"reason": self.line_reason}
        out["closed_form"] = self.references()
        return out

    def picture_frequency(self):
        """The resonance found, else the S11 minimum: the field pictures' frequency."""
        if self.resonance is not None:
            return self.resonance.frequency, "resonance"
        return float(self.freqs[int(np.argmin(np.abs(self.s11)))]), "S11 minimum"
