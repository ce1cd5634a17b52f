"""Runs a model file through `distributed.SlabRun` on every process of the
MPI world and saves, on process 0, what the run recorded and the fields it
ended with (npz), for a test to hold against the single-process run:

    mpirun -n 2 python tests/slab_run.py MODEL OUT_DIR RESULT.npz
"""
import sys

import numpy as np

from fdtdhost import distributed, model as modelmod, sim


def recorded(run):
    """The arrays a run of the host leaves, by name."""
    port_run = run.port_run
    s = port_run.sim
    out = {"voltage": port_run.port.voltage, "current": port_run.port.current,
           "s11": port_run.s11, "plane": np.array(port_run.record.samples),
           "steps": np.array(port_run.steps)}
    for n, p in enumerate(s.probes):
        out[f"probe{n}"] = p.values
    for n, d in enumerate(port_run.dft_planes):
        out[f"dft{n}"] = d.values
    for c in sim.COMPONENTS:
        out[c] = s.field(c)
    return out


def main(model_file, out_dir, result):
    run = distributed.SlabRun(modelmod.load(model_file), out_dir, pictures=False).run()
    arrays = recorded(run)
    if run.rank == 0:
        np.savez(result, bounds=np.array(run.bounds), **arrays)


if __name__ == "__main__":
    main(*sys.argv[1:])
