"""Records the OpenGL calls of `blockdraw` and `stagedraw`.

glrecord.c, built here into a shared library and loaded ahead of libGL in a
fresh interpreter (LD_PRELOAD), takes the place of the immediate-mode entry
points. `record` runs a list of method calls there and returns, per call, the
GL calls it made, its result (or error message) and its array arguments as
they were afterwards.
"""
import os
import pickle
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "glrecord.c")

# glBegin with this mode separates the method calls in the record.
MARKER = 0xFEED

DRIVER = textwrap.dedent("""
    import ctypes, pickle, sys
    sys.path.insert(0, %r)
    import blockdraw, stagedraw
    from glrecord import made
    shim = ctypes.CDLL(None)
    with open(sys.argv[1], "rb") as f:
        jobs = pickle.load(f)
    done = []
    for name, args in jobs:
        args = made(args)
        shim.glBegin(ctypes.c_uint(%d))
        method = {"blockdraw": blockdraw.blockdraw, "stagedraw": stagedraw.stagedraw}[name]
        try:
            result = method(*args)
        except Exception as e:
            result = ("error", type(e).__name__, str(e))
        done.append((result, args))
    with open(sys.argv[2], "wb") as f:
        pickle.dump(done, f)
""" % (HERE, MARKER))


class View:
    """An array argument made where the call runs, from a contiguous `base`:
    pickling keeps neither strides nor flags nor memory shared between
    arguments, so these are rebuilt from the base (one base object passed in
    two Views stays one array)."""

    def __init__(self, base, index=(), dtype=None, shape=None, writeable=True):
        self.base, self.index, self.dtype = base, index, dtype
        self.shape, self.writeable = shape, writeable

    def make(self):
        a = self.base[self.index]
        if self.dtype is not None:
            a = a.view(self.dtype)
        if self.shape is not None:
            a = a.reshape(self.shape)
        if not self.writeable:
            a.flags.writeable = False
        return a


def made(args):
    """`args` with every View made into its array."""
    return tuple(a.make() if isinstance(a, View) else a for a in args)


def build(directory):
    """Compiles the recording library into `directory`; returns its path."""
    library = os.path.join(directory, "libglrecord.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-pthread", "-O2", "-o", library, SOURCE], check=True)
    return library


def _parse(line):
    name, *fields = line.split()
    if name in ("glBegin", "glMaterialfv"):
        ints = 1 if name == "glBegin" else 2
        head = tuple(int(x, 16) for x in fields[:ints])
        rest = tuple(float.fromhex(x) for x in fields[ints:])
        return (name, *head, rest) if rest else (name, *head)
    return (name, tuple(float.fromhex(x) for x in fields)) if fields else (name,)


def record(library, jobs, directory):
    """Runs `jobs`, (method name, argument tuple) pairs, with the recording
    library preloaded. Returns [(calls, result, args after the call)]."""
    jobs_path = os.path.join(directory, "jobs.pickle")
    done_path = os.path.join(directory, "done.pickle")
    trace_path = os.path.join(directory, "trace.txt")
    with open(jobs_path, "wb") as f:
        pickle.dump(list(jobs), f)
    # After whatever is preloaded already (the sanitizer runtime must come first).
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), library]))
    env = dict(os.environ, LD_PRELOAD=preload, GLRECORD_FILE=trace_path)
    proc = subprocess.run([sys.executable, "-c", DRIVER, jobs_path, done_path],
                          env=env, capture_output=True, text=True, timeout=300)
    if proc.returncode != 0:
        raise RuntimeError("recording run failed:\n" + proc.stderr)
    with open(done_path, "rb") as f:
        done = pickle.load(f)
    runs = []
    with open(trace_path) as f:
        for line in f:
            call = _parse(line)
            if call == ("glBegin", MARKER):
                runs.append([])
            else:
                runs[-1].append(call)
    return [(calls, result, args) for calls, (result, args) in zip(runs, done)]
