"""Shared helpers of the Python test suite."""
import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, env=None, cwd=None, timeout=120):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess.

    Used where a test needs a process of its own: import-time behaviour,
    environment variables read at import, output written by C code.
    """
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=full_env, cwd=cwd, timeout=timeout,
    )


@pytest.fixture
def python_subprocess():
    return run_python
