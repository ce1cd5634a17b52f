"""Distributed runs: the grid in slabs of z planes over MPI processes gives
the single-process run's port signals, probes, DFT sums, field plane and
final fields bit for bit when the store folds only equal vectors."""
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest
from conftest import child_env

from fdtdhost import app, capacity, distributed, grid as gridmod, model as modelmod, pre
from slab_run import recorded
from test_host import TINY
from test_host_capacity import board

MPIRUN = shutil.which("mpirun")
HERE = os.path.dirname(__file__)
pytestmark = [
    pytest.mark.skipif(MPIRUN is None, reason="no mpirun (tools/setup.sh installs Open MPI)"),
    pytest.mark.skipif(bool(os.environ.get("QUORAN_SANITIZED")),
                       reason="Open MPI's own processes are not run under the sanitizers"),
]


def mpirun(n, *args, timeout=300):
    """Runs `python args` on n processes (as root too: CI runs as root)."""
    env = child_env(OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
                    PYTHONPATH=os.pathsep.join(filter(None, [HERE, os.environ.get("PYTHONPATH")])))
    return subprocess.run([MPIRUN, "-n", str(n), "--oversubscribe", sys.executable, *args],
                          capture_output=True, text=True, timeout=timeout, env=env)


def tiny(tmp_path, tolerance=0.0, **simulation):
    """TINY with the store folding within `tolerance` (0: only equal vectors),
    a DFT of every z plane and `simulation`'s settings, as a model file."""
    data = json.loads(json.dumps(TINY))
    data["store"] = {"tolerance": tolerance}
    data["simulation"] = dict({"dft": [3e9], "volume": True}, **simulation)
    path = tmp_path / "tiny.json"
    path.write_text(json.dumps(data))
    return path


@pytest.mark.parametrize("processes, simulation", [
    (2, {"max_steps": 600}),                                    # the port split by the border
    (3, {"max_steps": 3000, "stop_db": -10, "check_every": 10}),   # an inner slab; the stop rule
])
def test_slabs_give_the_single_process_run_bit_for_bit(tmp_path, processes, simulation):
    path = tiny(tmp_path, **simulation)
    result = mpirun(processes, os.path.join(HERE, "slab_run.py"), str(path),
                    str(tmp_path / "slabs"), str(tmp_path / "slabs.npz"))
    assert result.returncode == 0, result.stderr
    slabs = np.load(tmp_path / "slabs.npz")
    assert len(slabs["bounds"]) == processes + 1
    one = recorded(app.Run(modelmod.load(str(path)), tmp_path / "one", pictures=False).run())
    assert int(one["steps"]) == int(slabs["steps"])
    if "stop_db" in simulation:
        assert int(one["steps"]) < simulation["max_steps"]          # the stop rule ended it
    assert np.abs(one["voltage"]).max() > 0 and np.abs(one["Ez"]).max() > 0
    for name, values in one.items():
        assert values.shape == slabs[name].shape, name
        assert values.tobytes() == slabs[name].tobytes(), name


def test_tolerant_folding_keeps_within_its_bound(tmp_path):
    # README, "Several processes": with folding tolerance t each coefficient
    # of either run lies within 2t / (1 - t) of its exact value, twice over
    # (the line's compression, the store), so the two runs' coefficients
    # differ by at most 8t relatively, and n steps of a scheme that does not
    # grow move any field or signal by at most 8 t n of its largest value
    tolerance, steps = 1e-3, 600
    path = tiny(tmp_path, tolerance, max_steps=steps)
    result = mpirun(3, os.path.join(HERE, "slab_run.py"), str(path),
                    str(tmp_path / "slabs"), str(tmp_path / "slabs.npz"))
    assert result.returncode == 0, result.stderr
    slabs = np.load(tmp_path / "slabs.npz")
    one = recorded(app.Run(modelmod.load(str(path)), tmp_path / "one", pictures=False).run())
    bound = 8 * tolerance * steps
    for name in ("voltage", "current", "probe0", "plane", "dft5") + app.sim.COMPONENTS:
        peak = np.abs(one[name]).max()
        assert peak > 0 and np.abs(one[name] - slabs[name]).max() <= bound * peak, name


def test_command_line_writes_the_same_results(tmp_path):
    path = tiny(tmp_path, max_steps=400)
    result = mpirun(2, "-m", "fdtdhost", "--model", str(path), "--out", str(tmp_path / "two"),
                    "--quiet")
    assert result.returncode == 0, result.stderr
    one = subprocess.run([sys.executable, "-m", "fdtdhost", "--model", str(path), "--out",
                          str(tmp_path / "one"), "--quiet"], capture_output=True, text=True,
                         env=child_env(), timeout=300)
    assert one.returncode == 0, one.stderr
    for name in ("signals.csv", "s11.s1p"):
        assert (tmp_path / "one" / name).read_bytes() == (tmp_path / "two" / name).read_bytes()
    summary = json.loads((tmp_path / "two" / "summary.json").read_text())
    assert summary["processes"]["count"] == 2
    assert sorted(os.listdir(tmp_path / "two")) == sorted(os.listdir(tmp_path / "one"))


def test_a_run_without_mpirun_never_loads_mpi(tmp_path):
    path = tiny(tmp_path)
    code = ("import sys; from fdtdhost import __main__ as cli, app, distributed; "
            "assert distributed.run_class() is app.Run; "
            f"assert cli.main(['--model', {str(path)!r}, '--out', {str(tmp_path / 'out')!r}, "
            "'--no-simulation', '--quiet']) == 0; assert 'mpi4py' not in sys.modules")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=child_env(), timeout=300)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("nz, processes, marked, bounds", [
    (10, 2, (), [0, 5, 10]),
    (10, 3, (), [0, 3, 6, 10]),
    (10, 2, (4, 5), [0, 4, 10]),          # not between two marked planes
    (10, 2, (3, 4, 5, 6), [0, 3, 10]),
    (3, 3, (), [0, 1, 2, 3]),
])
def test_slab_bounds(nz, processes, marked, bounds):
    assert distributed.slab_bounds(nz, processes, marked) == bounds


