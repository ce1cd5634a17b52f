"""Every method of every module, and the host's RLE type, called with generated
hostile arguments.

Each call must return or raise the module's error, and must never write
outside its arrays, change anything when it refuses, or leak a reference
(tests/fuzzing.py). The number of examples comes from the hypothesis profile
chosen in conftest.py: fixed and bounded in CI, QUORAN_FUZZ=long for a longer,
randomised run.
"""
import importlib

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import fuzzing
import kernel_model
from fuzzing import Any, Arr, Attrs, Fixed, Int, Num, Seq, Text

F32, F64, I16, I32, U8, C128 = (np.float32, np.float64, np.int16, np.int32, np.uint8,
                                np.complex128)


def small_ints(hi):
    return lambda rng, a, s: rng.integers(0, hi + 1, a.shape)


def mask_bits(rng, a, s):
    return rng.integers(0, 8, a.shape) | (rng.integers(0, 2, a.shape) << 5)


CODES = np.array([0, 0x7, 0x3F, 0x3, 0x1, 0x47, 0x87, 0x207, 0x238, 0x407, 0x447, 0x807,
                  0x847, 0xC07, 0x107, 0x3F | 0x200 | 0x400], np.int16)


def code_words(rng, a, s):
    """Code words: one for every cell, or each cell its own."""
    if rng.random() < 0.5:
        return CODES[rng.integers(0, len(CODES))]
    return CODES[rng.integers(0, len(CODES), a.shape)]


def ascending(rng, a, s):
    return np.sort(rng.uniform(-2, 2, a.shape), axis=None).reshape(a.shape)


MAGIC = np.frombuffer(np.uint32(0x12349876).tobytes(), np.uint8)


class LiveStore:
    """A store in use for the whole run, whose header the hostile ones copy:
    taking a copy would hand out its memory again and overwrite its vectors."""

    def __init__(self):
        import store_lines
        self.og = np.zeros(2100, np.int32)
        self.records = [store_lines.store_line(self.og, values)
                        for values in ([5.0] * 3, [0.5] * 7)]
        self.header = self.og.view(np.uint8)[:8044].copy()

    def check(self):
        from store_lines import floats_at
        for (record,), value in zip(self.records, (5.0, 0.5)):
            assert (floats_at(record[2], 6 * record[1]) == value).all(), "a live store was overwritten"


LIVE_STORE = []


def live_store():
    if not LIVE_STORE:
        LIVE_STORE.append(LiveStore())
    return LIVE_STORE[0]


def store_header(rng, a, s):
    """Mostly zeros (a new store) or a store already in use; sometimes a header
    the store never left there: garbage under its magic word, a byte copy of a
    live store's header, or that copy with its fields shifted a few bytes."""
    kind = rng.random()
    if kind < 0.45:
        return 0
    raw = a.view(np.uint8).reshape(-1) if a.flags.c_contiguous else None
    if raw is None or raw.size < 4:
        return None
    if kind < 0.65:
        import store_lines
        raw[:] = 0
        try:
            store_lines.store_line(a, rng.uniform(-2, 2, 3))
        except Exception:
            pass  # a layout the store refuses
    elif kind < 0.75:
        raw[:4] = MAGIC
    else:
        header = live_store().header
        if kind >= 0.9:
            header = np.concatenate([MAGIC, np.roll(header[4:], -4 * int(rng.integers(1, 4)))])
        count = min(raw.size, header.size)
        raw[:count] = header[:count]
    return None


def materials(rng, a, s):
    values = rng.choice([0.0, 1.0, -1.0, 0.5, 2.0, np.nan, 1234.0], a.shape)
    return values.astype(np.float32)


def rle_arrays(shape_of):
    """Plausible RLE arrays of the host's type, when the host type exists."""

    def make(sizes, rng):
        rlearray = importlib.import_module("rlearray")
        kind = getattr(rlearray, "RleArray", None)
        shape = shape_of(sizes)
        values = rng.choice([0.0, 1.0, 0.5, 2.0, -1.0], shape).astype(np.float32)
        if kind is None or 0 in shape:
            return values
        try:
            return kind(values)
        except Exception:
            return values

    return Fixed(make)


