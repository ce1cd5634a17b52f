"""The output folder: a run's files appear together or not at all, whatever
happens to the run (failures, failed checks, signals, a full or read-only
disk, another run into the same folder)."""
import errno
import fcntl
import glob
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest
from conftest import child_env

fdtdhost = pytest.importorskip("fdtdhost")
from fdtdhost import app, model as modelmod, output, pictures  # noqa: E402
from test_host import TINY, host  # noqa: E402


@pytest.fixture(scope="module")
def previous(tmp_path_factory):
    """A folder holding the results of an earlier run of TINY."""
    out = tmp_path_factory.mktemp("previous")
    app.Run(modelmod.validate(TINY), out).run()
    return out


def contents(folder):
    """Every entry of the folder (hidden ones too) with its bytes' digest."""
    found = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            key = os.path.relpath(path, folder)
            found[key] = None if os.path.isdir(path) else \
                hashlib.sha256(open(path, "rb").read()).hexdigest()
    return found


def consistent(folder):
    """The folder's summary lists exactly its other files, with their digests."""
    summary = json.loads(open(os.path.join(folder, "summary.json")).read())
    files = {n: f["sha256"] for n, f in summary["files"].items()}
    on_disk = {n: d for n, d in contents(folder).items() if n != "summary.json" and d}
    return files == {n: on_disk.get(n) for n in files} and summary


@pytest.fixture
def out(tmp_path, previous):
    folder = tmp_path / "out"
    shutil.copytree(previous, folder)
    return folder


def other_model(**changes):
    return {**TINY, "name": "other", "view": {"width": 80, "height": 64}, **changes}


def test_a_run_replaces_the_previous_files_and_keeps_foreign_ones(out):
    # a file the previous run listed and this one does not write goes; a file
    # that no run listed stays
    summary = json.loads((out / "summary.json").read_text())
    summary["files"]["old.png"] = {"bytes": 3, "sha256": "0"}
    (out / "summary.json").write_text(json.dumps(summary))
    (out / "old.png").write_bytes(b"old")
    (out / "notes.txt").write_text("mine")
    app.Run(modelmod.validate(other_model()), out).run()
    names = set(contents(out))
    assert names == set(app.PICTURES) | {app.S11_PLOT, app.TOUCHSTONE, app.SIGNALS,
                                         "summary.json", "notes.txt"}
    assert consistent(out)["model"] == "other"


def test_a_failing_run_leaves_the_previous_results(out, monkeypatch):
    before = contents(out)

    def full(*args):
        raise OSError(errno.ENOSPC, "No space left on device")
    monkeypatch.setattr(pictures, "stage_picture", full)     # the last picture
    with pytest.raises(output.OutputError, match=f"^{out}: No space left on device$"):
        app.Run(modelmod.validate(other_model()), out).run()
    assert contents(out) == before


def test_failed_checks_leave_the_results_and_keep_the_run_apart(out, monkeypatch):
    before = contents(out)
    monkeypatch.setattr(app, "ARC_ERROR", -1.0)
    run = app.Run(modelmod.validate(other_model()), out).run()
    assert run.failed() == ["arcs"]
    assert {n: d for n, d in contents(out).items() if not n.startswith("failed")} == before
    assert consistent(out / "failed")["checks"]["arcs"]["result"] == "failed"
    monkeypatch.undo()
    app.Run(modelmod.validate(other_model()), out).run()      # a good run clears it away
    assert not (out / "failed").exists() and consistent(out)["model"] == "other"


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_an_interrupted_run_leaves_the_previous_results(out, tmp_path, signum, status):
    # large pictures, so the signal comes while the later ones are drawn
    model = tmp_path / "big.json"
    model.write_text(json.dumps(other_model(view={"width": 2048, "height": 2048})))
    before = contents(out)
    proc = subprocess.Popen([sys.executable, "-m", "fdtdhost", str(model), "--out", str(out)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=child_env())
    deadline = time.monotonic() + 120
    while not glob.glob(str(out / ".fdtdhost-*.part" / "model.png")):
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.002)
    proc.send_signal(signum)
    stdout, stderr = proc.communicate(timeout=120)
    name = signal.Signals(signum).name
    assert proc.returncode == status and stdout == ""
    assert stderr == (f"fdtdhost: interrupted ({name}); nothing written, "
                      f"{out}/ keeps the previous results\n")
    assert contents(out) == before


