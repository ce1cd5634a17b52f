"""Generated and mutated model files: every one ends in a run or in exit status 2
with one line naming what is wrong, before any work, and never in a traceback.

A mutation puts a hostile value at some field of a valid model (another type,
NaN, infinities, huge and tiny numbers, 400-digit integers, lone surrogates,
control characters, deep nesting, unknown and missing fields), or damages the
text (cut short, an integer over Python's digit limit, nesting 100 000 deep).
Models that pass the checks are run in a fresh process (pictures left out; the
time stepping up to 20 000 cells) and must then also meet the published
schema. The CI profile is bounded;
QUORAN_FUZZ=long QUORAN_FUZZ_EXAMPLES=N runs N, and QUORAN_FUZZ_OUTCOMES=1
tallies the endings.
"""
import contextlib
import faulthandler
import functools
import io
import json
import math
import shutil
import sys
import time
from importlib import resources

import pytest
from hypothesis import given, settings, strategies as st

fh = pytest.importorskip("fdtdhost")
jsonschema = pytest.importorskip("jsonschema")
import fuzzing  # noqa: E402
from fdtdhost import app  # noqa: E402
from fdtdhost.__main__ import main  # noqa: E402
from test_host import TINY  # noqa: E402

RUN_CELLS = 200_000          # valid models up to this size are run; larger ones only checked
SIMULATED_CELLS = 20_000      # and time-stepped up to this size, within the watchdog's time
CHECK_SECONDS = 5.0          # the checks of one model file, at most

SHAPES = dict(TINY, shapes=[
    {"shape": "cylinder", "material": "copper", "from": [3, 3, 4.2], "to": [12, 8, 4.8],
     "radius": 0.7},
    {"shape": "sphere", "material": "pec", "centre": [8, 6, 7], "radius": 1.5},
    {"shape": "polygon", "material": "fr4", "points": [[9, 2], [13, 2], [11, 5]],
     "span": [4, 5]},
    {"shape": "wire", "material": "copper", "from": [5, 8, 4], "to": [12, 8, 6]},
    {"shape": "mesh", "material": "copper", "file": "part.stl", "scale": 0.5,
     "offset": [11, 8, 6]}])

DEFAULT = json.loads(resources.files("fdtdhost").joinpath("default_model.json").read_text())

HOSTILE = [None, True, False, 0, -1, 1, 3, 2 ** 31, -2 ** 63, 10 ** 400, 1e308, -1e308,
           math.nan, math.inf, -math.inf, 1e-300, 0.5, -0.5, 1e9, 1e10, 32766, 32767, 100_000,
           "", "x", "\ud800", "a\nb", "pec", "z", "from", [], [0], [1, 2, 3], [[1, 2]], {},
           {"a": 1}, [[[[[[[[[[[[1]]]]]]]]]]]], {"cells": 5, "size": 1.0},
           {"shape": "box", "material": "fr4", "from": [1, 1, 1], "to": [2, 2, 2]}]


def paths(node, prefix=()):
    """Every place in a JSON tree: keys of objects, indices of lists."""
    found = [prefix]
    if isinstance(node, dict):
        for key, value in node.items():
            found += paths(value, prefix + (key,))
    elif isinstance(node, list):
        for i, value in enumerate(node):
            found += paths(value, prefix + (i,))
    return found


def mutate(data, path, how, value):
    data = json.loads(json.dumps(data))
    if not path:
        return value if how == "set" else data
    node = data
    for key in path[:-1]:
        node = node[key]
    last = path[-1]
    if how == "set":
        node[last] = value
    elif how == "delete":
        del node[last]
    elif how == "twice" and isinstance(node, list):
        node.insert(last, node[last])
    elif how == "unknown" and isinstance(node[last], dict):
        node[last]["unknown"] = value
    elif how == "scale" and isinstance(node[last], (int, float)) \
            and not isinstance(node[last], bool):
        node[last] = node[last] * value
    return data


@st.composite
def model_texts(draw):
    data = draw(st.sampled_from([TINY, SHAPES, DEFAULT]))
    for _ in range(draw(st.integers(1, 3))):
        path = draw(st.sampled_from(paths(data)))
        how = draw(st.sampled_from(["set", "set", "delete", "twice", "unknown", "scale"]))
        if how == "scale":      # units mistaken, signs flipped, sizes near the limits
            value = draw(st.sampled_from([1000, 1e-3, -1, 0, 1e6, 1e-6, 2, 0.5, 1e30]))
        else:
            value = draw(st.sampled_from(HOSTILE) | st.floats() | st.integers() | st.text())
        data = mutate(data, path, how, value)
    text = json.dumps(data, ensure_ascii=draw(st.booleans()))
    damage = draw(st.sampled_from(["none"] * 12 + ["cut", "digits", "deep", "bytes"]))
    if damage == "cut":
        text = text[:draw(st.integers(0, len(text)))]
    elif damage == "digits":
        text = text.replace("16", "1" + "6" * 5000, 1)
    elif damage == "deep":
        text = "[" * 100_000 + text + "]" * 100_000
    elif damage == "bytes":
        at = draw(st.integers(0, len(text)))
        return text[:at].encode() + draw(st.binary(min_size=1, max_size=8)) + \
            text[at:].encode()
    return text.encode("utf-8", "surrogatepass")


@functools.lru_cache(maxsize=None)
def schema_errors():
    schema = json.loads(resources.files("fdtdhost").joinpath("model.schema.json").read_text())
    return jsonschema.Draft202012Validator(schema).iter_errors


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    folder = tmp_path_factory.mktemp("model_fuzz")
    trimesh = pytest.importorskip("trimesh")
    trimesh.creation.box(extents=(2, 2, 2)).export(folder / "part.stl")
    return folder


def tally(said):
    ending = fuzzing.OUTCOMES.setdefault("fdtdhost model files", {})
    ending[said] = ending.get(said, 0) + 1
    fuzzing.CALLS["fdtdhost model files"] = fuzzing.CALLS.get("fdtdhost model files", 0) + 1


@settings(max_examples=max(settings().max_examples, 300))
@given(text=model_texts())
def test_model_file_runs_or_names_its_fault(folder, text):
    path, out = folder / "model.json", folder / "out"
    path.write_bytes(text)
    shutil.rmtree(out, ignore_errors=True)
    faulthandler.dump_traceback_later(fuzzing.CALL_TIMEOUT, exit=True, file=sys.__stderr__)
    try:
        start = time.perf_counter()
        try:
            checked = fh.load(path)
        except fh.ModelError:
            checked = None
        assert time.perf_counter() - start < CHECK_SECONDS
        if checked is None:
            err = io.StringIO()
            with contextlib.redirect_stderr(err):
                assert main(["--model", str(path), "--out", str(out)]) == 2
            line = err.getvalue()
            assert line.startswith(f"fdtdhost: model error: {path}: ")
            assert line.count("\n") == 1 and line.endswith("\n") and "Traceback" not in line
            assert not out.exists()
            tally("model error: " + line.split(": ")[3].split("[")[0].split(".")[0].strip())
            return
        assert not list(schema_errors()(fh.read(path).to_json()))
        cells = checked.shape[0] * checked.shape[1] * checked.shape[2]
        if cells > RUN_CELLS:
            tally("checked, too large to run here")
            return
        summary = fh.run(checked, out=str(out), pictures=False,
                         simulate=cells <= SIMULATED_CELLS)
        assert summary["cells"] == cells and app.table(summary).startswith("item")
        tally("ran")
    finally:
        faulthandler.cancel_dump_traceback_later()