def skin_handle(sizes, rng):
    """A handle handed out by surfloss in this process."""
    import surfloss
    mask = np.full((2, 2, 3), 7, np.uint8)
    values = np.ones((3, 2, 2, 3), np.float32)
    spacing = np.ones(3)
    try:
        return surfloss.surfloss(1, 64, mask, values, spacing, spacing, spacing, 2.0)[1]
    except Exception:
        return 0


def any_int(rng):
    return int(rng.choice(fuzzing.HOSTILE_INTS)) * int(rng.choice([1, 8, 16, 4096]))


def line(s):
    return s["G"] * s["U"]


def index_below(size):
    """An index inside the sizes' range, now and then one step outside."""
    return Fixed(lambda s, r: int(r.integers(-1, s[size] + 1)) if r.random() < 0.1
                 else int(r.integers(0, max(s[size], 1))), any_int)


COEF_ROWS = [Seq([rle_arrays(lambda s: (s["Z"], s["Y"], line(s)))] * 6),
             Seq([rle_arrays(lambda s: (s["Z"], s["Y"], line(s)))] * 12)]
EXT = Seq([Attrs({"loss": Seq([Arr(F32, lambda s: (line(s), 12)), Arr(F32, lambda s: (s["Y"], 12)),
                               Arr(F32, lambda s: (s["Z"], 12))])}),
           Attrs({"max_stab_par": Num(0.1, 10.0)})])
NORMS = Seq([Arr(F32, lambda s: (s["Y"], 6 * s["G"])), Arr(F32, lambda s: (s["Z"], 6 * s["G"])),
             Arr(F32, lambda s: (s["Y"], 6)), Arr(F32, lambda s: (s["Z"], 6))])
# Plane windows lie inside a grid of WINDOW nodes along every axis.
WINDOW = 8
COORDS = Seq([Arr(F64, lambda s: (WINDOW,), ascending)] * 3)
AXES = [Fixed(lambda s, r, k=k: s["P"][k], any_int) for k in range(3)]

def kernel_input(n):
    """Prepare's argument n of the small kernel model, now and then with a few
    entries moved (records outside the store, broken tiling, bad codes)."""

    def fill(rng, a, s):
        values = np.array(kernel_model.small().args[n], copy=True)
        if values.shape != a.shape:
            return None
        if rng.random() < 0.3:
            flat = values.reshape(-1)
            for _ in range(int(rng.integers(1, 4))):
                p = int(rng.integers(flat.size))
                flat[p] = flat[p] + rng.choice([-64, -4, -1, 1, 4, 1 << 20, -(1 << 20)])
        return values

    return Arr(np.asarray(kernel_model.small().args[n]).dtype.type,
               lambda s: np.shape(kernel_model.small().args[n]), fill)


def kernel_spacing(n):
    return Arr(F64, lambda s: kernel_model.small().args[4][n].shape,
               lambda rng, a, s: kernel_model.small().args[4][n])


def kernel_value(n):
    """Prepare's int argument n of the small model (group width, terms, tail)."""
    return Fixed(lambda s, r: kernel_model.small().args[n], any_int)


def kernel_cells(size):
    return Arr(I32, lambda s: (s[size], 4), lambda rng, a, s: kernel_model.cells(rng, a.shape[0]))


def kernel_plan():
    return Fixed(lambda s, r: kernel_model.small().plan)


def step_count(rng):
    """Counts the kernel refuses: negative, or beyond its limit."""
    return int(rng.choice([-1, -2**31, 2**31, 2**63 - 1, 2**64, 10**30]))


KERNEL_FIELDS = Arr(F32, lambda s: kernel_model.small().shape)


