"""The host's pre-processing of the default model at finer cells: time and
peak memory against the number of cells.

Each size runs `python -m fdtdhost --no-simulation` in a child process of its
own, on the default geometry with the cell count of every grid segment times
one factor (cells of a third of the size along each axis at factor 3; the PML
stays 6 cells). The model file's cell cap is lifted in the child, for this
bench only. Per size it prints:

- cells and grid;
- pre: the pre-processing phases of the run (voxelise, material pairs, last,
  dispatch, surfloss), in seconds and in nanoseconds per cell;
- feed s: the feed line's band solve (phase _bandsolve), which grows as
  ny nz^3; run s: the child's whole wall time (interpreter start, numeric
  checks with that band solve, the model pictures);
- pre MB: the peak resident memory over the pre-processing phases (the
  child reads VmHWM after each phase and starts it afresh before the next),
  and per cell beyond the baseline, a child that imports the same modules;
- run MB: the peak of the whole run (the largest phase peak, or ru_maxrss
  from wait4 after the last), which the feed line's band solve sets at large
  sizes, and per cell beyond the baseline (the GL context of the pictures
  included);
- store: the parameter store's resident bytes per cell at the end (its
  mappings below 2 GiB), which the time stepping keeps; asked: the bytes it
  handed out per cell (state blocks not yet written are not resident);
- host: the pre-processing peak less the baseline and the store, per cell:
  what the host holds beyond the kernel's data.

Then the growth per cell between the two largest sizes, and the floor: one
pass reading and writing the 4 bytes per cell of dense host arrays (material,
skin marks, codes) at the bandwidth measured here.

    .venv/bin/python bench/scale.py [CELLS ...]      # default 1e6 4e6 1.6e7 4e7 1e8
"""
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

# The benchmarks beside this script bear the modules' names (arcfind.py, ...):
# the modules come from the installed package, not from this folder.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != HERE]

DEFAULT_CELLS = 720_000                      # 150 x 120 x 40
PRE_PHASES = ("voxelise", "material pairs", "last", "dispatch", "surfloss")
DENSE_BYTES = 4                              # material, skin marks, codes per cell


def scaled_model(factor):
    """The default model with every segment's cells times `factor`."""
    from importlib import resources
    data = json.loads(resources.files("fdtdhost").joinpath("default_model.json").read_text())
    for axis in "xyz":
        for segment in data["grid"][axis]:
            cells = segment["cells"]
            more = max(1, round(cells * factor))
            if "size" in segment:
                segment["size"] *= cells / more
            else:
                segment["from"] /= factor
                segment["to"] /= factor
            segment["cells"] = more
    return data


def child(factor, out):
    """Runs the host on the scaled model in this process (the child), with
    the peak resident memory of every phase."""
    from fdtdhost import __main__ as cli, app, model
    model.MAX_CELLS = sys.maxsize             # the bench's sizes pass the cap
    path = os.path.join(out, "model.json")
    with open(path, "w") as f:
        json.dump(scaled_model(factor), f)
    peaks = {}
    timed = app.Run.phase

    def phase(run, name, work):
        reset_peak()
        result = timed(run, name, work)
        peaks[name] = peak()
        return result

    app.Run.phase = phase
    code = cli.main(["--model", path, "--out", out, "--no-simulation"])
    with open(os.path.join(out, "memory.json"), "w") as f:
        json.dump({"store": low_memory(), "end": status("VmRSS"), "phases": peaks}, f)
    sys.exit(code)


def reset_peak():
    """Starts the peak resident memory afresh from the current one."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak():
    return status("VmHWM")


def status(field):
    """A memory figure of this process, in bytes, from /proc/self/status."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024


def low_memory():
    """Resident bytes of the mappings below 2 GiB: the parameter store."""
    total, low = 0, False
    with open("/proc/self/smaps") as f:
        for line in f:
            head = line.split()[0]
            if "-" in head and not head.endswith(":"):
                low = int(head.split("-")[0], 16) < 1 << 31
            elif head == "Rss:" and low:
                total += int(line.split()[1]) * 1024
    return total



