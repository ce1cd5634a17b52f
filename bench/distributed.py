"""Distributed runs against the single-process run: time per step, cell
updates per second and memory per process, on 1 and 2 processes.

Each model runs `python -m fdtdhost --quiet` (under `mpirun -n N
--oversubscribe` for N > 1) for a fixed number of steps, and the summary
gives the kernel's seconds on process 0 (the border exchanges included), the
steps, the cell updates per second over the whole grid, and each process's
peak resident size and parameter store. The models:
- default: the default patch antenna (720,000 cells);
- default x2: its geometry at twice the cells along each axis (5.8 M cells);
- thick: 10 M cells with a 45-cell PML, whose store (2.59 GB) exceeds one
  process's 2.04 GB: refused on one process, run on two.

    .venv/bin/python bench/distributed.py [STEPS]        # default 200

The machine has 2 cores shared with other work: only ratios within one run
count, and the load average is printed beside them.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

# The benchmarks beside this script bear the modules' names: the modules
# come from the installed package, not from this folder.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != HERE]
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))


def thick():
    """The 1000 x 100 x 100 board of 0.5 mm cells, PML 45, with a port."""
    from test_host_capacity import board
    data = board(1000, 100, 100, 45)
    data["lumped"] = [{"name": "feed", "from": [250.25, 25.25, 23.0], "to": [250.25, 25.25, 25.0],
                       "resistance": 50.0}]
    return data


def default(factor):
    sys.path.insert(0, HERE)
    from scale import scaled_model
    return scaled_model(factor)


def run(data, steps, processes, folder):
    path = os.path.join(folder, "model.json")
    data = dict(data, simulation=dict(data.get("simulation", {}), max_steps=steps))
    with open(path, "w") as f:
        json.dump(data, f)
    out = os.path.join(folder, f"out{processes}")
    command = [sys.executable, "-m", "fdtdhost", "--model", path, "--out", out, "--quiet"]
    if processes > 1:
        command = [shutil.which("mpirun"), "-n", str(processes), "--oversubscribe"] + command
    env = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        said = [line for line in done.stderr.splitlines() if line.startswith("fdtdhost:")]
        return None, (said[0] if said else done.stderr.strip().splitlines()[-1])
    with open(os.path.join(out, "summary.json")) as f:
        return json.load(f), None


def main():
    steps = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    models = [("default", default(1)), ("default x2", default(2)), ("thick", thick())]
    print(f"load average at the start: {os.getloadavg()[0]:.2f}")
    print(f"{'model':>11} {'cells':>11} {'procs':>5} {'steps':>5} {'ms/step':>8} {'MC/s':>6} "
          f"{'speed-up':>8}  peak MB per process / store MB per process")
    for name, data in models:
        base = None
        for processes in (1, 2):
            with tempfile.TemporaryDirectory() as folder:
                s, refused = run(data, steps, processes, folder)
            if s is None:
                print(f"{name:>11} {'':>11} {processes:>5}  refused: {refused[:150]}")
                continue
            sim = s["simulation"]
            per_step = sim["kernel_s"] / max(sim["steps"], 1)
            base = base or per_step
            procs = s.get("processes")
            peaks = procs["ram_peak_bytes"] if procs else [s["capacity"]["ram_peak_bytes"]]
            stores = procs["store_bytes"] if procs else [s["capacity"]["store_bytes_used"]]
            print(f"{name:>11} {s['cells']:>11,} {processes:>5} {sim['steps']:>5} "
                  f"{per_step * 1e3:>8.2f} {sim['cell_updates_per_s'] / 1e6:>6.1f} "
                  f"{base / per_step:>8.2f}  "
                  + " ".join(f"{p / 1e6:.0f}" for p in peaks) + " / "
                  + " ".join(f"{b / 1e6:.0f}" for b in stores))
    print(f"load average at the end: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
