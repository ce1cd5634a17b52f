"""Shared helpers of the Python test suite."""
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, settings


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


def child_env(**extra):
    """The environment of a child process whose exit status a test checks.

    Under the sanitizers LeakSanitizer's tracer now and then crashes at exit
    (about one exit in a hundred here) and ends the process with status 0,
    whatever it was; such children run without leak checking, which the
    suite's own process still does for the modules.
    """
    env = dict(os.environ, **extra)
    if env.get("QUORAN_SANITIZED"):
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return env


@pytest.fixture
def python_subprocess():
    return run_python


# Hypothesis: a fixed, bounded run by default (CI); QUORAN_FUZZ=long for a
# longer randomised one (QUORAN_FUZZ_EXAMPLES per method, default 20000),
# which keeps its failing examples in .hypothesis/.
settings.register_profile(
    "ci", max_examples=300, derandomize=True, database=None, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile(
    "long", max_examples=int(os.environ.get("QUORAN_FUZZ_EXAMPLES", "20000")), deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.load_profile(os.environ.get("QUORAN_FUZZ", "ci"))


def pytest_terminal_summary(terminalreporter):
    fuzzing = sys.modules.get("fuzzing")
    if fuzzing and fuzzing.CALLS:
        terminalreporter.write_line(
            f"fuzz: {sum(fuzzing.CALLS.values())} checked calls of {len(fuzzing.CALLS)} methods")
    if fuzzing and os.environ.get("QUORAN_FUZZ_OUTCOMES"):
        for key, endings in sorted(fuzzing.OUTCOMES.items()):
            terminalreporter.write_line(f"  {key}:")
            for said, n in sorted(endings.items(), key=lambda kv: -kv[1]):
                terminalreporter.write_line(f"    {n:6d}  {said[:100]}")
