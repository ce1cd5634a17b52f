"""The model file's published JSON Schema: shipped as generated, met by the
models we ship, and in agreement with the host's own checks."""
import json
import os
import re
from importlib import resources

import pytest

jsonschema = pytest.importorskip("jsonschema")
fh = pytest.importorskip("fdtdhost")
from fdtdhost import schema  # noqa: E402
from test_host import TINY, broken  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture(scope="module")
def validator():
    shipped = resources.files("fdtdhost").joinpath(schema.SCHEMA_FILE).read_text()
    assert shipped == schema.text(), "model.schema.json is stale: python -m fdtdhost.schema"
    data = json.loads(shipped)
    jsonschema.Draft202012Validator.check_schema(data)
    return jsonschema.Draft202012Validator(data)


def readme_models():
    """The JSON model blocks of the README's model-file section."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    section = text[text.index("### Model files"):]
    section = section[:section.index("\n## ")]
    return [json.loads(block) for block in re.findall(r"```json\n(.*?)```", section, re.S)]


def shipped_models():
    default = resources.files("fdtdhost").joinpath("default_model.json").read_text()
    models = [("default", json.loads(default))]
    models += [(f"README {n}", m) for n, m in enumerate(readme_models())]
    examples = os.path.join(ROOT, "examples")
    for name in sorted(os.listdir(examples)):
        if name.endswith(".json"):
            with open(os.path.join(examples, name)) as f:
                models.append((name, json.load(f)))
    return models


@pytest.mark.parametrize("name, data", shipped_models(), ids=lambda v: v if isinstance(v, str)
                         else "")
def test_shipped_models_meet_the_schema(validator, name, data):
    assert [e.message for e in validator.iter_errors(data)] == []
    fh.validate(data)
    assert fh.from_json(data).to_json() == fh.from_json(fh.from_json(data).to_json()).to_json()


SHAPE = {"shape": "cylinder", "material": "copper", "from": [3, 3, 4], "to": [9, 3, 4],
         "radius": 0.5}

# files both refuse: what a field accepts on its own
BOTH_REFUSE = [
    broken(["pml"], 0),
    broken(["pml"], 2.5),
    broken(["pml"], KeyError),
    broken(["name"], ""),
    broken(["name"], "two\nlines"),
    broken(["courant"], 1.5),
    broken(["frequency"], "2.4 GHz"),
    broken(["grid", "x"], []),
    broken(["grid", "x", 0], {"cells": 16}),
    broken(["grid", "x", 0, "size"], 0),
    broken(["grid", "z", 0, "from"], 1e10),
    broken(["grid", "y", 0, "cells"], 100_001),
    broken(["materials"], []),
    broken(["materials", 0, "eps_r"], 0.5),
    broken(["materials", 0, "sigma"], -1),
    broken(["materials", 0, "colour"], [1, 1]),
    broken(["materials", 0, "show"], "yes"),
    broken(["boxes", 0, "from"], [2, 2]),
    broken(["boxes", 0, "to", 2], 1e300 * 10),
    broken(["boxes", 0, "colour"], [1, 1, 1]),
    broken(["sheets", 0, "normal"], "w"),
    broken(["vias", 0, "sides"], 2),
    broken(["vias", 0, "radius"], 0),
    broken(["lumped", 0, "resistance"], 0),
    broken(["store"], {"run_limit": 2 ** 31}),
    broken(["store"], {"tolerance": 2.0}),
    broken(["view", "width"], 8),
    broken(["field", "contours"], 0),
    broken(["view", "turn"], "left"),
    broken(["simulation"], {"max_steps": 0}),
    broken(["simulation"], {"band": [1e9]}),
    broken(["simulation"], {"dft": 2.4e9}),
    broken(["simulation"], {"probes": [{"component": "Ew", "at": [1, 1, 1]}]}),
    broken(["shapes"], [dict(SHAPE, shape="cone")]),
    broken(["shapes"], [{k: v for k, v in SHAPE.items() if k != "radius"}]),
    broken(["shapes"], [dict(SHAPE, axis="z")]),
    broken(["shapes"], [{"shape": "polygon", "material": "fr4", "points": [[0, 0], [1, 1]],
                         "span": [4, 5]}]),
    broken(["shapes"], [{"shape": "mesh", "material": "fr4", "file": "x.stl", "scale": 0}]),
]

# files only the host refuses: checks that relate fields
HOST_ONLY = [
    broken(["boxes", 0, "material"], "gold"),
    broken(["boxes", 0, "to"], [14, 10, 99]),
    broken(["pml"], 6),
    broken(["group_width"], 3),
    broken(["lumped", 0, "to"], [4.5, 6.5, 5.0]),
    broken(["materials", 2, "name"], "air"),
    broken(["grid", "x"], [{"cells": 40000, "size": 1}]),
    broken(["courant"], 1e-300),
    broken(["simulation"], {"band": [5e9, 1e9]}),
    broken(["simulation"], {"port": "load"}),
    broken(["simulation"], {"plane": 99}),
]


@pytest.mark.parametrize("text", BOTH_REFUSE)
def test_schema_and_host_refuse_the_same_files(validator, text):
    data = json.loads(text)
    assert list(validator.iter_errors(data)), "the schema accepts it"
    with pytest.raises(fh.ModelError):
        fh.validate(data)


@pytest.mark.parametrize("text", HOST_ONLY)
def test_checks_only_the_host_makes(validator, text):
    data = json.loads(text)
    assert not list(validator.iter_errors(data))
    with pytest.raises(fh.ModelError):
        fh.validate(data)


def test_schema_describes_every_field(validator):
    defs = validator.schema["$defs"]
    for name, definition in [("Model", validator.schema)] + list(defs.items()):
        for field, prop in definition["properties"].items():
            assert "description" in prop or field == "shape", (name, field)
    assert set(defs["SphereShape"]["required"]) == {"shape", "material", "centre", "radius"}
    assert validator.schema["properties"]["courant"]["default"] == 0.99
    assert TINY["grid"]["x"] and not list(validator.iter_errors(TINY))
