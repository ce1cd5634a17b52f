"""Leak checks: every method called many times on a working path and on
refusal paths, with no growth of its arguments' reference counts, of None's,
of the interpreter's allocated blocks or of the C heap, beyond what the design
hands out on purpose (records and state buffers of surfloss, RLE run lists and
entry areas of last; store memory lies outside the heap).

The heap figure comes from glibc's mallinfo2; under the sanitizers, whose
allocator replaces glibc's, LeakSanitizer does that part instead.
"""
import ctypes
import gc
import os
import sys
from types import SimpleNamespace

import numpy as np
import pytest

import cellcoef
import kernel_model
import rlearray

CALLS = 400
F32, F64 = np.float32, np.float64

SANITIZED = bool(os.environ.get("QUORAN_SANITIZED"))


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def heap_in_use():
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


# --- arguments of one working call per method, and of refusals --------------

def stats_args():
    return (np.zeros(2100, np.int32),)


def dispatch_args():
    n = 4
    codes = np.full((1, 1, n), 0x0007, np.int16)
    lists = [[rlearray.RleArray(np.full((1, 1, n), 0.5, F32)) for _ in range(6)],
             [rlearray.RleArray(np.ones((1, 1, n), F32)) for _ in range(6)]]
    norms = [np.ones((1, 6), F32) for _ in range(4)]
    ext = [SimpleNamespace(loss=[np.zeros((n, 12), F32, order="F")] * 3),
           SimpleNamespace(max_stab_par=0.25)]
    return (np.zeros(1 + 5 * n, np.int32), np.zeros(2100, np.int32), 1, 0, 0, 0, codes, lists,
            ext, norms)


def last_args():
    shape = (2, 3, 5)
    return (rlearray.RleArray(np.ones(shape, F32)), rlearray.RleArray(np.zeros(shape, F32)),
            np.full(shape, 0x3F, np.int16), 2, 1.0)


def surfloss_args():
    mask = np.zeros((2, 3, 4), np.uint8)
    mask[0, 0, :] = 2
    return (3, 4, mask, np.ones((3, 2, 3, 4), F32), np.ones(3), np.ones(2), np.ones(1), 2.0)


def from_slabs_args():
    # three lines of 100 different values: a run list of 101 records each
    lines = np.arange(300, dtype=F32).reshape(3, 100)
    return ((3, 100), [lines[:2], lines[2:]])


def skincoeff_args():
    import surfloss
    args = surfloss_args()
    count, handle, _ = surfloss.surfloss(*args)
    # The values array stays referenced by the module: keep it out of the counts.
    return (count, handle, 1.0, 2.0)


def blockdraw_args():
    voxels = np.zeros((2, 2, 2), np.uint8)
    voxels[1, 1, 1] = 1
    materials = np.zeros((2, 32), F32)
    materials[1, :2] = 1.0
    return (None, 0.5, 0.5, np.array([2, 2, 2], np.int32), np.ones(3), voxels, materials, 1.0)


def stagedraw_args():
    return (np.array([[-5.0, 5.0]] * 3), np.full((3, 2, 2, 2), 0.5, F32), np.arange(2.0),
            np.arange(2.0), np.arange(2.0), 0.0, 1.0, "line")


def inzidenz_args():
    coords = [np.arange(4.0), np.arange(4.0), np.arange(4.0)]
    boxes = np.array([[0, 2], [0, 2], [0, 2]], F32)
    return (2, 0, 1, 1, 0, 3, 0, 3, coords, boxes, np.zeros((3, 3), np.uint8), 1)


def glarr_args(arrows=0, levels=0):
    coords = [np.arange(4.0), np.arange(4.0), np.arange(4.0)]
    rows = 200
    return (2, 0, 1, 1, 0, 3, 0, 3, coords, np.ones((4, 4), np.uint8),
            np.full((4, 4), 0.25, F32), np.full((4, 4), 0.5, F32), np.zeros((rows, 3), F32),
            np.zeros((rows, 3), F32), np.zeros((rows, 4), F32), np.zeros(rows, np.int32), 1.0,
            np.zeros((4, 4, 10), F32), levels, 1.0, arrows, np.ones((3, 4, 4), F32), 1.0)


def gauss_args():
    band = np.tile([1.0, 4.0, 1.0], (5, 1))
    return (band, np.zeros((5, 2)), 1, 0, 5)


def invmul_args():
    band = np.tile([1.0, 4.0, 1.0], (5, 1))
    return (band, np.zeros((5, 2)), np.ones(5), np.zeros(5), np.ones(5, np.uint8), 1, 0, 5, 1)