def test_runs_into_one_folder_wait_for_each_others_commit(out, tmp_path):
    model = tmp_path / "other.json"
    model.write_text(json.dumps(other_model()))
    before = contents(out)
    held = os.open(out, os.O_RDONLY)
    fcntl.flock(held, fcntl.LOCK_EX)            # as a run that is committing
    try:
        proc = subprocess.Popen([sys.executable, "-m", "fdtdhost", str(model), "--out", str(out),
                                 "--quiet"], stderr=subprocess.PIPE, text=True, env=child_env())
        deadline = time.monotonic() + 120
        while not glob.glob(str(out / ".fdtdhost-*.part" / "summary.json")):
            assert proc.poll() is None and time.monotonic() < deadline
            time.sleep(0.01)
        time.sleep(0.2)
        staging = {n for n in contents(out) if n.startswith(".fdtdhost-")}
        assert {n: d for n, d in contents(out).items() if n not in staging} == before
    finally:
        os.close(held)
    assert proc.wait(timeout=120) == 0, proc.stderr.read()
    assert set(contents(out)) == set(app.PICTURES) | {app.S11_PLOT, app.TOUCHSTONE, app.SIGNALS,
                                                      "summary.json"}
    assert consistent(out)["model"] == "other"


def test_staging_folders_of_dead_runs_are_swept(out):
    dead = out / ".fdtdhost-dead.part"
    live = out / ".fdtdhost-live.part"
    dead.mkdir()
    (dead / "model.png").write_bytes(b"half a pict")
    live.mkdir()
    held = os.open(live, os.O_RDONLY)
    fcntl.flock(held, fcntl.LOCK_EX)
    try:
        app.Run(modelmod.validate(other_model()), out).run()
    finally:
        os.close(held)
    assert not dead.exists() and live.exists()


def test_out_that_is_a_file(tmp_path):
    target = tmp_path / "results"
    target.write_text("not a folder")
    result = host("--out", str(target))
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr == f"fdtdhost: cannot write the results: {target}: not a folder\n"
    assert target.read_text() == "not a folder"


def _namespaces():
    try:
        return subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "true"],
                              env=_plain_env(), capture_output=True, timeout=30).returncode == 0
    except (OSError, subprocess.SubprocessError):
        return False


def _plain_env():
    """The environment without a preloaded sanitizer runtime, for the system
    tools; the host inside gets it back."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


# Inside a user and mount namespace: a small tmpfs over the output folder with
# the previous results, made full or read-only; then the host, and the state
# of the folder as JSON.
INSIDE = r"""
set -e
mount -t tmpfs -o size=256k tmpfs "$OUT"
cp -a "$PREVIOUS"/. "$OUT"/
case "$MAKE" in
  full) dd if=/dev/zero of="$OUT/filler" bs=4k 2>/dev/null || true ;;
  read-only) mount -o remount,ro "$OUT" ;;
esac
set +e
LD_PRELOAD="$INNER_PRELOAD" "$PYTHON" -m fdtdhost --out "$OUT" --quiet --no-simulation 2>"$ERR"
echo $? >"$STATUS"
"$PYTHON" -c 'import json, os, sys, hashlib
out = sys.argv[1]
print(json.dumps({n: hashlib.sha256(open(os.path.join(out, n), "rb").read()).hexdigest()
                  for n in os.listdir(out) if n != "filler"}))' "$OUT" >"$STATE"
"""


@pytest.mark.skipif(not _namespaces(), reason="no user namespaces to mount a tmpfs in")
@pytest.mark.parametrize("make, status, message", [
    ("full", 1, "No space left on device"),
    ("read-only", 2, "Read-only file system")])
def test_full_or_read_only_disk(tmp_path, previous, make, status, message):
    mount = tmp_path / "mnt"
    mount.mkdir()
    files = {k: tmp_path / k for k in ("err", "status", "state")}
    inner = child_env()
    env = dict(_plain_env(), OUT=str(mount), ASAN_OPTIONS=inner.get("ASAN_OPTIONS", ""), PREVIOUS=str(previous), MAKE=make,
               PYTHON=sys.executable, INNER_PRELOAD=os.environ.get("LD_PRELOAD", ""),
               ERR=str(files["err"]), STATUS=str(files["status"]), STATE=str(files["state"]))
    subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "sh", "-c", INSIDE],
                   env=env, check=True, timeout=300)
    assert int(files["status"].read_text()) == status
    assert files["err"].read_text() == f"fdtdhost: cannot write the results: {mount}: {message}\n"
    # nothing new, nothing half written, nothing left behind
    assert json.loads(files["state"].read_text()) == \
        {n: d for n, d in contents(previous).items()}
