"""Distributed runs: the grid split into slabs of z planes, one per MPI process.

Every process voxelises the whole model (the material indices, one byte per
cell), then builds the coefficients, run tables and skin records of its own
slab only, with its own parameter store, and steps its slab with the kernel.
Between the two halves of every step the slabs exchange their border planes:
a slab's top H plane fills the halo below the slab above it, a slab's bottom
E plane the halo above the slab below it. Probes, port signals, DFT sums and
the sampled field plane are gathered on every process, so each one holds the
results of the whole grid; process 0 writes them.

With the store folding only equal vectors (`store.tolerance` 0), each cell's
coefficients are those of the single-process run, and so are the fields, the
port signals and everything derived from them, bit for bit (see README,
"Several processes").
"""
import bisect
import os

import numpy as np
import yeestep

from . import app, capacity, sim

WORLD_SIZE_VARIABLES = ("OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_SIZE")


def world_size():
    """Processes of the MPI world this process was started in (1 without
    mpirun), read from the launcher's environment so that a single-process
    run never loads MPI."""
    for name in WORLD_SIZE_VARIABLES:
        if os.environ.get(name, "").isdigit():
            return int(os.environ[name])
    return 1


def world():
    from mpi4py import MPI
    return MPI.COMM_WORLD


def slab_bounds(nz, processes, skin_planes=()):
    """The first plane of each slab and the end, [z0, z1, ..., nz]: slabs of
    nearly equal planes, each border moved off a plane k where planes k - 1
    and k both hold skin marks (their records may pair across planes).
    Raises CapacityError when there are more processes than planes."""
    if processes > nz:
        raise capacity.CapacityError(f"{processes} processes for {nz} z planes; "
                                     f"a distributed run takes at most one process per plane")
    marked = set(skin_planes)
    bounds = [0]
    for r, k in enumerate(capacity.slab_starts(nz, processes)[1:-1], 1):
        # the nearest plane to k that leaves every later slab a plane
        bounds.append(next((c for d in range(nz) for c in (k - d, k + d)
                            if bounds[-1] < c <= nz - (processes - r)
                            and not (c in marked and c - 1 in marked)), k))
    bounds.append(nz)
    return bounds


