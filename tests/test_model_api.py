"""The model API: Python objects and model files map one to one and share
one validation with the same messages."""
import dataclasses
import json

import numpy as np
import pytest

fh = pytest.importorskip("fdtdhost")
from fdtdhost import model as modelmod  # noqa: E402
from test_host import TINY, broken  # noqa: E402

# TINY written in Python
TINY_MODEL = fh.Model(
    name="tiny patch",
    grid=fh.Grid(x=[fh.Uniform(16, 1.0)], y=[fh.Uniform(12, 1.0)],
                 z=[fh.Graded(3, 2.0, 0.5), fh.Uniform(3, 0.5), fh.Graded(4, 0.5, 2.0)]),
    pml=2,
    materials=[fh.Material("air", 1.0, 0.0, (1, 1, 1), show=False),
               fh.Material("fr4", 4.4, 0.01, (0.2, 0.6, 0.3)),
               fh.Material("copper", 1.0, 5.8e7, (0.9, 0.5, 0.2))],
    boxes=[fh.Box("fr4", (2, 2, 4.0), (14, 10, 5.0))],
    sheets=[fh.Sheet("copper", "z", 3.7, (2, 2), (14, 10)),
            fh.Sheet("copper", "z", 5.2, (7, 3), (12, 9)),
            fh.Sheet("copper", "z", 5.2, (3, 5), (7, 7))],
    lumped=[fh.Lumped((3.5, 5.5, 4.0), (3.5, 5.5, 5.0), 50.0, name="feed")],
    vias=[fh.Via("copper", (4.5, 8.5), 0.6, (4.0, 5.0)),
          fh.Via("copper", (6.5, 8.5), 0.6, (4.0, 5.0))],
    view=fh.View(96, 72),
    field=fh.FieldView(contours=4, height=2.0, arrow_step=2))


def test_python_model_and_model_file_are_the_same_objects():
    assert fh.from_json(TINY) == TINY_MODEL
    assert fh.from_json(TINY_MODEL.to_json()) == TINY_MODEL
    assert json.loads(json.dumps(TINY_MODEL.to_json())) == TINY_MODEL.to_json()
    a, b = fh.validate(TINY), fh.validate(TINY_MODEL)
    for name in ("cells", "shape", "extent", "materials", "boxes", "sheets", "lumped", "vias",
                 "solids", "time_step", "tolerance", "run_limit", "width", "arrow_step"):
        assert getattr(a, name) == getattr(b, name), name


def test_model_is_frozen_and_keeps_tuples():
    with pytest.raises(dataclasses.FrozenInstanceError):
        TINY_MODEL.pml = 3
    box = fh.Box("fr4", [0, 0, 0], [1, 1, 1])
    assert box.from_ == (0, 0, 0) and isinstance(TINY_MODEL.sheets, tuple)
    assert hash(TINY_MODEL) == hash(fh.from_json(TINY))
    # numbers NumPy hands out are numbers
    checked = fh.validate(dataclasses.replace(TINY_MODEL, pml=np.int64(2),
                                              courant=np.float32(0.5)))
    assert checked.pml == 2 and type(checked.pml) is int and checked.courant == 0.5


def replace(model, path, value):
    """`model` with the field at `path` (attribute names and indices) set to `value`."""
    if not path:
        return value
    head, rest = path[0], path[1:]
    if isinstance(head, int):
        items = list(model)
        items[head] = replace(items[head], rest, value)
        return tuple(items)
    return dataclasses.replace(model, **{head: replace(getattr(model, head), rest, value)})


@pytest.mark.parametrize("path, json_path, value, message", [
    (["pml"], ["pml"], 0, "pml: expected an integer from 1 to 100000"),
    (["pml"], ["pml"], True, "pml: expected an integer"),
    (["courant"], ["courant"], "0.9", "courant: expected a number"),
    (["materials", 1, "eps_r"], ["materials", 1, "eps_r"], 0.5,
     "materials[1].eps_r: expected a number from 1 to 1e+09"),
    (["materials", 1, "colour"], ["materials", 1, "colour"], (1, 1),
     "materials[1].colour: expected 3 numbers, got 2"),
    (["materials", 2, "pec"], ["materials", 2, "pec"], True,
     "materials[2]: a pec material takes no eps_r or sigma"),
    (["boxes", 0, "material"], ["boxes", 0, "material"], "gold",
     'boxes[0].material: unknown material "gold"'),
    (["boxes", 0, "from_", 2], ["boxes", 0, "from", 2], 6.0, "boxes[0]: empty along z"),
    (["sheets", 1, "at"], ["sheets", 1, "at"], 12.0, "sheets[1].at: outside the grid"),
    (["grid", "z", 1, "size"], ["grid", "z", 1, "size"], -0.5,
     "grid.z[1].size: expected a number from 1e-09 to 1e+09"),
    (["vias", 1, "sides"], ["vias", 1, "sides"], 2, "vias[1].sides: expected an integer"),
    (["lumped", 0, "resistance"], ["lumped", 0, "resistance"], 0.0,
     "lumped[0].resistance: expected a number from 1e-09"),
    (["group_width"], ["group_width"], 3, "group_width: must divide the 16 cells along x"),
])
def test_python_and_file_get_the_same_message(path, json_path, value, message):
    with pytest.raises(fh.ModelError) as python:
        fh.validate(replace(TINY_MODEL, path, value))
    with pytest.raises(fh.ModelError) as file:
        fh.validate(json.loads(broken(json_path, list(value) if isinstance(value, tuple)
                                      else value)))
    assert str(python.value) == str(file.value)
    assert str(python.value).startswith(message)