def test_more_processes_than_planes_refused():
    with pytest.raises(capacity.CapacityError, match="11 processes for 10 z planes"):
        distributed.slab_bounds(10, 11)


def test_slab_data_is_the_whole_grids_restricted():
    g = gridmod.Grid(modelmod.validate(TINY))
    whole_pairs = [[r.toarray() for r in pair] for pair in g.material_pairs()]
    whole_codes, whole_norms = g.codes(), g.norms()
    whole_loss = g.loss_profiles()
    for z0, z1 in ((0, 4), (4, 7), (7, g.nz)):
        part = g.slab(z0, z1)
        pairs = [[r.toarray() for r in pair] for pair in part.material_pairs()]
        for got, want in zip(pairs, whole_pairs):
            assert all(np.array_equal(a, b[z0:z1]) for a, b in zip(got, want))
        assert np.array_equal(part.codes(), whole_codes[z0:z1])
        norms = part.norms()
        for n in (0, 2):
            assert np.array_equal(norms[n], whole_norms[n])
        for n in (1, 3):
            assert np.array_equal(norms[n], whole_norms[n][z0:z1])
        assert np.array_equal(part.loss_profiles()[2], whole_loss[2][z0:z1])
        # the skin marks of the slab's planes, from its first marked one
        k, mask, values, spacings = part.skin_data()
        z, whole_mask, whole_values, whole_spacings = g.skin_data()
        first = z0 + k
        planes = slice(first - z, first - z + len(mask))
        if mask.any():
            assert np.array_equal(mask, whole_mask[planes])
            assert np.array_equal(values, whole_values[:, planes])
            assert np.array_equal(spacings[2], whole_spacings[2][first - z:])
        else:
            assert not whole_mask[max(z0 - z, 0):max(z1 - z, 0)].any()


@pytest.mark.parametrize("data, processes", [
    (TINY, 2), (TINY, 3), (board(80, 80, 60, 16), 2), (board(80, 80, 60, 16), 3),
    (board(60, 60, 60, 6, graded="yz"), 3), (board(60, 40, 30, 8, to_edge=True), 3)])
def test_slab_estimate_against_what_dispatch_takes(data, processes):
    m = modelmod.validate(json.loads(json.dumps(data)))
    g = gridmod.Grid(m)
    starts = capacity.slab_starts(m.shape[2], processes)
    for z0, z1 in zip(starts, starts[1:]):
        est = capacity.estimate(m, span=(z0, z1))
        slab = g.slab(z0, z1)
        codes = slab.codes()
        tables = pre.RunTables(slab, codes, pre.Coefficients(slab, slab.material_pairs(), codes))
        ring, direct = tables.stats[:2]
        # state blocks exact; vectors an upper bound, within twice what was
        # stored (a slab's first-pass vectors may still be in the ring when
        # its second pass starts, which the estimate does not count on)
        assert est.state_blocks == direct
        assert ring <= est.pml_vectors + est.inner_vectors <= 2 * ring


LIMITS = {"store_bytes": capacity.STORE_USABLE, "ram_bytes": 10 ** 12}


@pytest.mark.parametrize("nx, needed", [(1000, 2), (1600, 3)])
def test_processes_needed_and_each_slab_checked(nx, needed):
    # 10 and 16 M cells with a 45-cell PML: 2.59 and 4.15 GB of store
    m = modelmod.validate(board(nx, 100, 100, 45))
    whole = capacity.estimate(m, **LIMITS)
    assert whole.processes == needed and f"processes needed: {needed}" in whole.describe()
    # one process: the single-process refusal; more, but too few: said so
    few = f"{needed - 1} processes are too few; " if needed > 2 else ""
    with pytest.raises(capacity.CapacityError,
                       match=f"^{few}parameter store .*processes needed: {needed};"):
        capacity.check(m, processes=needed - 1, rank=0, **LIMITS)
    slabs = [capacity.check(m, processes=needed, rank=r, **LIMITS) for r in range(needed)]
    assert all(s.store <= capacity.STORE_USABLE for s in slabs)
    assert sum(s.state_blocks for s in slabs) == whole.state_blocks
    # 1.2 GB of RAM per process: 2.21 GB over two would do, but each holds
    # 1.28 GB (the interpreter's share and the whole grid's indices each)
    m = modelmod.validate(board(1000, 100, 100, 45))
    assert capacity.estimate(m, capacity.STORE_USABLE, 1_200_000_000).processes == 2
    with pytest.raises(capacity.CapacityError,
                       match="^process 1's slab of z planes 50 to 99: .*RAM 1.28 GB needed"):
        capacity.check(m, capacity.STORE_USABLE, 1_200_000_000, processes=2, rank=1)


def test_too_few_processes_refused_in_one_line(tmp_path):
    path = tmp_path / "thick.json"
    path.write_text(json.dumps(board(1600, 100, 100, 45)))
    result = mpirun(2, "-m", "fdtdhost", "--model", str(path), "--out", str(tmp_path / "out"))
    assert result.returncode == 2 and result.stdout == ""
    said = [line for line in result.stderr.splitlines() if line.startswith("fdtdhost:")]
    assert len(said) == 1, result.stderr
    assert said[0].startswith(f"fdtdhost: model too large: {path}: 2 processes are too few; ")
    assert "processes needed: 3" in said[0]
    assert not (tmp_path / "out").exists()