def baseline():
    """The modules imported, nothing computed."""
    import blockdraw, cellcoef, fieldplot, rlearray, stagedraw, surfloss  # noqa: F401
    from fdtdhost import __main__, app  # noqa: F401


def spawn(*args):
    """Runs this script with `args` in a child; returns (seconds, peak bytes)."""
    start = time.perf_counter()
    proc = subprocess.Popen([sys.executable, __file__, *args], stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"scale: child {args} ended with status {proc.returncode}")
    return seconds, usage.ru_maxrss * 1024


def bandwidth():
    """Bytes per second of a large copy (read plus write)."""
    a = np.ones(1 << 25)                      # 256 MiB
    b = np.empty_like(a)
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        np.copyto(b, a)
        best = min(best, time.perf_counter() - start)
    return 2 * a.nbytes / best


def main(sizes):
    with open("/proc/loadavg") as f:
        print(f"load average {f.read().split()[0]}, {os.cpu_count()} cores")
    _, base = spawn("--baseline")
    print(f"baseline: {base / 1e6:.0f} MB (interpreter, NumPy, the modules)")
    print(f"{'cells':>12} {'grid':>16} {'pre s':>6} {'ns/cell':>7} {'feed s':>6} {'run s':>6} "
          f"{'pre MB':>7} {'B/cell':>6} {'run MB':>7} {'B/cell':>6} {'store':>6} {'asked':>6} "
          f"{'host':>5}")
    rows = []
    for cells in sizes:
        factor = (cells / DEFAULT_CELLS) ** (1 / 3)
        with tempfile.TemporaryDirectory() as out:
            seconds, last_peak = spawn("--child", repr(factor), out)
            with open(os.path.join(out, "summary.json")) as f:
                s = json.load(f)
            with open(os.path.join(out, "memory.json")) as f:
                memory = json.load(f)
        n = s["cells"]
        pre = sum(s["phases_s"][p] for p in PRE_PHASES)
        pre_peak = max(memory["phases"][p] for p in PRE_PHASES)
        # the child's peak restarts with every phase: the run's is the largest
        run_peak = max(last_peak, *memory["phases"].values())
        asked = s["store"]["ring_bytes"] + s["store"]["direct_bytes"]
        host = (pre_peak - base - memory["store"]) / n
        rows.append((n, pre, pre_peak, asked))
        print(f"{n:>12,} {' x '.join(map(str, s['grid'])):>16} {pre:6.2f} {pre / n * 1e9:7.1f} "
              f"{s['phases_s'].get('_bandsolve', 0.0):6.2f} {seconds:6.2f} {pre_peak / 1e6:7.0f} {(pre_peak - base) / n:6.2f} "
              f"{run_peak / 1e6:7.0f} {(run_peak - base) / n:6.2f} {memory['store'] / n:6.2f} "
              f"{asked / n:6.2f} {host:5.2f}")
    if len(rows) >= 2:
        (n0, t0, m0, _), (n1, t1, m1, _) = rows[-2], rows[-1]
        print(f"growth between the two largest: {(t1 - t0) / (n1 - n0) * 1e9:.1f} ns and "
              f"{(m1 - m0) / (n1 - n0):.2f} bytes of pre-processing peak per added cell")
    rate = bandwidth()
    floor = 2 * DENSE_BYTES / rate
    n, pre, _, asked = rows[-1]
    print(f"memory bandwidth {rate / 1e9:.1f} GB/s: one pass over the {DENSE_BYTES} B/cell of "
          f"dense host arrays takes {floor * 1e9:.2f} ns/cell, {pre / n / floor:.0f} times less "
          f"than the pre-processing")
    print(f"the store's 2 GiB of low memory ends at about {2 ** 31 / (asked / n) / 1e6:.0f} M "
          f"cells of this geometry ({asked / n:.2f} B/cell asked at the largest size)")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        child(float(sys.argv[2]), sys.argv[3])
    elif sys.argv[1:2] == ["--baseline"]:
        baseline()
    else:
        main([int(float(v)) for v in sys.argv[1:]] or [10 ** 6, 4 * 10 ** 6, 16 * 10 ** 6,
                                                        4 * 10 ** 7, 10 ** 8])
