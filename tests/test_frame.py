"""The module frame: messages per module, the error class, the array test and
the import of NumPy."""
import importlib

import numpy as np
import pytest

from conftest import run_python

ARRAY = np.zeros(8)

# (module, method, too few arguments, a call whose first tested array is not
# an array, the message of that call). fieldplot keeps the parser's own error.
CASES = [
    ("cellcoef", "stats", (), (None,), "Array expected"),
    ("cellcoef", "settol", (), None, None),
    ("surfloss", "surfloss", (1,), (1, 1, None, ARRAY, ARRAY, ARRAY, ARRAY, 1.0),
     "Array expected"),
    ("blockdraw", "blockdraw", (None,),
     (None, 0.0, 0.0, ARRAY, [1.0, 1.0, 1.0], ARRAY, ARRAY, 1.0), "Array expected 1"),
    ("stagedraw", "stagedraw", (ARRAY,),
     (ARRAY, "values", ARRAY, ARRAY, ARRAY, 0.0, 1.0, "line"), "Array expected 0"),
    ("_bandsolve", "gauss", (ARRAY,), (None, ARRAY, 1, 0, 4), "Array expected"),
    ("_bandsolve", "invmul", (), (ARRAY, ARRAY, ARRAY, (0.0,), ARRAY, 1, 0, 4, 0),
     "Array expected"),
    ("arcfind", "arcfind", (), ("points", 0.1), "Array Expected"),
    ("viarow", "viarow", (1,), (1, ARRAY, ARRAY, ARRAY, ARRAY, None, 0.0),
     "Array Expected"),
]

PARSE_MESSAGES = {
    "cellcoef": "Error parsing args",
    "surfloss": "Error parsing args",
    "blockdraw": "Error parsing args",
    "stagedraw": "Error parsing args",
    "_bandsolve": "Error parsing args",
    "arcfind": "Error Parsing Args",
    "viarow": "Error Parsing Args",
}


def call(module, method, args):
    return getattr(importlib.import_module(module), method)(*args)


@pytest.mark.parametrize("module,method,short,bad_array,message", CASES)
def test_messages(module, method, short, bad_array, message):
    with pytest.raises(Exception) as info:
        call(module, method, short)
    assert type(info.value) is Exception
    assert str(info.value) == PARSE_MESSAGES[module]
    if bad_array is not None:
        with pytest.raises(Exception) as info:
            call(module, method, bad_array)
        assert type(info.value) is Exception
        assert str(info.value) == message


def test_fieldplot_keeps_the_parsers_error():
    import fieldplot
    with pytest.raises(TypeError):
        fieldplot.inzidenz()
    with pytest.raises(TypeError):
        fieldplot.glarr(1, 2)


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize("make", [
    lambda: np.asmatrix(np.zeros((2, 2))),
    lambda: np.ma.zeros(4),
    lambda: np.zeros(4).view(type("Sub", (np.ndarray,), {})),
], ids=["matrix", "masked", "subclass"])
def test_ndarray_subclass_fails_the_array_test(make):
    import cellcoef
    with pytest.raises(Exception, match="^Array expected$"):
        cellcoef.stats(make())


