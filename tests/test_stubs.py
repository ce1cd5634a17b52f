"""The type stubs the distribution ships: mypy --strict accepts typical calls,
and stubtest finds every stub to match the built module it describes."""
import os
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
if os.environ.get("QUORAN_SANITIZED"):
    pytest.skip("stubs do not depend on the build's sanitizers", allow_module_level=True)

MODULES = ["cellcoef", "fieldplot", "surfloss", "blockdraw", "stagedraw", "_bandsolve",
           "arcfind", "viarow", "rlearray", "yeestep"]
USAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stubs_usage.py")


def mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=cwd, timeout=600)


def test_typical_calls_pass_mypy_strict(tmp_path):
    # From a folder of its own, so that mypy finds the installed modules only.
    out = mypy("mypy", "--strict", "--no-incremental", USAGE, cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_stubs_match_the_built_modules(tmp_path):
    out = mypy("mypy.stubtest", "--concise", *MODULES, cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
