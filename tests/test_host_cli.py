"""The fdtdhost command and package: script, options, version, model digest,
dependencies."""
import ast
import json
import os
import re
import subprocess
import sys
from importlib import metadata

import pytest
from conftest import child_env

fdtdhost = pytest.importorskip("fdtdhost")
from fdtdhost import app, model as modelmod  # noqa: E402
from test_host import TINY, host  # noqa: E402

DISTRIBUTION = "quoran-backend"


def test_console_script_prints_the_version():
    script = os.path.join(os.path.dirname(sys.executable), "fdtdhost")
    if not os.path.exists(script):
        pytest.skip("the package is not installed with its scripts here")
    result = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60,
                            env=child_env())
    assert result.returncode == 0
    assert result.stdout == f"fdtdhost {metadata.version(DISTRIBUTION)}\n"
    assert fdtdhost.__version__ == metadata.version(DISTRIBUTION)


def test_positional_model_quiet_run(tmp_path):
    path = tmp_path / "tiny.json"
    path.write_text(json.dumps(TINY))
    result = host(str(path), "--out", str(tmp_path / "out"), "--quiet")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert summary["model"] == "tiny patch" and summary["version"] == fdtdhost.__version__
    assert summary["model_sha256"] == app.model_digest(modelmod.validate(TINY))
    both = host(str(path), "--model", str(path))
    assert both.returncode == 2 and both.stderr.endswith(
        "fdtdhost: error: give the model file once: as MODEL or with --model\n")


def test_model_digest_follows_the_model_not_its_layout():
    digest = app.model_digest(modelmod.validate(TINY))
    relaid = json.loads(json.dumps(TINY, indent=4, sort_keys=True))
    assert app.model_digest(modelmod.validate(relaid)) == digest
    changed = json.loads(json.dumps(TINY))
    changed["lumped"][0]["resistance"] = 50.000000000001
    assert app.model_digest(modelmod.validate(changed)) != digest
    assert re.fullmatch("[0-9a-f]{64}", digest)


# third-party packages the host imports, by the distribution that provides them
PROVIDED_BY = {"numpy": "numpy", "scipy": "scipy", "OpenGL": "PyOpenGL", "PIL": "Pillow",
               "tqdm": "tqdm", "trimesh": "trimesh", "matplotlib": "matplotlib",
               "pyevtk": "pyevtk"}
OURS = {"fdtdhost", "cellcoef", "rlearray", "fieldplot", "surfloss", "blockdraw", "stagedraw", "yeestep",
        "_bandsolve", "arcfind", "viarow"}


@pytest.mark.skipif(sys.version_info < (3, 10), reason="sys.stdlib_module_names")
def test_what_the_host_imports_installs_with_the_package():
    # a plain `pip install` must bring every module the host imports
    folder = os.path.dirname(fdtdhost.__file__)
    imported = set()
    for name in os.listdir(folder):
        if name.endswith(".py"):
            tree = ast.parse(open(os.path.join(folder, name)).read())
            for node in ast.walk(tree):
                if isinstance(node, ast.Import):
                    imported |= {a.name.split(".")[0] for a in node.names}
                elif isinstance(node, ast.ImportFrom) and node.level == 0:
                    imported.add(node.module.split(".")[0])
    third_party = imported - OURS - set(sys.stdlib_module_names)
    assert third_party <= set(PROVIDED_BY), third_party - set(PROVIDED_BY)
    required = {re.split(r"[ <>=!;\[]", r, maxsplit=1)[0].lower()
                for r in metadata.requires(DISTRIBUTION) if "extra ==" not in r}
    assert {PROVIDED_BY[m].lower() for m in third_party} <= required
