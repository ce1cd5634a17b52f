"""The capacity estimate against what a run takes, on a set of models.

For each model, in a process of its own (the parameter store is never given
back): the store bytes that `fdtdhost.capacity` predicts against those that
`dispatch` requested (`stats`: vectors plus state blocks), and the predicted
RAM against the run's peak resident size. Models: the default patch and the
test suite's small patch on finer grids, graded axes, thick PMLs, and a
board that reaches through the PML.

    .venv/bin/python bench/capacity.py [NAME ...]
"""
import json
import resource
import subprocess
import sys
import tempfile
from importlib import resources

GB = 1e9


def default(scale=1.0, pml=None):
    """The default patch on a grid `scale` times finer along each axis."""
    d = json.loads(resources.files("fdtdhost").joinpath("default_model.json").read_text())
    for axis in "xyz":
        for seg in d["grid"][axis]:
            seg["cells"] = int(round(seg["cells"] * scale))
            for key in ("size", "from", "to"):
                if key in seg:
                    seg[key] /= scale
    if pml is not None:
        d["pml"] = pml
    return d


def block(nx, ny, nz, pml, graded=(), to_edge=False):
    """A lossy slab in air; `graded` names axes whose cells grow from 0.5 to 2 mm."""
    grid = {}
    for axis, n in zip("xyz", (nx, ny, nz)):
        grid[axis] = ([{"cells": n // 2, "from": 2.0, "to": 0.5},
                       {"cells": n - n // 2, "from": 0.5, "to": 2.0}]
                      if axis in graded else [{"cells": n, "size": 0.5}])
    lo = [0.0, 0.0] if to_edge else [(pml + 1) * 0.5] * 2
    return {"grid": grid, "pml": pml,
            "materials": [{"name": "air", "eps_r": 1, "sigma": 0, "colour": [1, 1, 1]},
                          {"name": "fr4", "eps_r": 4.4, "sigma": 0.01, "colour": [0, 1, 0]}],
            "boxes": [{"material": "fr4", "from": lo + [(pml + 2) * 0.5],
                       "to": [nx * 0.5 - lo[0], ny * 0.5 - lo[1], (pml + 5) * 0.5]}]}


def tiny(extra_z=0):
    sys.path.insert(0, "tests")
    from test_host import TINY
    d = json.loads(json.dumps(TINY))
    d["grid"]["z"][2]["cells"] += extra_z
    return d


MODELS = {
    "default": lambda: default(),
    "default x2": lambda: default(2.0),
    "default x3": lambda: default(3.0),
    "default x3, pml 20": lambda: default(3.0, pml=20),
    "tiny": lambda: tiny(),
    "tiny + 2000 graded z": lambda: tiny(2000),
    "block 100^2x60, pml 16": lambda: block(100, 100, 60, 16),
    "block 100^2x60, pml 16, to the edge": lambda: block(100, 100, 60, 16, to_edge=True),
    "block 200x100x60, pml 16": lambda: block(200, 100, 60, 16),
    "block 120^3 graded y z, pml 8": lambda: block(120, 120, 120, 8, graded="yz"),
    "block 300x200x200 graded z, pml 8": lambda: block(300, 200, 200, 8, graded="z"),
    "block 1000x100x100, pml 30": lambda: block(1000, 100, 100, 30),
}

CHILD = r"""
import json, resource, sys
from fdtdhost import app, capacity, model
m = model.validate(json.loads(sys.stdin.read()))
est = capacity.estimate(m)
run = app.Run(m, sys.argv[1]).run()
ring, direct = run.tables.stats[:2]
print(json.dumps({"cells": run.grid.ncells, "store": est.store, "used": ring + direct,
                  "ram": est.ram, "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
                  "seconds": sum(run.phases.values())}))
"""


def main(names):
    print(f"{'model':<38} {'cells':>11}  {'store est':>9} {'used':>9} {'ratio':>5}"
          f"  {'RAM est':>8} {'peak':>8} {'ratio':>5}  {'time':>6}")
    for name in names or MODELS:
        with tempfile.TemporaryDirectory() as out:
            done = subprocess.run([sys.executable, "-c", CHILD, out], capture_output=True,
                                  text=True, input=json.dumps(MODELS[name]()))
        if done.returncode:
            print(f"{name:<38} failed: {done.stderr.strip().splitlines()[-1]}")
            continue
        r = json.loads(done.stdout.strip().splitlines()[-1])
        print(f"{name:<38} {r['cells']:>11,}  {r['store'] / GB:8.3f}G {r['used'] / GB:8.3f}G"
              f" {r['store'] / r['used']:5.2f}  {r['ram'] / GB:7.2f}G {r['rss'] / GB:7.2f}G"
              f" {r['ram'] / r['rss']:5.2f}  {r['seconds']:5.1f}s")


if __name__ == "__main__":
    main(sys.argv[1:])
