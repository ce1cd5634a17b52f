"""The examples a new user copies run, at a coarse resolution."""
import dataclasses
import json
import os
import re
import subprocess
import sys

import pytest

fh = pytest.importorskip("fdtdhost")
from fdtdhost import model as modelmod  # noqa: E402

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
sys.path.insert(0, EXAMPLES)


def example(args, tmp_path):
    result = subprocess.run([sys.executable, *args], capture_output=True, text=True,
                            timeout=300, cwd=EXAMPLES)
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr
    return result.stdout


@pytest.mark.parametrize("script, pictures", [("patch.py", True), ("dipole.py", True),
                                              ("stl_part.py", True), ("sweep.py", False)])
def test_example_script_runs(tmp_path, script, pictures):
    out = tmp_path / "out"
    example([script, "--coarse", "--out", str(out)], tmp_path)
    summaries = sorted(out.rglob("summary.json"))
    assert summaries and all(c["result"] != "failed" for p in summaries
                             for c in json.loads(p.read_text())["checks"].values())
    assert (out / "model.png").exists() == pictures


def test_example_model_file_runs(tmp_path):
    stdout = example(["-m", "fdtdhost", "--model", "stripline.json", "--out",
                      str(tmp_path)], tmp_path)
    assert "40 x 50 x 21 cells" in stdout
    summary = json.loads((tmp_path / "summary.json").read_text())
    # the strip is 35 um of copper: kept as one cell layer
    assert summary["voxels"] == {"thin_conductors": ["shapes[0]"], "left_out": []}


def test_patch_example_is_the_default_model():
    from patch import patch_antenna
    built = fh.validate(patch_antenna())
    default = modelmod.load()
    for f in dataclasses.fields(modelmod.Checked):
        if f.name not in ("source", "name"):
            assert getattr(built, f.name) == getattr(default, f.name), f.name


def test_readme_script_runs(tmp_path, monkeypatch):
    with open(os.path.join(os.path.dirname(EXAMPLES), "README.md"), encoding="utf-8") as f:
        text = f.read()
    section = text[text.index("## Scripting models in Python"):]
    (code,) = re.findall(r"```python\n(.*?)```", section[:section.index("\n## ", 3)], re.S)
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README.md", "exec"), {})
    assert json.loads((tmp_path / "results" / "summary.json").read_text())["model"] == \
        "tiny patch"