class SlabSimulation(sim.Simulation):
    """`sim.Simulation` over the whole grid's cell indices, stepping this
    process's slab of it. Probes, ports, sources and DFT planes are given
    and read as on the whole grid; each process drives and records the cells
    of its slab and the recordings are gathered after every run, so every
    process ends a run with the same probes, port signals and DFT sums.
    Every method is collective: all processes call it alike."""

    def __init__(self, comm, grid, bounds, coefficients, tables, skin, threads=0):
        from mpi4py import MPI
        self._wait_all = MPI.Request.Waitall
        self.comm = comm
        self.rank, self.size = comm.Get_rank(), comm.Get_size()
        self.bounds = bounds
        self.z0, self.z1 = bounds[self.rank], bounds[self.rank + 1]
        boundary = sim.ALL_LOW_FACES_PEC if self.z0 == 0 else sim.ALL_LOW_FACES_PEC & ~yeestep.LOW_PEC_Z
        self.local = sim.Simulation(grid.slab(self.z0, self.z1), coefficients, tables, skin,
                                    threads=threads, boundary=boundary)
        self.grid = grid
        self.dt = grid.dt
        self.spacings = sim.spacings(grid)
        self.threads = threads
        self.steps = 0
        self.probes, self.ports, self.planes, self._sources = [], [], [], []
        self.dft_frequencies = np.zeros(0)
        self._dft_sums = np.zeros((0, 0), np.complex128)
        self._peak = 0.0
        plane = self.local.fields.shape[2:]
        self._send = np.zeros((3,) + plane, np.float32)
        self._receive = np.zeros((3,) + plane, np.float32)

    # -- the slab's cells among the whole grid's

    def _mine(self, rows):
        """Which of the (component, k, j, i) rows lie in this slab, and the
        rows with k counted from the slab's first plane."""
        inside = np.flatnonzero((rows[:, 1] >= self.z0) & (rows[:, 1] < self.z1))
        local = rows[inside].copy()
        local[:, 1] -= self.z0
        return inside, local

    def _owner(self, k):
        return bisect.bisect_right(self.bounds, k) - 1

    def _gather_columns(self, inside, part, out):
        """Puts every process's columns `part` (at its `inside`) into `out`."""
        for columns, values in self.comm.allgather((inside, part)):
            out[..., columns] = values

    # -- fields and state

    def field(self, comp):
        """The component on the whole grid [nz][ny][nx], gathered (a copy)."""
        return np.concatenate(self.comm.allgather(np.array(self.local.field(comp))))

    def z_plane(self, comp, k):
        plane = np.empty((self.grid.ny, self.grid.nx), np.float32)
        owner = self._owner(k)
        if owner == self.rank:
            plane[...] = self.local.z_plane(comp, k - self.z0)
        self.comm.Bcast(plane, root=owner)
        return plane

    def _energy_sum(self):
        """The kernel's energy measure over the whole grid: the slabs' sums
        added in slab order."""
        total = 0.0
        for part in self.comm.allgather(yeestep.energy(self.local.plan, self.local.fields,
                                                       self.threads)):
            total += part
        return total

    def energy(self):
        return self._energy_sum() * self.dt

    def reset(self):
        self.local.reset()
        self._peak = 0.0
        self._forget()

    def coefficients(self, comp, cells):
        rows = np.array([(sim.component(comp), k, j, i) for i, j, k in cells],
                        dtype=np.int32).reshape(-1, 4)
        inside, local = self._mine(rows)
        part = yeestep.coefficients(self.local.plan, local) if len(local) else np.zeros((0, 3))
        out = np.zeros((len(rows), 3))
        for columns, values in self.comm.allgather((inside, part)):
            out[columns] = values
        return out

    # -- running

    def run(self, steps, stop_db=None, every=100, chunk=500, progress=None):
        """As `sim.Simulation.run`, one step at a time: the H half, the H
        border planes, the E half, the E border planes. The stop rule
        measures the energy of the whole grid every `every` steps."""
        probe_cells, recorded, source_cells, wave, dft = self._tables(steps)
        probes_in, probe_local = self._mine(probe_cells)
        sources_in, source_local = self._mine(source_cells)
        wave = np.ascontiguousarray(wave[:, sources_in])
        mine = np.zeros((steps, len(probes_in)))
        local_dft = None
        if dft is not None:
            dft_in, dft_local = self._mine(dft[0])
            local_dft = (dft_local, dft[1], np.ascontiguousarray(dft[2][:, dft_in]))
        level = 10.0 ** (stop_db / 10.0) if stop_db is not None else None
        first, done = self.steps, 0
        plan, fields = self.local.plan, self.local.fields
        while done < steps:
            n = min(chunk, steps - done)
            made = 0
            while made < n:
                r = done + made
                src = (source_local, wave[r:r + 1]) if len(source_local) else None
                rec = (probe_local, mine[r:r + 1]) if len(probe_local) else None
                for halves in (yeestep.HALVES_H, yeestep.HALVES_E):
                    yeestep.step(plan, fields, self.steps, 1, src, rec, local_dft, None,
                                 halves, self.threads)
                    self._exchange(halves)
                made += 1
                self.steps += 1
                if level is not None and self.steps % every == 0:
                    w = self._energy_sum()
                    self._peak = max(self._peak, w)
                    if self._peak > 0.0 and w <= self._peak * level:
                        break
            done += made
            if progress is not None:
                progress(made)
            if made < n:
                break
        self._gather_columns(probes_in, mine[:done], recorded[:done])
        if dft is not None:
            self._gather_columns(dft_in, local_dft[2], self._dft_sums)
        self._keep(recorded, done, first)
        return done

    def _exchange(self, halves):
        """After the H half (1) the top H plane goes up, after the E half (2)
        the bottom E plane goes down, into the neighbour's halo plane."""
        fields, nz = self.local.fields, self.z1 - self.z0
        if halves == yeestep.HALVES_H:
            comps, send, receive = slice(3, 6), nz, 0
            to, source = self.rank + 1, self.rank - 1
        else:
            comps, send, receive = slice(0, 3), 1, nz + 1
            to, source = self.rank - 1, self.rank + 1
        requests = []
        if 0 <= source < self.size:
            requests.append(self.comm.Irecv(self._receive, source=source, tag=halves))
        if 0 <= to < self.size:
            self._send[...] = fields[comps, send]
            requests.append(self.comm.Isend(self._send, dest=to, tag=halves))
        self._wait_all(requests)
        if 0 <= source < self.size:
            fields[comps, receive] = self._receive


