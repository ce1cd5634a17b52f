"""fdtdhost.run and run_all: every run in a fresh process, results back to the caller."""
import dataclasses
import json

import pytest

fh = pytest.importorskip("fdtdhost")
from fdtdhost import app, model as modelmod, output  # noqa: E402
from test_host import TINY  # noqa: E402

SMALL = dict(TINY, view={"width": 32, "height": 32})


def low_mappings():
    """Address ranges of this process mapped below 2 GiB (where the parameter
    store takes its memory)."""
    spans = []
    with open("/proc/self/maps") as maps:
        for line in maps:
            lo, hi = (int(v, 16) for v in line.split()[0].split("-"))
            if lo < 2 ** 31:
                spans.append((lo, hi))
    return spans


def without_times(summary):
    """The summary without what the machine changes: times, the memory
    available and used, the kernel's speed."""
    kept = {k: v for k, v in summary.items() if k not in ("phases_s", "capacity")}
    kept["simulation"] = {k: v for k, v in kept["simulation"].items()
                          if k not in ("kernel_s", "cell_updates_per_s")}
    return kept


def test_run_returns_the_summary_of_the_phases(tmp_path):
    summary = fh.run(SMALL, out=str(tmp_path / "a"), pictures=False)
    here = app.Run(fh.validate(SMALL), str(tmp_path / "b"), pictures=False).run().summary
    assert without_times(summary) == json.loads(json.dumps(without_times(here)))
    with open(tmp_path / "a" / "summary.json") as f:
        assert json.load(f) == summary
    assert sorted(p.name for p in (tmp_path / "a").iterdir()) == \
        sorted([app.TOUCHSTONE, app.SIGNALS, "summary.json"])


def test_a_sweep_of_many_models_in_one_script(tmp_path):
    # 100 runs, each in a process of its own: the caller's store never fills
    before = low_mappings()
    first = None
    for n in range(100):
        model = dataclasses.replace(fh.from_json(SMALL), name=f"tiny {n}")
        summary = fh.run(model, out=str(tmp_path), pictures=False, simulate=False)
        assert summary["model"] == f"tiny {n}" and \
            {c["result"] for c in summary["checks"].values()} == {"passed"}
        first = first or summary["store"]
        assert summary["store"] == first
    assert low_mappings() == before


def test_run_all_keeps_the_order(tmp_path):
    models = [dataclasses.replace(fh.from_json(SMALL), name=f"m{n}", courant=0.5 + 0.1 * n)
              for n in range(5)]
    outs = [str(tmp_path / f"m{n}") for n in range(5)]
    summaries = fh.run_all(models, outs, processes=2)
    assert [s["model"] for s in summaries] == [m.name for m in models]
    steps = [s["time_step_s"] for s in summaries]
    assert steps == sorted(steps) and len(set(steps)) == 5
    assert all((tmp_path / f"m{n}" / "model.png").exists() for n in range(5))


def test_relative_folder_is_the_callers(tmp_path, monkeypatch):
    fh.run(SMALL, out=str(tmp_path / "first"), pictures=False)     # the lane starts here
    monkeypatch.chdir(tmp_path / "first")
    fh.run_all([SMALL], ["there"], pictures=False)
    fh.run(SMALL, out="here", pictures=False)
    assert (tmp_path / "first" / "here" / "summary.json").exists()
    assert (tmp_path / "first" / "there" / "summary.json").exists()


def test_bad_model_raises_before_any_work(tmp_path):
    with pytest.raises(fh.ModelError, match=r"^pml: expected an integer"):
        fh.run(dict(SMALL, pml=0), out=str(tmp_path / "out"))
    with pytest.raises(fh.ModelError, match=r"^model 1: pml: expected"):
        fh.run_all([SMALL, dict(SMALL, pml=0)], [str(tmp_path / "a"), str(tmp_path / "b")])
    assert not any(tmp_path.iterdir())


def test_failure_in_the_run_reaches_the_caller(tmp_path):
    (tmp_path / "summary.json").mkdir()        # the run cannot write its summary
    with pytest.raises(output.OutputError, match="Is a directory") as err:
        fh.run(SMALL, out=str(tmp_path), pictures=False)
    assert isinstance(err.value.__cause__, fh.WorkerError)
    assert "Traceback" in str(err.value.__cause__)
    # the lane goes on serving
    assert fh.run(SMALL, out=str(tmp_path / "next"), pictures=False)["cells"] == 1920


def test_left_out_shape_warns(tmp_path):
    model = dict(SMALL, shapes=[{"shape": "box", "material": "fr4", "from": [4, 4, 4.1],
                                 "to": [6, 6, 4.2]}])
    with pytest.warns(fh.ModelWarning, match=r"shapes\[0\]: holds no cell centre"):
        summary = fh.run(model, out=str(tmp_path), pictures=False)
    assert summary["voxels"]["left_out"] == [
        "shapes[0]: holds no cell centre and is no conductor; left out"]


def test_checked_model_crosses_to_the_worker(tmp_path):
    checked = modelmod.load()
    summary = fh.run(checked, out=str(tmp_path), pictures=False, simulate=False)
    assert summary["grid"] == [150, 120, 40] and 45 < summary["feed_line"]["impedance_ohm"] < 55