# module, method, argument slots
METHODS = [
    ("cellcoef", "stats", [Arr(U8, lambda s: (8000 + 16 * s["N"],))]),
    ("cellcoef", "dispatch", [
        Arr(I32, lambda s: (1 + 5 * s["U"] + s["N"],)),
        Arr(U8, lambda s: (8048 + 64 * s["N"],), store_header),
        Fixed(lambda s, r: s["G"], any_int), Int(0, 1), index_below("Z"), index_below("Y"),
        Arr(I16, lambda s: (s["Z"], s["Y"], line(s)), code_words),
        Seq(COEF_ROWS), EXT, NORMS, Int(0, 1),
        Fixed(lambda s, r: 1.0 if r.random() < 0.8 else float(r.uniform(0.5, 2.0)),
              lambda r: float(r.choice(fuzzing.HOSTILE_FLOATS))), Int(0, 2)]),
    ("cellcoef", "last", [
        rle_arrays(lambda s: (s["Z"], s["Y"], s["X"])),
        rle_arrays(lambda s: (s["Z"], s["Y"], s["X"])),
        Arr(I16, lambda s: (s["Z"], s["Y"], s["X"]), code_words), Int(0, 7), Num(0.5, 4.0)]),
    ("cellcoef", "settol", [Num(0.0, 1e-3)]),
    ("cellcoef", "setrun", [Int(-2, 2000)]),
    ("fieldplot", "inzidenz", [
        *AXES, Fixed(lambda s, r: int(r.integers(0, WINDOW)), any_int),
        Fixed(lambda s, r: s["u0"], any_int), Fixed(lambda s, r: s["u0"] + s["U"], any_int),
        Fixed(lambda s, r: s["v0"], any_int), Fixed(lambda s, r: s["v0"] + s["V"], any_int),
        COORDS, Arr(F32, lambda s: (3, 2 * s["N"]), lambda r, a, s: r.uniform(-1, WINDOW, a.shape)),
        Arr(U8, lambda s: (WINDOW, WINDOW)), Int(0, 1)]),
    ("fieldplot", "glarr", [
        *AXES, Fixed(lambda s, r: int(r.integers(0, WINDOW)), any_int),
        Fixed(lambda s, r: s["u0"], any_int), Fixed(lambda s, r: s["u0"] + s["U"], any_int),
        Fixed(lambda s, r: s["v0"], any_int), Fixed(lambda s, r: s["v0"] + s["V"], any_int),
        COORDS, Arr(U8, lambda s: (WINDOW, WINDOW), small_ints(1)),
        Arr(F32, lambda s: (s["U"] + 1, s["V"] + 1)),
        Arr(F32, lambda s: (s["U"] + 1, s["V"] + 1)),
        Arr(F32, lambda s: (10 * s["N"], 3)), Arr(F32, lambda s: (10 * s["N"], 3)),
        Arr(F32, lambda s: (10 * s["N"], 4)), Arr(I32, lambda s: (s["N"] + 1,)),
        Num(), Arr(F32, lambda s: (WINDOW, WINDOW, 10)), Int(-1, 4), Num(0, 1), Int(0, 1),
        Arr(F32, lambda s: (3, s["U"] + 1, s["V"] + 1)), Num()]),
    ("surfloss", "surfloss", [
        Int(1, 4), Int(0, 40), Arr(U8, lambda s: (s["Z"], s["Y"], s["X"]), mask_bits),
        Arr(F32, lambda s: (3, s["Z"], s["Y"], s["X"]), kept=True),
        Arr(F64, lambda s: (s["X"],)), Arr(F64, lambda s: (s["Y"],)),
        Arr(F64, lambda s: (s["Z"],)), Num(0.0, 3.0)]),
    ("surfloss", "skincoeff", [Int(0, 12), Fixed(skin_handle, any_int), Num(), Num()]),
    ("blockdraw", "blockdraw", [
        Any(), Num(-1, 2), Num(-1, 2),
        Arr(I32, lambda s: (3,), lambda r, a, s: [s["X"], s["Y"], s["Z"]]),
        Arr(F64, lambda s: (3,)),
        Arr(U8, lambda s: (s["Z"], s["Y"], s["X"]), lambda r, a, s: r.integers(0, max(s["N"], 1), a.shape)),
        Arr(F32, lambda s: (s["N"], 32), materials), Num(0, 1)]),
    ("stagedraw", "stagedraw", [
        Arr(F64, lambda s: (3, 2), lambda r, a, s: [[-1, 9]] * 3),
        Arr(F32, lambda s: (3, s["Z"], s["Y"], s["X"])),
        Arr(F64, lambda s: (s["X"],), ascending), Arr(F64, lambda s: (s["Y"],), ascending),
        Arr(F64, lambda s: (s["Z"],), ascending), Num(-2, 0), Num(0, 2),
        Text(("line", "conc", "vol", "surf", "", "volume"))]),
    ("_bandsolve", "gauss", [
        Arr(F64, lambda s: (s["N"], 2 * s["H"] + 1)), Arr(F64, lambda s: (s["N"], s["H"] + 1)),
        Fixed(lambda s, r: s["H"], any_int), Int(), Fixed(lambda s, r: s["N"], any_int)]),
    ("_bandsolve", "invmul", [
        Arr(F64, lambda s: (s["N"], 2 * s["H"] + 1)), Arr(F64, lambda s: (s["N"], s["H"] + 1)),
        Arr(F64, lambda s: (s["N"],)), Arr(F64, lambda s: (s["N"],)),
        Arr(U8, lambda s: (s["N"],), small_ints(1)),
        Fixed(lambda s, r: s["H"], any_int), Int(), Fixed(lambda s, r: s["N"], any_int),
        Int(0, 1)]),
    ("arcfind", "arcfind", [Arr(F64, lambda s: (2 * s["N"],)), Num(0, 1)]),
    ("viarow", "viarow", [
        Fixed(lambda s, r: s["N"], any_int), Arr(F64, lambda s: (s["N"],)),
        Arr(C128, lambda s: (s["N"],)), Arr(F64, lambda s: (s["N"],), ascending),
        Arr(C128, lambda s: (s["N"],)), Arr(U8, lambda s: (s["N"],)), Num()]),
    ("yeestep", "prepare", [
        kernel_input(0), kernel_input(1), kernel_input(2), kernel_input(3),
        Seq([kernel_spacing(n) for n in range(6)]), kernel_value(5), kernel_value(6),
        kernel_value(7), Int(0, 1), Fixed(lambda s, r: kernel_model.small().args[9]), Int(0, 7)]),
    ("yeestep", "step", [
        kernel_plan(), KERNEL_FIELDS, Fixed(lambda s, r: int(r.integers(0, 100)), any_int),
        Fixed(lambda s, r: s["U"], step_count),
        Seq([kernel_cells("V"), Arr(F64, lambda s: (s["U"], s["V"]))], tuple),
        Seq([kernel_cells("V"), Arr(F64, lambda s: (s["U"], s["V"]))], tuple),
        Seq([kernel_cells("V"), Arr(F64, lambda s: (s["N"],)), Arr(C128, lambda s: (s["N"], s["V"]))],
            tuple),
        Seq([Int(1, 5), Num(-60.0, 0.0)], tuple),
        Fixed(lambda s, r: 3 if r.random() < 0.8 else int(r.integers(1, 3)), any_int), Int(0, 3)]),
    ("yeestep", "energy", [kernel_plan(), KERNEL_FIELDS, Int(0, 3)]),
    ("yeestep", "reset", [kernel_plan()]),
    ("yeestep", "coefficients", [kernel_plan(), kernel_cells("N")]),
    ("yeestep", "layout", [kernel_plan()]),
]

