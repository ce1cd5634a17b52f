"""The methods that run their kernels without the interpreter lock, called from
several threads at once: every call gives, bit for bit, what it gives alone,
on arrays of its own and on read-only inputs that all threads share; and
other threads run Python while a kernel works. The drawing modules run in a
child process whose GL entry points are tests/glrecord.c, which keeps a
digest of each thread's calls."""
import ctypes
import os

import numpy as np
import pytest

import _bandsolve
import arcfind
import fieldplot
import glrecord
import surfloss
import viarow
from conftest import run_python
from threaded import UNDER_TSAN, disagreements, ran_meanwhile, snapshot

F32 = np.float32
HERE = os.path.dirname(os.path.abspath(__file__))


def shared(*arrays):
    """Inputs every thread reads: made read-only, so the methods must take
    them as they are."""
    for a in arrays:
        a.flags.writeable = False
    return arrays


# Each case builds the inputs its threads share and returns `own`, which makes
# the arrays one call writes and returns (method, arguments, produced):
# produced(result) is the snapshot of what the call made.

def inzidenz_case():
    n = 1500
    rng = np.random.default_rng(1)
    coords = shared(np.arange(n + 1) * 0.1, np.arange(n + 1) * 0.1, np.arange(8) * 0.1)
    lo = rng.uniform(-5, 145, (3, 100))
    lo[2] = rng.uniform(-0.1, 0.5, 100)
    boxes = np.empty((3, 200), F32)
    boxes[:, 0::2], boxes[:, 1::2] = lo, lo + rng.uniform(1, 30, (3, 100))
    (boxes,) = shared(boxes)

    def own():
        incidence = np.full((n, n), 7, np.uint8)
        args = (2, 0, 1, 3, 0, n, 0, n, list(coords), boxes, incidence, 1)
        return fieldplot.inzidenz, args, lambda result: snapshot(result, incidence)
    return own