class Refused(Exception):
    """The run was refused on another process, which says why."""


class NoOutput:
    """The output folder of a process that writes nothing (all but process 0)."""
    committed = False

    def manifest(self, names):
        return []

    def write_json(self, name, data):
        pass

    def commit(self, names, failed=False):
        pass

    def discard(self):
        pass


class SlabRun(app.Run):
    """`app.Run` on one process of a distributed run: the cellcoef data and the
    time stepping of its slab; process 0 alone draws and writes."""

    def __init__(self, model, out_dir, comm=None, **options):
        self.comm = comm or world()
        self.rank = self.comm.Get_rank()
        if self.rank != 0:
            options = dict(options, pictures=False, warn=lambda line: None)
        super().__init__(model, out_dir, **options)
        self.bounds = None

    def check_capacity(self):
        """Every process's slab against its own limits (the RAM shared by the
        processes of its machine); process 0 raises the first refusal, the
        others `Refused`."""
        local = int(os.environ.get("OMPI_COMM_WORLD_LOCAL_SIZE", "1"))
        ram = capacity.ram_limit() // max(local, 1)
        try:
            found, refusal = capacity.check(self.model, ram_bytes=ram, simulate=self.simulate,
                                            processes=self.comm.Get_size(),
                                            rank=self.rank), None
        except capacity.CapacityError as err:
            found, refusal = None, str(err)
        refusals = [r for r in self.comm.allgather(refusal) if r]
        if refusals:
            if self.rank == 0:
                raise capacity.CapacityError(refusals[0])
            raise Refused()
        return found

    def run(self):
        if self.rank == 0:
            return super().run()
        self.digest = app.model_digest(self.model)
        self.estimate = self.check_capacity()
        self.output = NoOutput()
        self._phases()
        self.summary = self.make_summary()
        return self

    def cellcoef_grid(self, grid):
        skin_z0, skin_mask = grid.skin_data()[:2]
        marked = [skin_z0 + k for k in range(len(skin_mask)) if skin_mask[k].any()]
        self.bounds = slab_bounds(grid.nz, self.comm.Get_size(), marked)
        return grid.slab(self.bounds[self.rank], self.bounds[self.rank + 1])

    def new_port_run(self):
        slabs = SlabSimulation(self.comm, self.grid, self.bounds, self.coefficients,
                               self.tables, self.skin)
        return sim.PortRun(self.grid, None, None, None, self.feed, simulation=slabs)

    def write(self, name, writer):
        if self.rank == 0:
            super().write(name, writer)

    def make_summary(self):
        s = super().make_summary()
        s["processes"] = {"count": self.comm.Get_size(),
                          "slabs_z": [[a, b] for a, b in zip(self.bounds, self.bounds[1:])],
                          "store_bytes": self.comm.allgather(
                              s["store"]["ring_bytes"] + s["store"]["direct_bytes"]),
                          "ram_peak_bytes": self.comm.allgather(s["capacity"]["ram_peak_bytes"])}
        return s


def run_class():
    """The host's run for this process: `SlabRun` under mpirun with more than
    one process, else `app.Run`."""
    return SlabRun if world_size() > 1 else app.Run