# Errors a module may raise besides its own: fieldplot keeps the parser's.
PARSER_ERRORS = {"fieldplot": (TypeError, OverflowError)}


class CellcoefSettings:
    """Reads the tolerance and the run length limit of cellcoef back through
    their effects on dispatch: the runs of a line of equal codes are cut at
    the limit, and of two runs whose vectors differ by a relative 5e-4 the
    second folds into the first only under a tolerance above that. The store
    array is kept: every reading finds its vectors again (the second run's
    differs a little each time), so readings take no new store memory."""

    RUN_LIMIT, TOLERANCE = 7, 1e-3

    def __init__(self, setter):
        import cellcoef
        import rlearray
        self.cellcoef, self.rlearray = cellcoef, rlearray
        cellcoef.setrun(self.RUN_LIMIT)
        cellcoef.settol(self.TOLERANCE)
        self.og = np.zeros(2100, np.int32)
        self.readings = 0
        self.setter = setter
        self.seen = self.read()

    def dispatch(self, codes, pm):
        n = len(codes)
        rows = [self.rlearray.RleArray(np.array(pm, F32).reshape(1, 1, n))] * 6
        ones = [self.rlearray.RleArray(np.ones((1, 1, n), F32))] * 6
        runs = np.zeros(1 + 5 * n, np.int32)
        self.cellcoef.dispatch(runs, self.og, 1, 0, 0, 0, np.array(codes, np.int16).reshape(1, 1, n),
                               [rows, ones], [None, None], [np.ones((1, 6), F32)] * 4)
        return runs[1:runs[0]].reshape(-1, 5)

    def read(self):
        self.readings += 1
        runs = len(self.dispatch([0x0007] * 64, [0.5] * 64))
        apart = 0.5 * (1 + 5e-4 + 1e-9 * self.readings)
        records = self.dispatch([0x0007] * 2 + [0x0107] * 2, [0.5] * 2 + [apart] * 2)
        return runs, records[0, 2] == records[-1, 2]

    def unchanged(self):
        return self.read() == self.seen

    def accept(self):
        if self.setter:
            self.seen = self.read()


