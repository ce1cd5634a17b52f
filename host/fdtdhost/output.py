"""The output folder: a run's files appear there together, or not at all.

A run writes into a staging folder of its own inside the output folder
(`.fdtdhost-*.part`) and `commit` moves the files into place, summary.json
last, then removes the files of the previous run that this one does not
replace (those listed in the previous summary's manifest). Commits take a
lock on the output folder, so two runs into one folder never interleave: the
last complete run wins. A run that fails or is interrupted calls `discard`,
which leaves the previous results as they were; a run whose checks failed
commits into `failed/` of the folder instead. Signals that arrive during a
commit take effect after it (`deferred_signals`).

A staging folder stays locked while its run lives; one left behind by a
killed run is unlocked and is removed by the next run into the folder.
"""
import contextlib
import errno
import fcntl
import hashlib
import json
import os
import shutil
import signal
import tempfile
import threading

STAGING_PREFIX = ".fdtdhost-"
STAGING_SUFFIX = ".part"
SUMMARY = "summary.json"
FAILED = "failed"           # where a run whose checks failed keeps its files


class OutputError(Exception):
    """The output folder cannot be used or written; the message says why."""


def _error(path, err):
    return OutputError(f"{path}: {err.strerror or err}")


class Output:
    """The files of one run, written into a staging folder inside `path`."""

    def __init__(self, path):
        self.path = os.fspath(path)
        self._created = []          # folders this run made, outermost first
        self.staging = self._staging_fd = None
        self.committed = False
        if os.path.lexists(self.path) and not os.path.isdir(self.path):
            raise OutputError(f"{self.path}: not a folder")
        try:
            self._make_folders()
            self._sweep()
            self.staging = tempfile.mkdtemp(prefix=STAGING_PREFIX, suffix=STAGING_SUFFIX,
                                            dir=self.path)
            self._staging_fd = os.open(self.staging, os.O_RDONLY | os.O_DIRECTORY)
            fcntl.flock(self._staging_fd, fcntl.LOCK_EX)
        except OSError as err:
            self.discard()
            raise _error(self.path, err) from None

    def _make_folders(self):
        missing, head = [], os.path.abspath(self.path)
        while not os.path.isdir(head):
            missing.append(head)
            head = os.path.dirname(head)
        for folder in reversed(missing):
            os.mkdir(folder)
            self._created.append(folder)

    def _sweep(self):
        """Removes the staging folders of runs that no longer live."""
        for name in os.listdir(self.path):
            if not (name.startswith(STAGING_PREFIX) and name.endswith(STAGING_SUFFIX)):
                continue
            folder = os.path.join(self.path, name)
            try:
                fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
            except OSError:
                continue
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                continue                    # its run is still writing
            else:
                shutil.rmtree(folder, ignore_errors=True)
            finally:
                os.close(fd)

    def file(self, name):
        """Where the run writes the file `name` until the commit."""
        return os.path.join(self.staging, name)

    @contextlib.contextmanager
    def writing(self):
        """Turns a failed write (a full disk, say) into an `OutputError`."""
        try:
            yield
        except OSError as err:
            raise _error(self.path, err) from None

    def write_json(self, name, data):
        with self.writing(), open(self.file(name), "w") as out:
            json.dump(data, out, indent=2)
            out.write("\n")

    def manifest(self, names):
        """Size and SHA-256 of each written file, for the summary."""
        files = {}
        for name in names:
            digest = hashlib.sha256()
            size = 0
            with open(self.file(name), "rb") as data:
                for chunk in iter(lambda: data.read(1 << 20), b""):
                    digest.update(chunk)
                    size += len(chunk)
            files[name] = {"bytes": size, "sha256": digest.hexdigest()}
        return files

    def commit(self, names, failed=False):
        """Moves the files `names` and summary.json into the output folder;
        with `failed` (a run whose checks failed) into its `failed/` folder
        instead, leaving the results as they were."""
        names = [n for n in names if n != SUMMARY] + [SUMMARY]
        with deferred_signals():
            try:
                for name in names:
                    _sync(self.file(name))
                with _locked(self.path):
                    self._move(names, failed)
            except OSError as err:
                raise _error(self.path, err) from None
            self.committed = True
            self._created = []
            self.discard()

    def _move(self, names, failed):
        failed_folder = os.path.join(self.path, FAILED)
        if _ours(failed_folder):
            shutil.rmtree(failed_folder)
        if failed:
            target, previous = failed_folder, set()
            os.mkdir(target)
        else:
            target, previous = self.path, _listed(self.path)
        for name in names:
            os.replace(self.file(name), os.path.join(target, name))
        for name in previous - set(names):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(os.path.join(target, name))
        _sync(target)

    def discard(self):
        """Removes the staging folder and the folders this run made."""
        if self.staging is not None:
            shutil.rmtree(self.staging, ignore_errors=True)
            self.staging = None
        if self._staging_fd is not None:
            os.close(self._staging_fd)
            self._staging_fd = None
        for folder in reversed(self._created):
            with contextlib.suppress(OSError):
                os.rmdir(folder)            # only while empty
        self._created = []


def _listed(folder):
    """The files that the summary in `folder` lists, if it is one of ours."""
    try:
        with open(os.path.join(folder, SUMMARY)) as f:
            files = json.load(f).get("files", {})
    except (OSError, ValueError, AttributeError):
        return set()
    if not isinstance(files, dict):
        return set()
    return {n for n in files if isinstance(n, str) and n and os.sep not in n
            and not n.startswith(".") and n != SUMMARY}


def _ours(folder):
    """True when `folder` holds only a summary.json and the files it lists."""
    if not os.path.isdir(folder):
        return False
    listed = _listed(folder)
    return bool(listed) and set(os.listdir(folder)) <= listed | {SUMMARY}


def _sync(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    except OSError as err:
        if err.errno not in (errno.EINVAL, errno.EROFS):   # folders on some file systems
            raise
    finally:
        os.close(fd)


@contextlib.contextmanager
def _locked(folder):
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


DEFERRED = (signal.SIGINT, signal.SIGTERM)


@contextlib.contextmanager
def deferred_signals():
    """SIGINT and SIGTERM that arrive inside the block are handled after it,
    by the handlers that were in place (only the main thread can hold them)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    arrived = []
    previous = {s: signal.signal(s, lambda signum, frame: arrived.append(signum))
                for s in DEFERRED}
    try:
        yield
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)
        for signum in arrived[:1]:
            handler = previous[signum]
            if callable(handler):
                handler(signum, None)
            elif handler == signal.SIG_DFL:
                os.kill(os.getpid(), signum)