def arcfind_args():
    t = np.linspace(0, 1, 6)
    return (np.column_stack([np.cos(t), np.sin(t)]).ravel(), 1e-6)


def viarow_args():
    return (3, np.array([0.5, 1.5, 2.5]), np.arange(3, dtype=np.complex128),
            np.arange(3.0), np.zeros(3, np.complex128), np.zeros(1, np.uint8), 0.0)


def prepare_args():
    return kernel_model.small().args


def step_args():
    small = kernel_model.small()
    fields = np.zeros(small.shape, F32)
    cells = np.array([[2, 1, 2, 2], [3, 2, 2, 3]], np.int32)
    return (small.plan, fields, 0, 2, (cells, np.ones((2, 2))), (cells, np.zeros((2, 2))),
            (cells, np.ones(3), np.zeros((3, 2), np.complex128)), (1, -40.0))


def kernel_fields():
    return (kernel_model.small().plan, np.zeros(kernel_model.small().shape, F32))


class Whole(tuple):
    """A refusal given as the whole argument tuple."""


def replaced(args, index, value):
    args = list(args)
    args[index] = value
    return tuple(args)


# module, method, working arguments, refusals: (index, value) replacements of
# one argument, or Whole argument tuples; and the heap bytes a working call hands out on
# purpose.
CASES = [
    ("cellcoef", "stats", stats_args, [(0, None), (0, np.zeros(3, np.int32)), Whole()], 0),
    ("cellcoef", "dispatch", dispatch_args,
     [(2, 0), (6, np.zeros((1, 1, 4), np.int32)), (7, [[], None]), (9, [None] * 4),
      (0, np.zeros(2, np.int32))], 0),
    ("cellcoef", "last", last_args,
     [(0, None), (2, np.zeros((2, 3, 4), np.int16)), (4, "x")],
     # two entry areas of 6 lines and their run lists
     2 * 6 * 16 + 2 * 6 * 3 * 8),
    ("cellcoef", "settol", lambda: (1e-6,), [Whole(("x",)), Whole()], 0),
    # a build refused after its first slab frees the lists it stored
    ("rlearray", "RleArray.from_slabs", from_slabs_args,
     [(0, (4, 100)), (1, [np.ones((2, 100), F32), np.full((1, 100), np.nan, F32)]),
      (1, [np.arange(200, dtype=F32).reshape(2, 100), np.ones((1, 99), F32)])],
     # the lists of the three lines, with the heap's own words
     3 * (101 * 8 + 16)),
    ("cellcoef", "setrun", lambda: (1000,), [Whole((0,)), Whole(("x",))], 0),
    ("surfloss", "surfloss", surfloss_args,
     [(2, None), (3, np.ones((3, 2, 3, 3), F32)), (1, -1), (0, 0)],
     # the record array of 4 records, 2 state buffers of 2 floats, the handle's entry
     4 * 32 + 2 * 8 + 64),
    ("surfloss", "skincoeff", skincoeff_args, [(1, 12345), (0, 10**6), (2, None)], 0),
    ("blockdraw", "blockdraw", blockdraw_args,
     [(5, None), (6, np.zeros((1, 32), F32)), (3, np.array([2, 2], np.int32))], 0),
    ("stagedraw", "stagedraw", stagedraw_args,
     [(7, "vol"), (2, np.zeros(1)), (0, None)], 0),
    ("fieldplot", "inzidenz", inzidenz_args, [(8, None), (9, None), (0, "x")], 0),
    ("fieldplot", "glarr", glarr_args, [(8, None), (10, None), (0, "x")], 0),
    ("fieldplot", "glarr", lambda: glarr_args(arrows=1), [(21, None)], 0),
    ("fieldplot", "glarr", lambda: glarr_args(levels=3), [(18, -1)], 0),
    ("_bandsolve", "gauss", gauss_args, [(0, None), (1, np.zeros((1, 1))), Whole()], 0),
    ("_bandsolve", "invmul", invmul_args, [(2, None), (3, np.zeros(1)), (5, -1)], 0),
    ("arcfind", "arcfind", arcfind_args, [(0, None), (1, "x")], 0),
    ("viarow", "viarow", viarow_args, [(1, None), (2, np.zeros(1, np.complex128))], 0),
    # a plan is freed with its capsule
    ("yeestep", "prepare", prepare_args,
     [(0, None), (4, [np.ones(3)] * 6), (9, (1, 1)), (5, 0)], 0),
    ("yeestep", "step", step_args,
     [(0, None), (3, -1), (5, (np.array([[0, 99, 0, 0]], np.int32), np.zeros((2, 1)))),
      (4, (np.zeros((2, 4), np.int32), np.ones((1, 2))))], 0),
    ("yeestep", "energy", kernel_fields, [(1, np.zeros(3, F32))], 0),
    ("yeestep", "coefficients",
     lambda: (kernel_model.small().plan, np.array([[2, 1, 2, 2]], np.int32)), [(1, None)], 0),
]