def test_standard_error_bound_in_main_is_the_error_class():
    result = run_python("""
        import __main__

        class StandardError(Exception):
            pass

        __main__.StandardError = StandardError
        import cellcoef, arcfind, viarow
        Bound = StandardError
        __main__.StandardError = KeyError   # rebinding later has no effect

        for module, call in [(cellcoef, lambda: cellcoef.stats()),
                             (arcfind, lambda: arcfind.arcfind())]:
            try:
                call()
            except Bound as e:
                print(module.__name__, "bound", type(e).__name__, e)
        try:
            viarow.viarow()
        except Exception as e:      # the direct frame never looks in __main__
            print("viarow", type(e).__name__, e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "cellcoef bound StandardError Error parsing args",
        "arcfind bound StandardError Error Parsing Args",
        "viarow Exception Error Parsing Args",
    ]


@pytest.mark.parametrize("module", ["cellcoef", "fieldplot", "viarow", "blockdraw"])
def test_import_fails_with_numpys_error(tmp_path, module):
    stand_in = tmp_path / "numpy"
    stand_in.mkdir()
    (stand_in / "__init__.py").write_text('raise ImportError("numpy stand-in refuses")\n')
    result = run_python(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        try:
            import {module}
        except ImportError as e:
            print("ImportError", e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ImportError numpy stand-in refuses"


def objects(shape, fields=None):
    """An array of None references, or of records of `fields` references."""
    dtype = np.dtype([(f, object) for f in fields]) if fields else np.dtype(object)
    a = np.empty(shape, dtype)
    a[...] = (None,) * len(fields) if fields else None
    return a


def dispatch_with_store(og):
    from types import SimpleNamespace
    import rlearray
    rows = [rlearray.RleArray(np.full((1, 1, 2), 0.5, np.float32)) for _ in range(6)]
    return (np.zeros(11, np.int32), og, 1, 0, 0, 0, np.full((1, 1, 2), 7, np.int16),
            [rows, rows], [SimpleNamespace(), SimpleNamespace()],
            [np.ones((1, 6), np.float32)] * 4)


# Writers whose element size matches that of an object reference (8 bytes, or
# 16 for a record of two): raw stores into such an array would corrupt its
# references and crash the interpreter when it is released.
@pytest.mark.parametrize("module, method, make, name", [
    ("_bandsolve", "gauss", lambda o: (o, np.zeros((4, 2)), 1, 0, 4), "band"),
    ("_bandsolve", "invmul", lambda o: (np.ones((4, 3)), np.zeros((4, 2)), o, np.zeros(4),
                                        np.ones(4, np.uint8), 1, 0, 4, 0), "rhs"),
    ("viarow", "viarow", lambda o: (4, np.zeros(4), np.zeros(4, complex), np.arange(4.0),
                                    objects(4, "ab"), np.zeros(1), 0.0), "_p"),
    ("cellcoef", "dispatch", lambda o: dispatch_with_store(objects(2100)), "og"),
], ids=["gauss", "invmul", "viarow", "dispatch"])
def test_writers_refuse_arrays_of_objects(module, method, make, name):
    target = objects((4, 3)) if method == "gauss" else objects(4)
    args = make(target)
    with pytest.raises(Exception, match=f"^Array holds objects: {name}$"):
        getattr(importlib.import_module(module), method)(*args)
    for a in args:
        if isinstance(a, np.ndarray) and a.dtype.hasobject:
            assert a.tolist() == objects(a.shape, a.dtype.names).tolist()


def aligned_for_itself(dtype, shape, offset):
    """An array of `dtype` starting `offset` bytes past a 16-byte boundary:
    aligned as NumPy sees it for its own element type (complex64 needs 4
    bytes, bytes and void types 1), not for the type a method reads."""
    count = int(np.prod(shape))
    raw = np.zeros(count * np.dtype(dtype).itemsize + 32, np.uint8)
    start = -raw.ctypes.data % 16 + offset
    a = raw[start:start + count * np.dtype(dtype).itemsize].view(dtype).reshape(shape)
    assert a.flags.aligned
    return a


def last_with_codes(codes):
    import rlearray
    values = rlearray.RleArray(np.ones((2, 3), np.float32))
    return (values, values, codes, 0, 1.0)


def dispatch_with_runs(runs):
    args = list(dispatch_with_store(np.zeros(2100, np.int32)))
    args[0] = runs
    return tuple(args)


# Arrays of another element type of the item size a method reads, aligned for
# their own type only: typed loads and stores through them would be misaligned.
@pytest.mark.parametrize("module, method, make, name", [
    ("_bandsolve", "gauss", lambda: (aligned_for_itself(np.complex64, (4, 3), 4),
                                     np.zeros((4, 2)), 1, 0, 4), "band"),
    ("arcfind", "arcfind", lambda: (aligned_for_itself(np.complex64, 8, 4), 1e-6), "points"),
    ("viarow", "viarow", lambda: (4, np.zeros(4), np.zeros(4, complex), np.arange(4.0),
                                  aligned_for_itself("V16", 4, 4), np.zeros(1), 0.0), "_p"),
    ("cellcoef", "dispatch", lambda: dispatch_with_runs(aligned_for_itself("S4", 11, 1)),
     "runs"),
    ("cellcoef", "last", lambda: last_with_codes(aligned_for_itself("S2", (2, 3), 1)), "codes"),
], ids=["gauss", "arcfind", "viarow", "dispatch", "last"])
def test_typed_arrays_must_be_aligned_for_the_type_read(module, method, make, name):
    args = make()
    before = [a.tobytes() for a in args if isinstance(a, np.ndarray)]
    with pytest.raises(Exception, match=f"^Array not aligned: {name}$"):
        getattr(importlib.import_module(module), method)(*args)
    assert [a.tobytes() for a in args if isinstance(a, np.ndarray)] == before


# The numbers a host shares with the modules, as module constants.
SHARED_NUMBERS = [
    ("cellcoef", "CODE_COMPONENTS", 0x3f), ("cellcoef", "CODE_LOSSY_FIRST", 0x40),
    ("cellcoef", "CODE_LOSSY_SECOND", 0x80), ("cellcoef", "CODE_MULTIGROUP", 0x100),
    ("cellcoef", "CODE_BOTH_PASSES", 0x200), ("cellcoef", "CODE_TAG", 0xc00),
    ("cellcoef", "CODE_TAG_SHIFT", 10), ("cellcoef", "CODE_SPLIT_LOSS", 0x400),
    ("cellcoef", "CODE_LUMPED", 0x800), ("cellcoef", "CODE_FIRST_PASS_DROP", 0xb8),
    ("cellcoef", "CODE_SECOND_PASS_DROP", 0x47), ("cellcoef", "CODE_GROUP_KEEP", 0xaff),
    ("cellcoef", "COMPONENT_COUNT", 6), ("cellcoef", "RUN_RECORD_INTS", 5),
    ("cellcoef", "STORE_HEADER_BYTES", 8044), ("cellcoef", "DEBUG_INSERT_RESULT", 0x100),
    ("cellcoef", "DEBUG_COMPARE", 0x200), ("cellcoef", "DEBUG_VECTOR", 0x400),
    ("cellcoef", "DEBUG_RUN_HEADS", 0xf00),
    ("fieldplot", "NODE_FLOATS", 10), ("blockdraw", "MATERIAL_ROW_FLOATS", 32),
    ("yeestep", "X_OFFSET", 8), ("yeestep", "ROW_ALIGN", 8), ("yeestep", "LOW_PEC_X", 1),
    ("yeestep", "LOW_PEC_Y", 2), ("yeestep", "LOW_PEC_Z", 4), ("yeestep", "HALVES_H", 1),
    ("yeestep", "HALVES_E", 2), ("yeestep", "HALVES_BOTH", 3),
]


@pytest.mark.parametrize("module, name, value", SHARED_NUMBERS,
                         ids=[f"{m}.{n}" for m, n, _ in SHARED_NUMBERS])
def test_shared_numbers(module, name, value):
    assert getattr(importlib.import_module(module), name) == value


@pytest.mark.parametrize("module", ["cellcoef", "fieldplot", "surfloss", "blockdraw",
                                    "stagedraw", "_bandsolve", "arcfind", "viarow", "rlearray",
                                    "yeestep"])
def test_modules_and_methods_explain_themselves(module):
    """help() shows a signature and what the method reads, writes and returns;
    inspect.signature reads the same signature."""
    import inspect
    mod = importlib.import_module(module)
    assert mod.__doc__
    methods = [f for name, f in vars(mod).items() if callable(f) and not name.startswith("_")]
    if module == "rlearray":
        methods = [mod.RleArray.toarray, mod.RleArray.entry]
    assert methods
    for method in methods:
        assert method.__text_signature__ and method.__doc__.strip(), method
        assert inspect.signature(method).parameters
