"""The time-domain kernel's speed and memory, beside the machine's memory
bandwidth measured in the same run, and beside openEMS (Debian's openems and
python3-openems, installed through apt-get when missing and run as root), run in
a subprocess of /usr/bin/python3.

Cases, 1 mm air cells built through the host's pre-processing:
- a 128^3 box with PEC walls (the grid's conducting boundary; the host's
  one-cell PML border is taken out of the codes before dispatch), 500 steps;
- a 128^3 box with an 8-cell PML on every face, 500 steps;
- a 256^3 box with PEC walls, 100 steps (memory-bound: the fields alone take
  400 MB).
For each: million cell updates per second (MC/s) on 1 and 2 threads, ours
(with the widest loops this machine runs, and with the baseline's) and openEMS's and their ratio, bytes per cell (fields, store, plan; openEMS's
peak resident size per cell), and the bandwidth floor: the MC/s a sweep
moving its bytes per cell update (fields read and written once, the split
cells' state too) reaches at the bandwidth of a NumPy copy (read plus write
counted) on as many threads.

    .venv/bin/python bench/kernel.py [--quick]
"""
import os
import re
import subprocess
import sys
import threading
import time

import numpy as np

import cellcoef
import yeestep
from fdtdhost import grid as gridmod, model as modelmod, pre, sim as simmod

FIELD_BYTES = 2 * 6 * 4     # six float32 components read and written per step
STATE_BYTES = 2 * 6 * 4     # a split cell's six first sub-fields, read and written


def box(n, pml):
    """(grid, coefficients, tables) of an n^3 air box; pml 0: PEC walls."""
    data = {"grid": {a: [{"cells": n, "size": 1.0}] for a in "xyz"}, "pml": max(pml, 1),
            "materials": [{"name": "air", "eps_r": 1.0, "sigma": 0.0, "colour": [1, 1, 1]}],
            "boxes": []}
    grid = gridmod.Grid(modelmod.validate(data))
    codes = grid.codes()
    if pml == 0:
        codes &= ~(cellcoef.CODE_SPLIT_LOSS | cellcoef.CODE_BOTH_PASSES)
    coefficients = pre.Coefficients(grid, grid.material_pairs(), codes)
    tables = pre.RunTables(grid, codes, coefficients)
    split_cells = int(np.count_nonzero(codes & cellcoef.CODE_SPLIT_LOSS)) if pml else 0
    return grid, coefficients, tables, split_cells


def copy_bandwidth(threads, megabytes=512, repeat=5):
    """Bytes per second of np.copyto over `threads` threads, read plus write."""
    n = megabytes * (1 << 20) // 4
    src = np.ones(n, np.float32)
    dst = np.zeros(n, np.float32)
    parts = np.array_split(np.arange(n), threads)
    bounds = [(p[0], p[-1] + 1) for p in parts]

    def work(lo, hi):
        np.copyto(dst[lo:hi], src[lo:hi])

    best = float("inf")
    for _ in range(repeat):
        pool = [threading.Thread(target=work, args=b) for b in bounds]
        start = time.perf_counter()
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        best = min(best, time.perf_counter() - start)
    return 2 * 4 * n / best