def test_pec_keyword_needs_no_material():
    data = json.loads(broken(["sheets", 0, "material"], "pec"))
    checked = fh.validate(data)
    assert checked.materials[-1] == modelmod.PEC_MATERIAL and len(checked.materials) == 4
    assert checked.sheets[0].material == 3 and not checked.sheets[0].marked
    assert len(fh.validate(TINY).materials) == 3      # only where a shape uses it


def test_every_shape_kind_reads_and_writes(tmp_path):
    shapes = [{"shape": "box", "material": "fr4", "from": [2, 2, 4], "to": [6, 6, 5]},
              {"shape": "cylinder", "material": "copper", "from": [3, 3, 4], "to": [3, 9, 4],
               "radius": 0.5},
              {"shape": "sphere", "material": "pec", "centre": [8, 6, 6], "radius": 1.5},
              {"shape": "polygon", "material": "fr4", "points": [[9, 2], [13, 2], [11, 5]],
               "span": [4, 5], "axis": "z"},
              {"shape": "wire", "material": "copper", "from": [5, 8, 4], "to": [12, 8, 6],
               "radius": 0.0},
              {"shape": "mesh", "material": "copper", "file": "part.stl", "scale": 1.0,
               "offset": [0.0, 0.0, 0.0]}]
    pytest.importorskip("trimesh").creation.box(extents=(1, 1, 1)).apply_translation(
        (12, 9, 6)).export(tmp_path / "part.stl")
    path = tmp_path / "model.json"
    path.write_text(broken(["shapes"], shapes))
    model = fh.read(path)
    assert [type(s) for s in model.shapes] == list(modelmod.SHAPES)
    assert model.shapes[-1].file == str(tmp_path / "part.stl")     # beside the model file
    written = model.to_json()["shapes"]
    assert written[:-1] == shapes[:-1] and written[-1]["file"] == str(tmp_path / "part.stl")
    checked = fh.load(path)
    assert [s.path for s in checked.solids] == ["boxes[0]"] + [f"shapes[{n}]" for n in range(6)]


@pytest.mark.parametrize("content, message", [
    (b"solid x\nendsolid x\n", "not a readable STL file"),
    (b"\x00" * 80 + b"\xff\xff\xff\x7f", "not a readable STL file"),
    (None, "not a closed surface"),
])
def test_stl_file_that_cannot_be_used(tmp_path, content, message):
    trimesh = pytest.importorskip("trimesh")
    path = tmp_path / "part.stl"
    if content is None:
        box = trimesh.creation.box(extents=(2, 2, 1))
        box.update_faces(np.arange(len(box.faces)) != 0)     # one facet missing
        box.apply_translation((8, 6, 5))
        box.export(path)
    else:
        path.write_bytes(content)
    model = dataclasses.replace(TINY_MODEL, shapes=[fh.Mesh("copper", str(path))])
    with pytest.raises(fh.ModelError, match=rf"^shapes\[0\]\.file: {message}"):
        fh.validate(model)
    with pytest.raises(fh.ModelError, match=r"^shapes\[0\]\.file: not a regular file"):
        fh.validate(dataclasses.replace(model, shapes=[fh.Mesh("copper", "/dev/zero")]))


def test_file_structure_errors_name_the_field():
    cases = [(broken(["shapes"], [{"material": "fr4"}]), "shapes[0].shape: missing"),
             (broken(["boxes", 0, "corner"], 1), "boxes[0].corner: unknown field"),
             (broken(["grid", "x"], {"cells": 4}), "grid.x: expected a list"),
             (broken(["view"], [640, 480]), "view: expected an object")]
    for text, message in cases:
        with pytest.raises(fh.ModelError, match="^" + message.replace("[", r"\[")):
            fh.validate(json.loads(text))
    with pytest.raises(fh.ModelError, match=r"^boxes\[0\]: expected Box"):
        fh.validate(dataclasses.replace(TINY_MODEL, boxes=[{"material": "fr4"}]))