@pytest.fixture
def default_settings():
    import cellcoef
    yield
    cellcoef.settol(1e-6)
    cellcoef.setrun(1000)


# Methods with many arguments and paths get more examples than the profile's.
WEIGHTS = {"prepare": 2, "step": 3, "dispatch": 3, "glarr": 3, "last": 2, "surfloss": 2, "blockdraw": 2, "inzidenz": 2,
           "invmul": 2}


@pytest.mark.usefixtures("default_settings")
@pytest.mark.parametrize("module_name, method, slots", METHODS,
                         ids=[f"{m}.{n}" for m, n, _ in METHODS])
def test_hostile_calls(module_name, method, slots):
    module = importlib.import_module(module_name)
    allowed = PARSER_ERRORS.get(module_name, ())
    examples = settings().max_examples * WEIGHTS.get(method, 1)
    # settol and setrun change the settings when they succeed.
    probe = CellcoefSettings(method in ("settol", "setrun")) if module_name == "cellcoef" else None

    @settings(max_examples=examples)
    @given(fuzzing.calls(slots))
    def run(call):
        args, watched, kept, clean = call
        fuzzing.checked_call(module, method, args, watched, allowed, probe, kept, clean)

    if module_name in ("blockdraw", "stagedraw"):
        # The drawing calls go to a real context (headless Mesa), not to
        # libGL's no-op stubs.
        from fdtdhost.gl import Canvas
        with Canvas(32, 32):
            run()
    else:
        run()
    if LIVE_STORE:
        LIVE_STORE[0].check()


# The host's RLE type is a Python type: it refuses with Python's own errors.
RLE_ERRORS = (ValueError, TypeError, IndexError, OverflowError)


def rle_values(rng):
    """Values for RleArray(): plausible arrays of 1 to 10 dimensions, and
    hostile ones (no dimensions, too many, empty, too long a line, NaN,
    objects, strings, nested lists)."""
    kind = int(rng.integers(8))
    if kind == 0:
        return fuzzing.any_object(rng)
    if kind == 1:
        ndim = int(rng.integers(0, 12))
        return rng.uniform(-2, 2, tuple(int(n) for n in rng.integers(0, 3, ndim)))
    if kind == 2:
        return np.ones((2, int(rng.choice([32766, 32767, 32768, 40000]))), F32)
    if kind == 3:
        values = rng.choice([0.0, 1.0, np.nan, np.inf, 3e38, 1e-40], (3, 4))
        with np.errstate(over="ignore"):  # 3e38 overflows float16 on purpose
            return values.astype(rng.choice([F32, F64, np.float16]))
    if kind == 4:
        return [[1.0, None], [2.0, 3.0]] if rng.random() < 0.5 else [["a", "b"]]
    ndim = int(rng.integers(1, 5))
    shape = tuple(int(n) for n in rng.integers(1, 5, ndim))
    values = rng.choice([0.0, 1.0, 0.5, -2.0], shape)
    return values if kind < 7 else values.astype(rng.choice([np.int8, np.uint16, np.bool_]))


