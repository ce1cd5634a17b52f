"""The JSON Schema of the model file, made from the fields of the model's classes.

The package ships it as model.schema.json; `python -m fdtdhost.schema` prints
it (the test suite checks that the shipped file is what this prints). It says
what each field accepts (type, range, required or default); the checks that
relate fields (shapes inside the grid, known materials, the PML and the
lumped elements, the float32 range of the coefficients) only the host makes.
"""
import json
import sys
from dataclasses import MISSING

from . import model as m

SCHEMA_FILE = "model.schema.json"
DRAFT = "https://json-schema.org/draft/2020-12/schema"


def _object(cls, tag=None):
    properties, required = {}, []
    if tag is not None:
        properties[tag] = {"const": cls.TAG}
        required.append(tag)
    for f, name, kind in m._fields(cls):
        prop = dict(kind.schema())
        if f.metadata["doc"]:
            prop["description"] = f.metadata["doc"]
        if f.default is MISSING:
            required.append(name)
        elif f.default is not None:
            prop["default"] = _json_value(f.default, kind)
        properties[name] = prop
    schema = {"type": "object", "properties": properties, "required": required,
              "additionalProperties": False}
    if cls.__doc__:
        schema["description"] = " ".join(cls.__doc__.split())
    return schema


def _json_value(value, kind):
    if hasattr(kind, "write"):
        return kind.write(value)
    if isinstance(value, tuple):
        return list(value)
    return value


def schema():
    """The model file's JSON Schema, as a dict."""
    defs = {}
    for cls in (m.Grid, m.Uniform, m.Graded, m.Material, m.Box, m.Sheet, m.Lumped, m.Via,
                m.Store, m.Skin, m.View, m.FieldView, m.Probe, m.TimeDomain):
        defs[cls.__name__] = _object(cls)
    for cls in m.SHAPES:
        defs[cls.__name__ + "Shape"] = _object(cls, tag="shape")
    root = _object(m.Model)
    return {"$schema": DRAFT, "title": "fdtdhost model file", **root, "$defs": defs}


def text():
    return json.dumps(schema(), indent=1, ensure_ascii=False) + "\n"


if __name__ == "__main__":
    sys.stdout.write(text())
