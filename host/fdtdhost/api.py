"""Running models from a Python script.

The parameter store keeps its memory for the life of a process (the kernel
holds its addresses), so one process can run only a few dozen models of the
default model's size. `run` and `run_all` therefore take each model through
its phases in a fresh process and hand back the summary; the calling process
never fills a store of its own, and a sweep can run any number of models.

Each lane is a server process, a new interpreter that has imported the host
once; it forks one child per model, so a run costs a fork, not an interpreter
start. The script that calls `run` is never imported again and needs no
`if __name__ == "__main__"` guard.
"""
import atexit
import os
import pickle
import subprocess
import sys
import threading
import traceback
import warnings
from concurrent.futures import ThreadPoolExecutor

from .model import Checked, ModelError, validate


class ModelWarning(UserWarning):
    """A shape that voxelisation left out (it holds no cell centre)."""


class WorkerError(RuntimeError):
    """A run's process failed; the message holds its traceback."""


def _work(checked, out, pictures, options):
    from . import app
    return app.Run(checked, out, pictures=pictures, **options).run().summary


def _outcome(job):
    """(True, summary) or (False, (error, traceback text)) of one job, pickled."""
    try:
        outcome = (True, _work(*job))
    except BaseException as err:                   # handed to the caller, who raises it
        text = "".join(traceback.format_exception(type(err), err, err.__traceback__))
        outcome = (False, (err, text))
    try:
        return pickle.dumps(outcome)
    except Exception:                              # an error that does not pickle
        return pickle.dumps((False, (WorkerError(outcome[1][1]), outcome[1][1])))


def _serve(jobs_fd, results_fd):
    """The lane's loop: each job read from `jobs_fd` runs in a forked child,
    whose pickled outcome goes back on `results_fd`."""
    from . import app  # noqa: F401  (imported once, before the children fork)
    with os.fdopen(jobs_fd, "rb") as jobs, os.fdopen(results_fd, "wb") as results:
        while True:
            try:
                job = pickle.load(jobs)
            except EOFError:
                return
            read, write = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(read)
                with os.fdopen(write, "wb") as pipe:
                    pipe.write(_outcome(job))
                os._exit(0)
            os.close(write)
            with os.fdopen(read, "rb") as pipe:
                data = pipe.read()
            _, status = os.waitpid(pid, 0)
            if not data:
                error = WorkerError(f"the run's process ended with status {status} "
                                    "before it reported")
                data = pickle.dumps((False, (error, str(error))))
            pickle.dump(data, results)
            results.flush()


class _Lane:
    """A server process that runs one job at a time, each in a forked child."""

    def __init__(self):
        jobs_r, self._jobs = os.pipe()
        self._results, results_w = os.pipe()
        path = os.pathsep.join(p for p in sys.path if p)
        env = dict(os.environ, PYTHONPATH=path)
        self.process = subprocess.Popen(
            [sys.executable, "-c", f"from fdtdhost.api import _serve; _serve({jobs_r}, "
                                   f"{results_w})"],
            pass_fds=(jobs_r, results_w), env=env, stdin=subprocess.DEVNULL)
        os.close(jobs_r)
        os.close(results_w)
        self.jobs = os.fdopen(self._jobs, "wb")
        self.results = os.fdopen(self._results, "rb")

    def run(self, job):
        try:
            pickle.dump(job, self.jobs)
            self.jobs.flush()
            data = pickle.load(self.results)
        except (EOFError, BrokenPipeError, pickle.UnpicklingError):
            code = self.process.wait()
            raise WorkerError(f"the run's server process ended with status {code}") from None
        return pickle.loads(data)

    def close(self):
        self.jobs.close()
        self.results.close()
        self.process.wait()


_lanes = []
_lanes_lock = threading.Lock()


def _lane(n):
    """Lane n, started the first time it is needed, reused afterwards."""
    with _lanes_lock:
        while len(_lanes) <= n:
            _lanes.append(_Lane())
        lane = _lanes[n]
        if lane.process.poll() is not None:
            lane = _lanes[n] = _Lane()
        return lane


@atexit.register
def _close_lanes():
    for lane in _lanes:
        lane.close()


def _checked(model):
    return model if isinstance(model, Checked) else validate(model)


def _result(outcome):
    ok, result = outcome
    if not ok:
        err, text = result
        raise err from WorkerError(text)
    for text in result["voxels"]["left_out"]:
        warnings.warn(text, ModelWarning, stacklevel=3)
    return result


def run(model, out="out", *, pictures=True, simulate=True, field="simulated", export=(),
        fresh_process=True):
    """Takes `model` (a `Model`, a decoded model file, or a checked model)
    through every phase, writing summary.json, the pictures and the port's
    files into `out`; returns the summary.

    `simulate` False stops before the time stepping; `field` "stand-in" draws
    the analytic stand-in; `export` ("vtk",) writes the voxel model and the
    fields for ParaView. Raises ModelError before any work for a model that
    cannot be run. With `fresh_process` False the phases run in this
    process, whose parameter store then keeps what they put there.
    """
    checked = _checked(model)
    out = os.path.abspath(out)      # the run's process has a working folder of its own
    os.makedirs(out, exist_ok=True)
    options = {"simulate": simulate, "field": field, "export": tuple(export)}
    if not fresh_process:
        return _result((True, _work(checked, out, pictures, options)))
    return _result(_lane(0).run((checked, out, pictures, options)))


def run_all(models, outs, *, pictures=True, simulate=True, field="simulated", export=(),
            processes=None):
    """Runs every model of `models` into the folder of `outs` at the same
    place, each in a fresh process, `processes` at a time (default: the
    cores); returns the summaries in order. Every model is checked first, so
    a bad one raises ModelError before any run."""
    models, outs = list(models), [os.path.abspath(out) for out in outs]
    if len(models) != len(outs):
        raise ValueError(f"{len(models)} models but {len(outs)} output folders")
    checked = []
    for n, model in enumerate(models):
        try:
            checked.append(_checked(model))
        except ModelError as err:
            raise ModelError(f"model {n}: {err}") from None
    for out in outs:
        os.makedirs(out, exist_ok=True)
    options = {"simulate": simulate, "field": field, "export": tuple(export)}
    lanes = max(1, min(processes or os.cpu_count() or 1, len(models)))
    queue = iter(enumerate(zip(checked, outs)))
    queue_lock = threading.Lock()
    outcomes = [None] * len(models)

    def drive(n):
        lane = _lane(n)
        while True:
            with queue_lock:
                item = next(queue, None)
            if item is None:
                return
            k, (c, o) = item
            outcomes[k] = lane.run((c, o, pictures, options))

    with ThreadPoolExecutor(lanes) as pool:
        for done in [pool.submit(drive, n) for n in range(lanes)]:
            done.result()
    return [_result(outcome) for outcome in outcomes]