def glarr_case(mode):
    n = {"surface": 500, "contour": 150, "arrows": 200}[mode]
    rng = np.random.default_rng(2)
    coords = shared(np.cumsum(rng.uniform(0.5, 1.5, n)), np.arange(n) * 0.7, np.arange(3.0))
    mask = (rng.random((n, n)) < 0.8).astype(np.uint8)
    mask[:, n // 3] = 0  # a row of strips with no cell
    colour, height = (rng.uniform(-1.2, 1.2, (n, n)).astype(F32) for _ in range(2))
    vectors = rng.uniform(-1, 1, (3, n, n)).astype(F32)
    mask, colour, height, vectors = shared(mask, colour, height, vectors)
    levels, arrows = {"surface": (0, 0), "contour": (6, 0), "arrows": (0, 1)}[mode]
    rows = {"surface": 2 * n * n, "contour": 30 * n * n, "arrows": 16 * n * n}[mode]

    def own():
        out = (np.zeros((rows, 3), F32), np.zeros((rows, 3), F32), np.zeros((rows, 4), F32),
               np.zeros(n * n, np.int32), np.zeros((n, n, 10), F32))
        normals, positions, colours, counts, nodes = out
        args = (2, 0, 1, 1, 0, n - 1, 0, n - 1, list(coords), mask, colour, height, normals,
                positions, colours, counts, 0.4, nodes, levels, 0.5, arrows, vectors, 0.3)
        return fieldplot.glarr, args, lambda result: snapshot(result, *out)
    return own


def system(n, h):
    rng = np.random.default_rng(3)
    band = rng.uniform(-1, 1, (n, 2 * h + 1))
    band[:, h] += 2 * h + 1
    return band


def gauss_case():
    n, h = 200_000, 2
    (band,) = shared(system(n, h))

    def own():
        factor, multipliers = band.copy(), np.zeros((n - 1, h + 1))
        return (_bandsolve.gauss, (factor, multipliers, h, 0, n),
                lambda result: snapshot(result, factor, multipliers))
    return own


def invmul_case():
    n, h = 200_000, 3
    factor, multipliers = system(n, h), np.zeros((n - 1, h + 1))
    _bandsolve.gauss(factor, multipliers, h, 0, n)
    rng = np.random.default_rng(4)
    active = (rng.random(n) < 0.9).astype(np.uint8)
    rhs = rng.uniform(-1, 1, n)
    factor, multipliers, active, rhs = shared(factor, multipliers, active, rhs)

    def own():
        b, solution = rhs.copy(), np.zeros(n)
        return (_bandsolve.invmul, (factor, multipliers, b, solution, active, h, 0, n, 1),
                lambda result: snapshot(result, b, solution))
    return own


def viarow_case():
    n = 400_000
    rng = np.random.default_rng(5)
    pos = np.cumsum(rng.uniform(0.1, 1.0, n))
    x = rng.uniform(pos[0] - 1, pos[-1] + 1, n)
    x[: n // 2].sort()  # half near the previous bracket, half searched afresh
    cf = rng.normal(size=n) + 1j * rng.normal(size=n)
    x, cf, pos = shared(x, cf, pos)

    def own():
        p = np.zeros(n, complex)
        return viarow.viarow, (n, x, cf, pos, p, x, 0.5), lambda result: snapshot(result, p)
    return own


def arcfind_case():
    t = np.linspace(0.1, 6.0, 1_000_000)
    (points,) = shared(np.column_stack([1.5 + 2 * np.cos(t), -0.5 + 2 * np.sin(t)]).ravel())

    def own():
        return arcfind.arcfind, (points, 1e-4), lambda result: snapshot(result)
    return own


class SkinRecord(ctypes.Structure):
    _fields_ = [("cell", ctypes.c_void_p), ("partner", ctypes.c_void_p),
                ("value", ctypes.c_float), ("spacing_index", ctypes.c_int32),
                ("state", ctypes.c_void_p)]


def surfloss_grid():
    shape = (30, 40, 50)
    rng = np.random.default_rng(6)
    # Most cells marked for every axis: some 80 000 pairs.
    marks = np.where(rng.random(shape) < 0.85, 7, rng.integers(0, 8, shape)).astype(np.uint8)
    values = rng.uniform(0.5, 2.0, (3,) + shape).astype(F32)
    spacings = [rng.choice([0.5, 1.0, 2.0], n - 1) for n in shape[::-1]]
    return (marks,) + shared(values, *spacings)


def record_fields(values, handle, count):
    """The records with their addresses as offsets into `values`."""
    base = values.ctypes.data
    return [(r.cell - base, r.partner - base, r.value, r.spacing_index, r.state != 0)
            for r in (SkinRecord * count).from_address(handle)]


def surfloss_case():
    marks, values, dx, dy, dz = surfloss_grid()

    def own():
        mask = marks.copy()

        def produced(result):
            count, handle, spacings = result
            return snapshot(count, spacings, mask, record_fields(values, handle, count))
        return surfloss.surfloss, (3, 2 * marks.size, mask, values, dx, dy, dz, 1.5), produced
    return own


def skincoeff_case():
    marks, values, dx, dy, dz = surfloss_grid()

    def own():
        count, handle, _ = surfloss.surfloss(1, 2 * marks.size, marks.copy(), values, dx, dy,
                                             dz, 1.5)
        return (surfloss.skincoeff, (count, handle, 0.7, 3.0),
                lambda result: snapshot(result, record_fields(values, handle, count)))
    return own


CASES = {
    "inzidenz": inzidenz_case,
    "glarr surface": lambda: glarr_case("surface"),
    "glarr contour": lambda: glarr_case("contour"),
    "glarr arrows": lambda: glarr_case("arrows"),
    "gauss": gauss_case,
    "invmul": invmul_case,
    "viarow": viarow_case,
    "arcfind": arcfind_case,
    "surfloss": surfloss_case,
    "skincoeff": skincoeff_case,
}


def threaded_call(own):
    def call():
        method, args, produced = own()
        return produced(method(*args))
    return call


@pytest.mark.parametrize("name", CASES)
def test_threads_get_the_results_of_a_lone_call(name):
    assert disagreements(threaded_call(CASES[name]())) == 0


@pytest.mark.parametrize("name", CASES)
def test_other_threads_run_while_the_kernel_works(name):
    method, args, _ = CASES[name]()()
    assert ran_meanwhile(lambda: method(*args))


# The drawing modules, in a child process with the recording GL entry points.
GL_CHILD = """
import ctypes, sys, threading, time
sys.path.insert(0, {here!r})
import numpy as np
import blockdraw, stagedraw
from threaded import disagreements, ran_meanwhile, snapshot

shim = ctypes.CDLL(None)
shim.glrecord_digest.restype = ctypes.c_ulonglong
rng = np.random.default_rng(7)

def blockdraw_case():
    n = (120, 100, 60)
    voxels = rng.integers(0, 6, n[::-1]).astype(np.uint8)
    voxels[rng.random(n[::-1]) < 0.7] = 1
    voxels.flags.writeable = False
    table = np.zeros((6, 32), np.float32)
    table[:, 0] = [0.0, 2000.0, -1.0, 1.0, 2000.0, np.nan]
    table[:, 4:7] = rng.random((6, 3))
    def own():
        materials = table.copy()
        args = (None, 1500.0, -1.0, np.array(n, np.int32), np.array([0.5, 1.0, 2.0]),
                voxels, materials, 0.8)
        return blockdraw.blockdraw, args, lambda result: snapshot(result, materials)
    return own

def stagedraw_case():
    n = (40, 30, 20)
    values = rng.uniform(0, 1, (3,) + n[::-1]).astype(np.float32)
    coords = [np.cumsum(rng.uniform(0.5, 1.5, k)) for k in n]
    box = np.array([[5.0, 30.0], [0.0, 20.0], [2.0, 40.0]])
    for a in [values, box] + coords:
        a.flags.writeable = False
    def own():
        return (stagedraw.stagedraw, (box, values, *coords, 0.2, 0.7, "line"),
                lambda result: snapshot(result))
    return own

def with_digest(own):
    def call():
        method, args, produced = own()
        shim.glrecord_reset()
        result = method(*args)
        return produced(result) + (shim.glrecord_digest(),)
    return call

# Draws while another thread now and then writes, for a moment, a material
# index past the table's last row into the cells: the rows read and written
# stay in the table, whose neighbours in a larger buffer keep their zeros. (A
# call that finds such an index in its checks refuses the table as too small.)
def cells_changed_while_drawing():
    voxels = np.ones((50, 100, 100), np.uint8)
    voxels[:, :, ::3] = 2
    buffer = np.zeros((400, 32), np.float32)
    materials = buffer[10:13]
    materials[:, 0] = 2000.0
    args = (None, 1500.0, -1.0, np.array([100, 100, 50], np.int32), np.ones(3), voxels,
            materials, 1.0)
    done = threading.Event()
    def scribble():
        k = 0
        while not done.is_set():
            voxels[k % 50] = 255
            time.sleep(0.0002)
            voxels[k % 50] = 1
            time.sleep(0.002)
            k += 1
    writer = threading.Thread(target=scribble)
    writer.start()
    try:
        for _ in range(100):
            try:
                blockdraw.blockdraw(*args)
            except Exception as e:
                assert str(e) == "Array too small: materials", e
            time.sleep(0.001)
    finally:
        done.set()
        writer.join()
    return not buffer[:10].any() and not buffer[13:].any()

own = {{"blockdraw": blockdraw_case, "stagedraw": stagedraw_case}}[{name!r}]()
print(disagreements(with_digest(own)))
method, args, _ = own()
print(ran_meanwhile(lambda: method(*args)))
if {race!r}:
    print(cells_changed_while_drawing())
"""


@pytest.fixture(scope="module")
def gl_library(tmp_path_factory):
    return glrecord.build(str(tmp_path_factory.mktemp("glrecord")))


@pytest.mark.parametrize("name", ["blockdraw", "stagedraw"])
def test_drawing_from_several_threads(gl_library, name):
    # The race on purpose is left to the other sanitizers: ThreadSanitizer
    # reports it, as it should.
    race = name == "blockdraw" and not UNDER_TSAN
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), gl_library]))
    done = run_python(GL_CHILD.format(here=HERE, name=name, race=race),
                      env={"LD_PRELOAD": preload, "GLRECORD_DIGEST": "1"}, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["0", "True"] + (["True"] if race else [])
