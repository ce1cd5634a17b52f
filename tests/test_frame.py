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