def rle_index(rng, array):
    kind = int(rng.integers(5))
    outer = array.ndim - 1
    if kind == 0:
        return fuzzing.any_object(rng)
    if kind == 1:
        return tuple(int(rng.choice(fuzzing.HOSTILE_INTS)) * int(rng.choice([1, -1]))
                     for _ in range(outer))
    if kind == 2:
        return tuple(0 for _ in range(outer + int(rng.choice([-1, 1]))))
    return tuple(int(rng.integers(-1, n + 1)) for n in array.shape[:-1])


def rle_slabs(rng, values):
    """(shape, slabs) for RleArray.from_slabs: `values` cut along its first
    axis, maybe as slabs of lines, or a shape, slabs or a slab of no
    particular kind."""
    values = np.asarray(values) if isinstance(values, np.ndarray) else values
    shape = values.shape if isinstance(values, np.ndarray) else fuzzing.any_object(rng)
    if isinstance(values, np.ndarray) and values.ndim >= 1 and len(values):
        cuts = np.sort(rng.integers(0, len(values) + 1, int(rng.integers(0, 4))))
        slabs = np.split(values, cuts)
    else:
        slabs = [values]
    kind = int(rng.integers(6))
    if kind == 0:
        shape = tuple(int(rng.choice(fuzzing.HOSTILE_INTS)) for _ in range(int(rng.integers(0, 4))))
    elif kind == 1:
        slabs = fuzzing.any_object(rng)
    elif kind == 2:
        slabs = list(slabs) + [fuzzing.any_object(rng)]
    elif kind == 3 and isinstance(values, np.ndarray) and values.ndim >= 2 and values.size:
        slabs = [s.reshape(-1, values.shape[-1]) for s in slabs]     # slabs of lines
    return shape, slabs


# hostile values such as 1e300 overflow the cast to float32 on purpose
@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
@pytest.mark.parametrize("operation", ["new", "slabs", "entry", "toarray", "attributes",
                                       "last"])
def test_hostile_rle_arrays(operation):
    rlearray = importlib.import_module("rlearray")
    kind = rlearray.RleArray

    @settings(max_examples=settings().max_examples)
    @given(st.integers(0, 2**32 - 1))
    def run(seed):
        rng = np.random.default_rng(seed)
        values = rle_values(rng)
        if operation == "new":
            fuzzing.checked_call(rlearray, "RleArray", (values,), [], RLE_ERRORS)
            return
        if operation == "slabs":
            shape, slabs = rle_slabs(rng, values)
            built = fuzzing.checked_call(kind, "from_slabs", (shape, slabs), [], RLE_ERRORS)
            if isinstance(built, kind):
                whole = kind(np.concatenate([np.ravel(s) for s in slabs]).reshape(shape))
                assert built.shape == whole.shape and built.used_bytes == whole.used_bytes
                np.testing.assert_array_equal(built.toarray(), whole.toarray())
            return
        try:
            array = kind(values)
        except RLE_ERRORS:
            return
        if operation == "entry":
            fuzzing.checked_call(array, "entry", (rle_index(rng, array),), [], RLE_ERRORS)
        elif operation == "toarray":
            result = fuzzing.checked_call(array, "toarray", (), [], RLE_ERRORS)
            assert result.shape == array.shape and result.dtype == F32
            fuzzing.checked_call(np, "asarray", (array,), [], RLE_ERRORS)
        elif operation == "attributes":
            assert array.nlines * 16 == array.nbytes <= array.used_bytes
            assert 0 <= array.shared_lines < array.nlines
        else:
            codes = np.zeros(array.shape, np.int16)
            fuzzing.checked_call(importlib.import_module("cellcoef"), "last",
                                 (array, array, codes, int(rng.integers(0, 7)), 1.0), [])

    run()