def refusals(args, changes):
    for r in changes:
        yield r if isinstance(r, Whole) else replaced(args, *r)


def watched(args):
    """Arguments and the items of sequence arguments, less the shared ones."""
    found = []
    for a in args:
        found.append(a)
        if isinstance(a, (list, tuple)):
            found.extend(a)
            for item in a:
                if isinstance(item, (list, tuple)):
                    found.extend(item)
    return [o for o in found if not isinstance(o, (int, float, str, type(None)))]


def repeat(method, args, times):
    outcome = None
    for _ in range(times):
        try:
            method(*args)
            outcome = "ok"
        except Exception as e:  # noqa: BLE001 - the outcome is only reported
            outcome = str(e)
    return outcome


def snapshot(objects):
    """Reference counts of `objects`, of None, allocated blocks, heap bytes."""
    return ([sys.getrefcount(o) for o in objects], sys.getrefcount(None),
            sys.getallocatedblocks(), heap_in_use())


def growth(method, args, kept=()):
    """Runs `args` CALLS times after a warm-up; returns (outcome, reference
    count changes of the watched arguments, of None, allocated blocks, heap)."""
    objects = watched(args)
    repeat(method, args, 20)
    gc.collect()
    gc.disable()
    try:
        before = snapshot(objects)
        outcome = repeat(method, args, CALLS)
        after = snapshot(objects)
    finally:
        gc.enable()
    refs = [a - b for a, b in zip(after[0], before[0])]
    changed = [(type(o).__name__, r) for o, r in zip(objects, refs) if r and id(o) not in kept]
    none, blocks, heap = (a - b for a, b in zip(after[1:], before[1:]))
    return outcome, changed, none, blocks, heap


@pytest.fixture(autouse=True)
def default_settings():
    yield
    cellcoef.settol(1e-6)
    cellcoef.setrun(1000)


@pytest.mark.parametrize("module_name, method, make, refused, handed_out", CASES,
                         ids=[f"{c[0]}.{c[1]}-{n}" for n, c in enumerate(CASES)])
def test_no_growth(module_name, method, make, refused, handed_out):
    call = pytest.importorskip(module_name)
    for name in method.split("."):
        call = getattr(call, name)
    args = make()
    kept = {id(args[3])} if method == "surfloss" else set()
    paths = [("working", args, kept, handed_out)]
    paths += [(f"refused {n}", r, set(), 0) for n, r in enumerate(refusals(args, refused))]
    for name, path_args, path_kept, per_call in paths:
        outcome, changed, none, blocks, heap = growth(call, path_args, path_kept)
        where = f"{module_name}.{method}, {name} path ({outcome})"
        assert not changed, f"{where}: argument reference counts grew: {changed}"
        # A reference lost or kept per call moves None's count by CALLS; the
        # frames of the loop move it by a few.
        assert abs(none) < 10, f"{where}: None's reference count changed by {none}"
        assert blocks < CALLS // 10, f"{where}: {blocks} interpreter blocks more"
        if not SANITIZED:
            allowed = CALLS * per_call + 64 * 1024
            assert heap < allowed, f"{where}: heap grew by {heap} bytes, {allowed} allowed"


def test_stores_that_come_and_go_leave_nothing_behind():
    """The store knows each header it initialised (a copy of its 8044 bytes
    and a weak reference to the array) while the array lives: stores made,
    used and dropped one after the other leave nothing behind."""
    args = list(dispatch_args())

    def one_store():
        args[1] = np.zeros(2100, np.int32)
        cellcoef.dispatch(*args)

    for _ in range(20):
        one_store()
    gc.collect()
    before = sys.getallocatedblocks(), heap_in_use()
    for _ in range(CALLS):
        one_store()
    blocks, heap = (now - then for now, then in zip((sys.getallocatedblocks(), heap_in_use()),
                                                    before))
    assert blocks < CALLS // 10, f"{blocks} interpreter blocks more"
    if not SANITIZED:
        assert heap < 64 * 1024, f"heap grew by {heap} bytes over {CALLS} stores"