def kernel_rate(grid, coefficients, tables, steps, threads, isa="", repeat=3):
    """MC/s of the kernel with the loops of instruction set `isa` (the widest
    when empty)."""
    os.environ["YEESTEP_ISA"] = isa
    sim = simmod.Simulation(grid, coefficients, tables, threads=threads)
    n = grid.nx
    sim.field("Ez")[n // 2, n // 2, n // 2] = 1.0
    sim.run(2)
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        sim.run(steps, chunk=steps)
        best = min(best, time.perf_counter() - start)
    return grid.ncells * steps / best / 1e6, sim


OPENEMS = r"""
import sys, tempfile
from CSXCAD import ContinuousStructure
from openEMS import openEMS
n, pml, steps = (int(v) for v in sys.argv[1:4])
threads = sys.argv[4]
fdtd = openEMS(NrTS=steps, EndCriteria=0)
fdtd.SetGaussExcite(3e9, 3e9)
bc = "PEC" if pml == 0 else f"PML_{pml}"
fdtd.SetBoundaryCond([bc] * 6)
csx = ContinuousStructure()
fdtd.SetCSX(csx)
mesh = csx.GetGrid()
mesh.SetDeltaUnit(1e-3)
for a in "xyz":
    mesh.SetLines(a, range(n + 1))
exc = csx.AddExcitation("e", exc_type=0, exc_val=[0, 0, 1])
exc.AddBox([n // 2] * 3, [n // 2, n // 2, n // 2 + 1])
with tempfile.TemporaryDirectory() as d:
    fdtd.Run(d, verbose=0, numThreads=int(threads), cleanup=True)
# VmHWM, not ru_maxrss, which keeps the forking parent's size across exec
with open("/proc/self/status") as status:
    print("peak resident KiB", next(l.split()[1] for l in status if l.startswith("VmHWM")))
"""


def ensure_openems(python="/usr/bin/python3"):
    """True once Debian's openEMS imports in `python`; installs it through
    apt-get first when it is missing and this runs as root."""
    def present():
        return os.path.exists(python) and subprocess.run(
            [python, "-c", "import openEMS, CSXCAD"], capture_output=True).returncode == 0
    if present():
        return True
    if os.geteuid() == 0:
        subprocess.run(["apt-get", "install", "-y", "-q", "openems", "python3-openems"],
                       capture_output=True)
    return present()


def openems_rate(n, pml, steps, threads):
    """(MC/s, bytes per cell) of openEMS on the same box: the rate from the time
    its own report gives for the iterations (set-up left out, as here), the
    bytes from the peak resident size of its process (the interpreter's few
    tens of MB included); None without openEMS."""
    python = "/usr/bin/python3"
    try:
        out = subprocess.run([python, "-c", OPENEMS, str(n), str(pml), str(steps), str(threads)],
                             capture_output=True, text=True, timeout=3600)
    except (OSError, subprocess.TimeoutExpired):
        return None
    found = re.search(r"Time for (\d+) iterations with [0-9.eE+]+ cells : ([0-9.eE+-]+) sec",
                      out.stdout + out.stderr)
    resident = re.search(r"peak resident KiB (\d+)", out.stdout)
    if out.returncode != 0 or found is None or resident is None:
        return None
    return n ** 3 * int(found.group(1)) / float(found.group(2)) / 1e6, int(resident.group(1)) * 1024 / n ** 3


def main():
    quick = "--quick" in sys.argv
    cellcoef.settol(1e-6)
    print(f"load average {os.getloadavg()[0]:.2f}; NumPy copy (read + write counted): ", end="")
    bandwidth = {t: copy_bandwidth(t) for t in (1, 2)}
    print(", ".join(f"{t} thread{'s' * (t > 1)} {b / 1e9:.1f} GB/s" for t, b in bandwidth.items()))
    peer_runs = not quick and ensure_openems()
    if not quick and not peer_runs:
        print("openEMS (Debian's openems, python3-openems) not available: its columns stay empty")
    cases = [("128^3 PEC", 128, 0, 500), ("128^3 PML 8", 128, 8, 500), ("256^3 PEC", 256, 0, 100)]
    if quick:
        cases = [(name, n // 2, p, s // 5) for name, n, p, s in cases[:2]]
    print(f"loops {yeestep.ISAS[-1]}; base: the {yeestep.ISAS[0]} baseline's")
    print(f"{'case':<12} {'thr':>3} {'MC/s':>7} {'base':>6} {'floor':>7} {'openEMS':>8} {'ratio':>6}"
          f" {'B/cell':>7} {'fields':>6} {'store':>6} {'plan':>5} {'B/upd':>6} {'oEMS B':>6}")
    for name, n, pml, steps in cases:
        grid, coefficients, tables, split = box(n, pml)
        cells = grid.ncells
        ring, direct = tables.stats[0], tables.stats[1]
        per_update = FIELD_BYTES + STATE_BYTES * split / cells
        for threads in (1, 2):
            base, _ = kernel_rate(grid, coefficients, tables, steps, threads, yeestep.ISAS[0])
            rate, sim = kernel_rate(grid, coefficients, tables, steps, threads)
            peer, peer_bytes = (openems_rate(n, pml, steps, threads) if peer_runs else None) or (None, None)
            floor = bandwidth[threads] / per_update / 1e6
            fields, store, plan = sim.fields.nbytes / cells, (ring + direct) / cells, sim.plan_bytes / cells
            print(f"{name:<12} {threads:>3} {rate:7.0f} {base:6.0f} {floor:7.0f} "
                  f"{'-' if peer is None else f'{peer:.0f}':>8} "
                  f"{'-' if peer is None else f'{rate / peer:.2f}':>6} "
                  f"{fields + store + plan:7.1f} {fields:6.1f} {store:6.1f} {plan:5.1f} {per_update:6.1f} "
                  f"{'-' if peer_bytes is None else f'{peer_bytes:.0f}':>6}")
            del sim


if __name__ == "__main__":
    main()
