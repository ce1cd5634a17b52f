"""The model: what a user describes, in Python or in a JSON file, and its checks.

A model is a tree of frozen dataclasses (`Model`, `Grid`, `Material`, the
shapes, ...). The JSON file maps onto it one to one: an object of the file is
an object of the tree, a field of the same name (`from` becomes `from_`,
a Python keyword). `load` reads a file into that tree, and `validate` checks a
tree however it was built, with the same messages, each naming the field.

Lengths are in millimetres, conductivities in S/m, resistances in ohm,
frequencies in Hz. Every number must be finite and lie in the range given
beside its field, and the checks of `validate` also bound what the phases
derive from the numbers (the time step and the float32 coefficients), so the
rest of the host works on a model it can trust. `validate` returns a
`Checked` model: names resolved to indices, axes to numbers, the grid's cell
sizes worked out; the phases read that.
"""
import dataclasses
import json
import math
import numbers
import os
import stat
from dataclasses import MISSING, dataclass, field
from importlib import resources
from typing import Optional, Tuple

AXES = "xyz"
DEFAULT_MODEL = "default_model.json"
MAX_FILE_BYTES = 64 * 1024 * 1024       # a model file, an STL file
MAX_AXIS_CELLS = 100_000
MAX_LINE_CELLS = 32766                   # cells along x: one RLE line, int16 record counts
MAX_LINES = 2 ** 31 // 16 - 1            # y * z lines: the RLE entry area's int32 size
MAX_CELLS = 400_000_000                  # what fits this machine: the capacity estimate
MAX_SHAPES = 100_000                     # boxes, shapes, sheets and vias together
MAX_PAINTED = 2_000_000_000              # cells visited by voxelisation, over all shapes
MAX_TRIANGLES = 2_000_000
MAX_TEXT = 1000
COORD_LIMIT = 1e9                        # mm, every coordinate
SIZE_RANGE = (1e-9, 1e9)                 # mm, a cell
FLOAT32_SAFE = 1e30                      # derived coefficients stay within +-this (and
                                         # above 1/this where not zero) in float32
FLOAT32_MAX = 3.0e38
PEC = "pec"                              # the perfect conductor's material keyword
PEC_COLOUR = (0.7, 0.7, 0.75)


class ModelError(Exception):
    """A model that cannot be used; the message names the field."""


# -- field kinds: each checks a value at a path and returns it normalised,
#    and says what it accepts as a JSON Schema fragment

def _fail(path, what):
    raise ModelError(f"{path}: {what}" if path else what)


def _quote(text):
    return json.dumps(text, ensure_ascii=False)


def _bound(value):
    return f"{value:g}" if isinstance(value, float) else str(value)


@dataclass(frozen=True)
class Real:
    low: float = -COORD_LIMIT
    high: float = COORD_LIMIT
    above: bool = False            # low itself excluded

    def check(self, value, path):
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            _fail(path, "expected a number")
        # compared before any conversion: a 400-digit int compares exactly
        if value != value or value in (math.inf, -math.inf):
            _fail(path, "expected a finite number")
        if value < self.low or (self.above and value == self.low) or value > self.high:
            _fail(path, f"expected a number {'above' if self.above else 'from'} "
                        f"{_bound(self.low)}{' and at most' if self.above else ' to'} "
                        f"{_bound(self.high)}")
        return float(value)

    def schema(self):
        s = {"type": "number", "maximum": self.high}
        s["exclusiveMinimum" if self.above else "minimum"] = self.low
        return s


@dataclass(frozen=True)
class Integer:
    low: int = 0
    high: int = 2 ** 31 - 1

    def check(self, value, path):
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            _fail(path, "expected an integer")
        if isinstance(value, numbers.Integral):
            value = int(value)
        elif not (math.isfinite(value) and float(value).is_integer()):
            _fail(path, "expected an integer")
        if not self.low <= value <= self.high:
            _fail(path, f"expected an integer from {self.low} to {self.high}")
        return int(value)

    def schema(self):
        return {"type": "integer", "minimum": self.low, "maximum": self.high}


CONTROL = "".join(map(chr, range(32))) + "\x7f"


@dataclass(frozen=True)
class Text:
    def check(self, value, path):
        if not isinstance(value, str) or not value:
            _fail(path, "expected a non-empty string")
        if len(value) > MAX_TEXT:
            _fail(path, f"longer than {MAX_TEXT} characters")
        if any(c in CONTROL for c in value):
            _fail(path, "holds a control character")
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            _fail(path, "holds a lone surrogate")
        return str(value)

    def schema(self):
        return {"type": "string", "minLength": 1, "maxLength": MAX_TEXT,
                "pattern": "^[^\\u0000-\\u001f\\u007f]*$"}


@dataclass(frozen=True)
class Flag:
    def check(self, value, path):
        if not isinstance(value, bool):
            _fail(path, "expected true or false")
        return value

    def schema(self):
        return {"type": "boolean"}


@dataclass(frozen=True)
class Choice:
    values: Tuple[str, ...] = tuple(AXES)

    def check(self, value, path):
        if not isinstance(value, str) or value not in self.values:
            _fail(path, "expected " + ", ".join(_quote(v) for v in self.values[:-1])
                  + f" or {_quote(self.values[-1])}")
        return value

    def schema(self):
        return {"enum": list(self.values)}


def _items(value, path, kind="a list"):
    """A list, or a tuple or array the Python API was given."""
    if isinstance(value, (str, bytes, dict)) or not hasattr(value, "__len__") \
            or not hasattr(value, "__iter__"):
        _fail(path, f"expected {kind}")
    return list(value)


@dataclass(frozen=True)
class Point:
    """A fixed number of reals, such as [x, y, z]."""
    dims: int = 3
    each: Real = Real()

    def check(self, value, path):
        items = _items(value, path)
        if len(items) != self.dims:
            _fail(path, f"expected {self.dims} numbers, got {len(items)}")
        return tuple(self.each.check(v, f"{path}[{i}]") for i, v in enumerate(items))

    def schema(self):
        return {"type": "array", "items": self.each.schema(),
                "minItems": self.dims, "maxItems": self.dims}


@dataclass(frozen=True)
class Points:
    """A list of 2-D points: a polygon's outline."""
    least: int = 3
    most: int = 100_000

    def check(self, value, path):
        items = _items(value, path)
        if not self.least <= len(items) <= self.most:
            _fail(path, f"expected {self.least} to {self.most} points, got {len(items)}")
        return tuple(Point(2).check(p, f"{path}[{i}]") for i, p in enumerate(items))

    def schema(self):
        return {"type": "array", "items": Point(2).schema(),
                "minItems": self.least, "maxItems": self.most}


@dataclass(frozen=True)
class Reals:
    """A list of reals of any length within bounds, such as frequencies."""
    each: Real = Real()
    most: int = 10_000

    def check(self, value, path):
        items = _items(value, path)
        if len(items) > self.most:
            _fail(path, f"expected at most {self.most} numbers, got {len(items)}")
        return tuple(self.each.check(v, f"{path}[{i}]") for i, v in enumerate(items))

    def schema(self):
        return {"type": "array", "items": self.each.schema(), "maxItems": self.most}


@dataclass(frozen=True)
class Nested:
    """An object of one of `kinds`; several kinds are told apart by `tag`."""
    kinds: tuple
    tag: Optional[str] = None

    def check(self, value, path):
        if not isinstance(value, self.kinds):
            _fail(path, "expected " + " or ".join(k.__name__ for k in self.kinds))
        return _normalise(value, path)

    def read(self, value, path):
        if self.tag is None and len(self.kinds) > 1:
            return _read_segment(value, path)
        if self.tag is None:
            return _read(self.kinds[0], value, path)
        if not isinstance(value, dict):
            _fail(path, "expected an object")
        names = {k.TAG: k for k in self.kinds}
        if self.tag not in value:
            _fail(f"{path}.{self.tag}", "missing")
        kind = value[self.tag]
        if not isinstance(kind, str) or kind not in names:
            _fail(f"{path}.{self.tag}", "expected " + ", ".join(_quote(n) for n in names))
        body = {k: v for k, v in value.items() if k != self.tag}
        if hasattr(value, "duplicates"):
            body = _Fields(body.items(), value.duplicates)
        return _read(names[kind], body, path)

    def write(self, value):
        data = _write(value)
        if self.tag is not None:
            data = {self.tag: type(value).TAG, **data}
        return data

    def schema(self):
        refs = [{"$ref": f"#/$defs/{self._def(k)}"} for k in self.kinds]
        return refs[0] if len(refs) == 1 else {"oneOf": refs}

    def _def(self, kind):
        return kind.__name__ + ("Shape" if self.tag else "")


@dataclass(frozen=True)
class Many:
    """A list of items of `item`."""
    item: Nested
    least: int = 0
    most: int = MAX_SHAPES

    def check(self, value, path):
        items = _items(value, path)
        if not self.least <= len(items) <= self.most:
            _fail(path, f"expected {self.least} to {self.most} items, got {len(items)}")
        return tuple(self.item.check(v, f"{path}[{i}]") for i, v in enumerate(items))

    def read(self, value, path):
        if not isinstance(value, list):
            _fail(path, "expected a list")
        return tuple(self.item.read(v, f"{path}[{i}]") for i, v in enumerate(value))

    def write(self, value):
        return [self.item.write(v) for v in value]

    def schema(self):
        return {"type": "array", "items": self.item.schema(),
                "minItems": self.least, "maxItems": self.most}


def described(kind, default=MISSING, json_name=None, doc=""):
    """A dataclass field with its kind, JSON name and meaning."""
    meta = {"kind": kind, "json": json_name, "doc": doc}
    return field(default=default, metadata=meta)


def _fields(cls):
    for f in dataclasses.fields(cls):
        if "kind" in f.metadata:
            yield f, f.metadata["json"] or f.name, f.metadata["kind"]


# -- the objects of a model

class _Tuples:
    """Lists given to the Python API are kept as tuples: the model stays frozen."""

    def __post_init__(self):
        for f, _, kind in _fields(type(self)):
            value = getattr(self, f.name)
            if isinstance(kind, (Point, Points, Reals, Many)) and isinstance(value, list):
                object.__setattr__(self, f.name, tuple(
                    tuple(v) if isinstance(v, list) else v for v in value))


REAL = Real()
SIZE = Real(*SIZE_RANGE)
POSITIVE = Real(0.0, COORD_LIMIT, above=True)
NAME = Text()
MATERIAL = Text()


@dataclass(frozen=True)
class Uniform(_Tuples):
    """`cells` cells of one size (mm)."""
    cells: int = described(Integer(1, MAX_AXIS_CELLS), doc="number of cells")
    size: float = described(SIZE, doc="cell size, mm")


@dataclass(frozen=True)
class Graded(_Tuples):
    """`cells` cells growing geometrically from size `from_` to size `to` (mm)."""
    cells: int = described(Integer(1, MAX_AXIS_CELLS), doc="number of cells")
    from_: float = described(SIZE, json_name="from", doc="size of the first cell, mm")
    to: float = described(SIZE, doc="size of the last cell, mm")


SEGMENTS = Many(Nested((Uniform, Graded)), least=1)


@dataclass(frozen=True)
class Grid(_Tuples):
    """The cells along each axis, as a list of segments."""
    x: tuple = described(SEGMENTS, doc="segments along x")
    y: tuple = described(SEGMENTS, doc="segments along y")
    z: tuple = described(SEGMENTS, doc="segments along z")


@dataclass(frozen=True)
class Material(_Tuples):
    """A material; `pec` makes it a perfect conductor (eps_r and sigma unused)."""
    name: str = described(NAME, doc="name the shapes use")
    eps_r: float = described(Real(1.0, 1e9), 1.0, doc="relative permittivity")
    sigma: float = described(Real(0.0, 1e20), 0.0, doc="conductivity, S/m")
    colour: tuple = described(Point(3, Real(0.0, 1.0)), (0.6, 0.6, 0.6), doc="RGB, 0 to 1")
    show: bool = described(Flag(), True, doc="drawn in the model picture")
    pec: bool = described(Flag(), False, doc="a perfect electric conductor")


class Shape(_Tuples):
    """A solid painted into the cells whose centre lies inside it."""


@dataclass(frozen=True)
class Box(Shape):
    """An axis-aligned box from corner `from_` to corner `to`."""
    TAG = "box"
    material: str = described(MATERIAL, doc="material name, or \"pec\"")
    from_: tuple = described(Point(3), json_name="from", doc="lowest corner [x, y, z], mm")
    to: tuple = described(Point(3), doc="highest corner [x, y, z], mm")


@dataclass(frozen=True)
class Cylinder(Shape):
    """A round cylinder whose axis runs from point `from_` to point `to`."""
    TAG = "cylinder"
    material: str = described(MATERIAL, doc="material name, or \"pec\"")
    from_: tuple = described(Point(3), json_name="from", doc="centre of one end [x, y, z], mm")
    to: tuple = described(Point(3), doc="centre of the other end [x, y, z], mm")
    radius: float = described(POSITIVE, doc="radius, mm")


@dataclass(frozen=True)
class Sphere(Shape):
    TAG = "sphere"
    material: str = described(MATERIAL, doc="material name, or \"pec\"")
    centre: tuple = described(Point(3), doc="centre [x, y, z], mm")
    radius: float = described(POSITIVE, doc="radius, mm")


@dataclass(frozen=True)
class Polygon(Shape):
    """A polygon in the plane normal to `axis`, extruded over `span` along it.

    The points are given in the other two axes in their order (y, z for an x
    axis; x, z for y; x, y for z), as a PCB outline is.
    """
    TAG = "polygon"
    material: str = described(MATERIAL, doc="material name, or \"pec\"")
    points: tuple = described(Points(), doc="outline [[u, v], ...], mm")
    span: tuple = described(Point(2), doc="[from, to] along the axis, mm")
    axis: str = described(Choice(), "z", doc="extrusion axis")


@dataclass(frozen=True)
class Wire(Shape):
    """A thin conductor from `from_` to `to`: every cell its axis passes
    through, and the cells whose centre lies within `radius` of it."""
    TAG = "wire"
    material: str = described(MATERIAL, doc="material name, or \"pec\"")
    from_: tuple = described(Point(3), json_name="from", doc="one end [x, y, z], mm")
    to: tuple = described(Point(3), doc="the other end [x, y, z], mm")
    radius: float = described(Real(0.0, COORD_LIMIT), 0.0, doc="radius, mm")


@dataclass(frozen=True)
class Mesh(Shape):
    """A closed surface from an STL file, scaled then moved by `offset`."""
    TAG = "mesh"
    material: str = described(MATERIAL, doc="material name, or \"pec\"")
    file: str = described(Text(), doc="STL file; relative to the model file's folder")
    scale: float = described(Real(0.0, 1e12, above=True), 1.0, doc="mm per STL unit")
    offset: tuple = described(Point(3), (0.0, 0.0, 0.0), doc="[x, y, z] added, mm")


SHAPES = (Box, Cylinder, Sphere, Polygon, Wire, Mesh)


@dataclass(frozen=True)
class Sheet(_Tuples):
    """A metal sheet normal to an axis, one cell layer, marked for skin effect."""
    material: str = described(MATERIAL, doc="material name, or \"pec\" (no skin marks)")
    normal: str = described(Choice(), doc="axis the sheet is normal to")
    at: float = described(REAL, doc="position along the normal, mm")
    from_: tuple = described(Point(2), json_name="from", doc="lowest corner in the sheet's axes, mm")
    to: tuple = described(Point(2), doc="highest corner in the sheet's axes, mm")


@dataclass(frozen=True)
class Lumped(_Tuples):
    """A resistor along the one axis where `from_` and `to` differ."""
    from_: tuple = described(Point(3), json_name="from", doc="one end [x, y, z], mm")
    to: tuple = described(Point(3), doc="the other end [x, y, z], mm")
    resistance: float = described(Real(1e-9, 1e15), doc="ohm")
    name: Optional[str] = described(NAME, None, doc="shown in the summary")


@dataclass(frozen=True)
class Via(_Tuples):
    """A round via along z; its outline has `sides` segments."""
    material: str = described(MATERIAL, doc="material name, or \"pec\"")
    centre: tuple = described(Point(2), doc="[x, y], mm")
    radius: float = described(POSITIVE, doc="mm")
    z: tuple = described(Point(2), doc="[from, to], mm")
    sides: int = described(Integer(3, 4096), 16, doc="segments of the outline")


@dataclass(frozen=True)
class Store(_Tuples):
    tolerance: float = described(Real(0.0, 1.0), 1e-6, doc="relative tolerance of settol")
    run_limit: int = described(Integer(1, 2 ** 31 - 1), 1000, doc="longest run (setrun)")


@dataclass(frozen=True)
class Skin(_Tuples):
    max_spacing: float = described(POSITIVE, 1.0, doc="largest partner spacing, mm")


@dataclass(frozen=True)
class View(_Tuples):
    width: int = described(Integer(16, 4096), 640, doc="picture width, pixels")
    height: int = described(Integer(16, 4096), 480, doc="picture height, pixels")
    tilt: float = described(Real(-180.0, 180.0), 55.0,
                            doc="camera: degrees the model is tipped back from the top view")
    turn: float = described(Real(-360.0, 360.0), -35.0,
                            doc="camera: degrees the model is turned about z")


@dataclass(frozen=True)
class FieldView(_Tuples):
    contours: int = described(Integer(1, 64), 8, doc="contour levels")
    height: float = described(Real(-1e6, 1e6), 4.0, doc="relief height, mm")
    arrow_step: int = described(Integer(1, MAX_AXIS_CELLS), 4, doc="nodes between arrows")


COMPONENT_NAMES = ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz")
FREQUENCY = Real(1.0, 1e15)


@dataclass(frozen=True)
class Probe(_Tuples):
    """A field component recorded every time step at the cell holding `at`."""
    component: str = described(Choice(COMPONENT_NAMES), doc="field component")
    at: tuple = described(Point(3), doc="[x, y, z], mm")
    name: Optional[str] = described(NAME, None, doc="column name in signals.csv")


@dataclass(frozen=True)
class TimeDomain(_Tuples):
    """The time-domain run: a Gaussian-modulated pulse over `band` drives the
    port (the lumped element's resistance in series with a voltage source)
    until the field energy has fallen `stop_db` below its peak, or for
    `max_steps` steps."""
    port: Optional[str] = described(NAME, None,
                                    doc="name of the lumped element driven (default: the first)")
    band: tuple = described(Point(2, FREQUENCY), (0.5e9, 5e9),
                            doc="[from, to], Hz: the pulse's band and the S11 band")
    points: int = described(Integer(2, 100_000), 451, doc="frequencies of S11 over the band")
    stop_db: float = described(Real(-300.0, -1.0), -40.0,
                               doc="energy decay below its peak that ends the run, dB")
    max_steps: int = described(Integer(1, 100_000_000), 30_000, doc="step limit")
    check_every: int = described(Integer(1, 1_000_000), 100,
                                 doc="steps between measurements of the energy")
    plane: Optional[float] = described(REAL, None,
                                       doc="z of the field plane, mm (default: halfway "
                                           "through the substrate under the patch)")
    dft: tuple = described(Reals(FREQUENCY, most=64), (),
                           doc="frequencies, Hz, at which the kernel transforms the field "
                               "on the plane as it steps (exported)")
    volume: bool = described(Flag(), False,
                             doc="transform the whole volume at the dft frequencies too")
    probes: tuple = described(Many(Nested((Probe,)), most=10_000), (),
                              doc="field components recorded every step")


def _many(kind, most=MAX_SHAPES, least=0):
    return Many(Nested((kind,)), least=least, most=most)


@dataclass(frozen=True)
class Model(_Tuples):
    """A model; `fdtdhost.run(model)` takes it through every phase."""
    grid: Grid = described(Nested((Grid,)), doc="cells along x, y and z")
    pml: int = described(Integer(1, MAX_AXIS_CELLS), doc="PML thickness, cells, all six faces")
    materials: tuple = described(_many(Material, most=255, least=1),
                            doc="materials; the first fills the grid")
    boxes: tuple = described(_many(Box), (), doc="boxes, painted first")
    shapes: tuple = described(Many(Nested(SHAPES, tag="shape")), (),
                         doc="shapes, painted in order after the boxes")
    sheets: tuple = described(_many(Sheet), (), doc="skin-effect sheets, painted after the shapes")
    lumped: tuple = described(_many(Lumped), (), doc="lumped resistors; the first is the feed")
    vias: tuple = described(_many(Via), (), doc="round vias along z, painted last")
    name: str = described(NAME, "model", doc="shown in the summary")
    frequency: float = described(Real(1.0, 1e15), 2.4e9, doc="skin-effect frequency, Hz")
    courant: float = described(Real(0.0, 1.0, above=True), 0.99,
                          doc="fraction of the Courant limit")
    group_width: int = described(Integer(1, 64), 1, doc="cells per group in dispatch")
    store: Store = described(Nested((Store,)), Store(), doc="parameter store settings")
    skin: Skin = described(Nested((Skin,)), Skin(), doc="skin-effect settings")
    view: View = described(Nested((View,)), View(), doc="picture size")
    field: FieldView = described(Nested((FieldView,)), FieldView(), doc="field pictures")
    simulation: TimeDomain = described(Nested((TimeDomain,)), TimeDomain(),
                                       doc="time-domain run: port, pulse, stop rule, probes, DFT")

    def to_json(self):
        """The model as the JSON object of a model file."""
        return _write(self)


# -- JSON: reading objects into the tree, writing them back

class _Fields(dict):
    """A JSON object that remembers the keys it was given more than once."""

    def __init__(self, pairs, duplicates=()):
        super().__init__(pairs)
        self.duplicates = tuple(duplicates)


def _object_hook(pairs):
    seen, twice = set(), []
    for key, _ in pairs:
        if key in seen:
            twice.append(key)
        seen.add(key)
    return _Fields(pairs, twice)


def _join(path, key):
    return f"{path}.{key}" if path else key


def _read(cls, value, path):
    """The object of class `cls` that the JSON object `value` describes; its
    leaves are taken as they are (validate checks them)."""
    if not isinstance(value, dict):
        _fail(path, "expected an object")
    for key in getattr(value, "duplicates", ()):
        _fail(_join(path, key), "given twice")
    known = {}
    for f, name, kind in _fields(cls):
        known[name] = (f, kind)
    for key in value:
        if key not in known:
            _fail(_join(path, key), "unknown field")
    args = {}
    for name, (f, kind) in known.items():
        if name not in value:
            if f.default is MISSING:
                _fail(_join(path, name), "missing")
            continue
        item = value[name]
        args[f.name] = kind.read(item, _join(path, name)) if hasattr(kind, "read") else item
    return cls(**args)


def _read_segment(value, path):
    if isinstance(value, dict) and "size" in value and ("from" in value or "to" in value):
        _fail(path, 'give either "size" or "from" and "to"')
    if isinstance(value, dict) and "size" in value:
        return _read(Uniform, value, path)
    if isinstance(value, dict) and "from" in value and "to" in value:
        return _read(Graded, value, path)
    if not isinstance(value, dict):
        _fail(path, "expected an object")
    _fail(path, 'give "size", or "from" and "to"')


def _write(obj):
    data = {}
    for f, name, kind in _fields(type(obj)):
        value = getattr(obj, f.name)
        if value is None:
            continue
        if hasattr(kind, "write"):
            value = kind.write(value)
        elif isinstance(kind, (Point, Reals)):
            value = list(value)
        elif isinstance(kind, Points):
            value = [list(p) for p in value]
        data[name] = value
    return data


def from_json(data, base=None):
    """The `Model` of the decoded JSON object `data`; relative STL paths are
    taken from the folder `base`."""
    model = _read(Model, data, "")
    if base is None:
        return model
    shapes = tuple(dataclasses.replace(s, file=os.path.join(base, s.file))
                   if isinstance(s, Mesh) and isinstance(s.file, str) else s
                   for s in model.shapes)
    return dataclasses.replace(model, shapes=shapes)


def _parse_int(text):
    # Integers longer than Python converts are out of every range anyway.
    return int(text) if len(text) <= 1000 else float(text)


def parse(text):
    """The decoded JSON of a model file's text."""
    try:
        return json.loads(text, object_pairs_hook=_object_hook, parse_int=_parse_int)
    except json.JSONDecodeError as err:
        raise ModelError(f"not valid JSON: line {err.lineno} column {err.colno}: "
                         f"{err.msg}") from None
    except RecursionError:
        raise ModelError("not valid JSON: nested too deeply") from None


def read_file(path, what="model file"):
    """The bytes of a regular file of at most MAX_FILE_BYTES, read once."""
    try:
        # O_NONBLOCK: a FIFO opens at once and is refused below, instead of waiting
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    except (OSError, ValueError) as err:
        raise ModelError(f"cannot read: {getattr(err, 'strerror', None) or err}") from None
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode):
        os.close(fd)
        raise ModelError("not a regular file")
    with os.fdopen(fd, "rb") as handle:
        if info.st_size > MAX_FILE_BYTES:
            raise ModelError(f"{what} larger than {MAX_FILE_BYTES // 2 ** 20} MiB")
        try:
            data = handle.read(MAX_FILE_BYTES + 1)
        except OSError as err:
            raise ModelError(f"cannot read: {err.strerror}") from None
    if len(data) > MAX_FILE_BYTES:
        raise ModelError(f"{what} larger than {MAX_FILE_BYTES // 2 ** 20} MiB")
    return data


def read(path):
    """The `Model` of the model file at `path`, unchecked (its structure is:
    objects, lists, field names)."""
    try:
        try:
            text = read_file(path).decode("utf-8")
        except UnicodeDecodeError:
            raise ModelError("not a UTF-8 text file") from None
        return from_json(parse(text), os.path.dirname(os.path.abspath(path)))
    except ModelError as err:
        raise ModelError(f"{path}: {err}") from None


def load(path=None):
    """The checked model of the file at `path`, or of the embedded default model."""
    if path is None:
        text = resources.files(__package__).joinpath(DEFAULT_MODEL).read_text()
        try:
            return validate(from_json(parse(text)))
        except ModelError as err:
            raise ModelError(f"default model: {err}") from None
    model = read(path)
    try:
        return validate(model)
    except ModelError as err:
        raise ModelError(f"{path}: {err}") from None


# -- checking the tree

def _normalise(obj, path):
    """`obj` with every field checked against its kind and normalised."""
    args = {}
    for f, name, kind in _fields(type(obj)):
        value = getattr(obj, f.name)
        if value is None and f.default is None:
            args[f.name] = None
            continue
        args[f.name] = kind.check(value, _join(path, name))
    return type(obj)(**args)


@dataclass(frozen=True)
class Placed:
    """A shape with its material resolved: what voxelisation paints.

    `path` names it in messages ("shapes[2]"); `triangles` holds a mesh's
    surface in millimetres, [n][3 corners][x, y, z].
    """
    path: str
    material: int
    shape: Shape
    triangles: object = None


@dataclass(frozen=True)
class PlacedBox:
    path: str
    material: int
    lo: tuple
    hi: tuple


@dataclass(frozen=True)
class PlacedSheet:
    """A sheet: `normal` an axis number, `lo` and `hi` the corners in 3-D
    (the normal's coordinate `at` in both)."""
    path: str
    material: int
    normal: int
    at: float
    lo: tuple
    hi: tuple
    marked: bool               # skin marks (not for a perfect conductor)


@dataclass(frozen=True)
class PlacedLumped:
    """A lumped resistor: `axis` a number, `region` its cells (z, y, x slices)."""
    name: str
    lo: tuple
    hi: tuple
    axis: int
    region: tuple
    resistance: float


@dataclass(frozen=True)
class PlacedVia:
    path: str
    material: int
    centre: tuple
    radius: float
    z: tuple
    sides: int


@dataclass(frozen=True, eq=False)
class Checked:
    """A model that passed every check, in the form the phases read.

    `cells[a]` are the cell sizes along axis a (mm), `shape` the cell counts
    (x, y, z), `extent` the lengths; item materials are indices into
    `materials`; `solids` are the boxes and then the shapes, in painting order.
    """
    source: Model
    name: str
    cells: tuple
    shape: tuple
    extent: tuple
    materials: tuple
    boxes: tuple
    solids: tuple
    sheets: tuple
    lumped: tuple
    vias: tuple
    pml: int
    frequency: float
    courant: float
    group_width: int
    tolerance: float
    run_limit: int
    max_spacing: float
    width: int
    height: int
    tilt: float
    turn: float
    contours: int
    relief: float
    arrow_step: int
    time_step: float
    simulation: TimeDomain
    port: Optional[int]            # index into `lumped` of the driven element, None without one
    probes: tuple                  # (component index, (i, j, k)) of each probe


def validate(model):
    """Checks a `Model` (or the decoded JSON object of a model file) and
    returns it as `Checked`; raises ModelError naming the first bad field."""
    if isinstance(model, dict):
        model = from_json(model)
    elif not isinstance(model, Model):
        _fail("", "expected a Model")
    m = _normalise(model, "")
    cells = _grid_section(m)
    materials, index = _materials_section(m)
    from .voxels import Axes   # numpy; the checks share the voxeliser's rules
    axes = Axes(cells)
    solids, boxes, sheets, vias = _geometry_section(m, axes, materials, index)
    _settings_section(m, axes)
    lumped = _lumped_section(m, axes)
    time_step = _coefficient_section(m, axes, materials, lumped)
    port, probes = _simulation_section(m, axes, lumped)
    return Checked(
        source=model, name=m.name, cells=cells, shape=axes.shape, extent=axes.extent,
        materials=materials, boxes=boxes, solids=solids, sheets=sheets, lumped=lumped,
        vias=vias, pml=m.pml, frequency=m.frequency, courant=m.courant,
        group_width=m.group_width, tolerance=m.store.tolerance, run_limit=m.store.run_limit,
        max_spacing=m.skin.max_spacing, width=m.view.width, height=m.view.height,
        tilt=m.view.tilt, turn=m.view.turn,
        contours=m.field.contours, relief=m.field.height, arrow_step=m.field.arrow_step,
        time_step=time_step, simulation=m.simulation, port=port, probes=probes)


def _grid_section(m):
    """The cell sizes of each axis, within the limits of the modules."""
    cells = []
    for a, name in enumerate(AXES):
        path = f"grid.{name}"
        limit = MAX_LINE_CELLS if a == 0 else MAX_AXIS_CELLS
        if sum(seg.cells for seg in getattr(m.grid, name)) > limit:
            why = " (one RLE line holds at most that)" if a == 0 else ""
            _fail(path, f"more than {limit} cells{why}")
        sizes = []
        for n, seg in enumerate(getattr(m.grid, name)):
            if isinstance(seg, Uniform):
                sizes += [seg.size] * seg.cells
            else:
                # geometric grading: equal ratio between neighbouring cells
                ratio = (seg.to / seg.from_) ** (1.0 / (seg.cells - 1)) if seg.cells > 1 else 1.0
                sizes += [seg.from_ * ratio ** c for c in range(seg.cells)]
        cells.append(tuple(sizes))
    nx, ny, nz = (len(c) for c in cells)
    if nx * ny * nz > MAX_CELLS:
        _fail("grid", f"{nx} x {ny} x {nz} cells is too large (at most {MAX_CELLS:,})")
    if ny * nz > MAX_LINES:
        _fail("grid", f"{ny} x {nz} lines along x is too many (at most {MAX_LINES:,})")
    return tuple(cells)


PEC_MATERIAL = Material(PEC, colour=PEC_COLOUR, pec=True)


def _materials_section(m):
    """The material table and the index of each name; "pec" joins the table
    when a shape uses it."""
    index = {}
    for n, mat in enumerate(m.materials):
        path = f"materials[{n}]"
        if mat.name == PEC:
            _fail(f"{path}.name", f'"{PEC}" is the perfect conductor\'s keyword')
        if mat.name in index:
            _fail(f"{path}.name", f"{_quote(mat.name)} is defined twice")
        if mat.pec and (mat.eps_r != 1.0 or mat.sigma != 0.0):
            _fail(path, "a pec material takes no eps_r or sigma")
        index[mat.name] = n
    uses = [s.material for s in m.boxes + m.shapes + m.sheets + m.vias]
    materials = m.materials
    if PEC in uses:
        if len(materials) == 255:
            _fail("materials", "at most 254 materials with \"pec\" in use")
        index[PEC] = len(materials)
        materials += (PEC_MATERIAL,)
    return materials, index


def _reference(index, name, path):
    if name not in index:
        _fail(path, f"unknown material {_quote(name)}")
    return index[name]


def _inside(lo, hi, path, extent, flat=False):
    for a in range(3):
        if not (lo[a] <= hi[a] if flat else lo[a] < hi[a]):
            _fail(path, f"empty along {AXES[a]}: from {lo[a]:g} to {hi[a]:g}")
        if lo[a] < 0 or hi[a] > extent[a] + 1e-9:
            _fail(path, f"outside the grid along {AXES[a]} (0 to {extent[a]:g} mm)")


def _bounds(shape):
    """Lowest and highest corner of a shape's bounding box."""
    if isinstance(shape, Box):
        return shape.from_, shape.to
    if isinstance(shape, (Cylinder, Wire)):
        # the end discs reach r sqrt(1 - d_a^2 / |d|^2) off the axis along axis a
        d = [q - p for p, q in zip(shape.from_, shape.to)]
        length2 = sum(v * v for v in d)
        reach = [shape.radius * math.sqrt(max(0.0, 1.0 - v * v / length2)) for v in d]
        return (tuple(min(p, q) - e for p, q, e in zip(shape.from_, shape.to, reach)),
                tuple(max(p, q) + e for p, q, e in zip(shape.from_, shape.to, reach)))
    if isinstance(shape, Sphere):
        return (tuple(c - shape.radius for c in shape.centre),
                tuple(c + shape.radius for c in shape.centre))
    if isinstance(shape, Polygon):
        a = AXES.index(shape.axis)
        across = [b for b in range(3) if b != a]
        lo, hi = [0.0] * 3, [0.0] * 3
        for t, b in enumerate(across):
            lo[b] = min(p[t] for p in shape.points)
            hi[b] = max(p[t] for p in shape.points)
        lo[a], hi[a] = shape.span
        return tuple(lo), tuple(hi)
    raise TypeError(shape)


def _geometry_section(m, axes, materials, index):
    """Every shape inside the grid with a known material, within the work
    voxelisation may do."""
    from .voxels import mesh_work
    extent = axes.extent
    count = len(m.boxes) + len(m.shapes) + len(m.sheets) + len(m.vias)
    if count > MAX_SHAPES:
        _fail("shapes", f"{count} boxes, shapes, sheets and vias; at most {MAX_SHAPES}")
    solids, boxes, painted = [], [], 0
    for path, shape in [(f"boxes[{n}]", b) for n, b in enumerate(m.boxes)] + \
                       [(f"shapes[{n}]", s) for n, s in enumerate(m.shapes)]:
        material = _reference(index, shape.material, f"{path}.material")
        triangles = None
        if isinstance(shape, Mesh):
            from .stl import read_mesh
            try:
                triangles = read_mesh(shape.file, shape.scale, shape.offset)
            except ModelError as err:
                raise ModelError(f"{path}.file: {err}") from None
            lo, hi = tuple(triangles.min(axis=(0, 1))), tuple(triangles.max(axis=(0, 1)))
        else:
            _check_shape(shape, path)
            lo, hi = _bounds(shape)
        # a wire along an axis is a line: its box may be flat across it
        _inside(lo, hi, path, extent, flat=isinstance(shape, Wire))
        painted += axes.cells_in(lo, hi)
        if isinstance(shape, Polygon):      # each cell of the section meets every edge
            a = AXES.index(shape.axis)
            section = list(hi)
            section[a] = lo[a]
            painted += axes.cells_in(lo, section) * len(shape.points)
        if triangles is not None:
            painted += mesh_work(axes, triangles)
        solids.append(Placed(path, material, shape, triangles))
        if isinstance(shape, Box) and path.startswith("boxes"):
            boxes.append(PlacedBox(path, material, shape.from_, shape.to))
    sheets = []
    for n, sheet in enumerate(m.sheets):
        path = f"sheets[{n}]"
        normal = AXES.index(sheet.normal)
        if not 0 <= sheet.at < extent[normal]:
            _fail(f"{path}.at", f"outside the grid (0 to {extent[normal]:g} mm)")
        lo, hi = [0.0] * 3, [0.0] * 3
        for t, a in enumerate(b for b in range(3) if b != normal):
            lo[a], hi[a] = sheet.from_[t], sheet.to[t]
        lo[normal], hi[normal] = sheet.at, sheet.at + 1e-9
        _inside(lo, hi, path, extent)
        material = _reference(index, sheet.material, f"{path}.material")
        painted += axes.cells_in(lo, hi)
        sheets.append(PlacedSheet(path, material, normal, sheet.at, tuple(lo), tuple(hi),
                                  marked=not materials[material].pec))
    vias = []
    for n, via in enumerate(m.vias):
        path = f"vias[{n}]"
        r = via.radius
        lo = (via.centre[0] - r, via.centre[1] - r, via.z[0])
        hi = (via.centre[0] + r, via.centre[1] + r, via.z[1])
        _inside(lo, hi, path, extent)
        painted += axes.cells_in(lo, hi)
        vias.append(PlacedVia(path, _reference(index, via.material, f"{path}.material"),
                              via.centre, via.radius, via.z, via.sides))
    if painted > MAX_PAINTED:
        _fail("shapes", f"voxelisation would visit {painted:,} cells over all shapes; "
                        f"at most {MAX_PAINTED:,}")
    return tuple(solids), tuple(boxes), tuple(sheets), tuple(vias)


def _check_shape(shape, path):
    if isinstance(shape, (Cylinder, Wire)) and shape.from_ == shape.to:
        _fail(path, '"from" and "to" are the same point')
    if isinstance(shape, Polygon):
        if not shape.span[0] < shape.span[1]:
            _fail(f"{path}.span", "expected from below to")
        if _area(shape.points) == 0.0:
            _fail(f"{path}.points", "the outline encloses no area")


def _area(points):
    return 0.5 * abs(sum(u0 * v1 - u1 * v0 for (u0, v0), (u1, v1)
                         in zip(points, points[1:] + points[:1])))


def _lumped_section(m, axes):
    """The cells of each lumped element: along its axis those whose centre
    lies between its ends, across it the cell that holds the point; all
    outside the PML."""
    lumped = []
    shape = axes.shape
    for n, elem in enumerate(m.lumped):
        path = f"lumped[{n}]"
        lo, hi = elem.from_, elem.to
        along = [a for a in range(3) if lo[a] != hi[a]]
        if len(along) != 1:
            _fail(path, '"from" and "to" must differ along exactly one axis')
        axis = along[0]
        region = [None] * 3
        for a in range(3):
            if a == axis:
                cells = axes.range(a, min(lo[a], hi[a]), max(lo[a], hi[a]))
                if cells.start >= cells.stop:
                    _fail(path, f"covers no cell centre along {AXES[a]}")
            else:
                if not 0 <= lo[a] < axes.extent[a]:
                    _fail(path, f"outside the grid along {AXES[a]}")
                k = axes.layer(a, lo[a])
                cells = slice(k, k + 1)
            region[2 - a] = cells
        if any(region[2 - a].start < m.pml or region[2 - a].stop > shape[a] - m.pml
               for a in range(3)):
            _fail(path, "lies in the PML")
        lumped.append(PlacedLumped(elem.name or f"lumped{n}", lo, hi, axis, tuple(region),
                                   elem.resistance))
    return tuple(lumped)


def _simulation_section(m, axes, lumped):
    """The driven element's index, and each probe's component and cell; the
    plane and the probes lie in the grid."""
    s, path = m.simulation, "simulation"
    if not s.band[0] < s.band[1]:
        _fail(f"{path}.band", "expected from below to")
    port = None
    if s.port is not None:
        names = [e.name for e in lumped]
        if s.port not in names:
            _fail(f"{path}.port", f"no lumped element named {_quote(s.port)}")
        port = names.index(s.port)
    elif lumped:
        port = 0
    if s.plane is not None and not 0 <= s.plane < axes.extent[2]:
        _fail(f"{path}.plane", f"outside the grid (0 to {axes.extent[2]:g} mm)")
    probes = []
    for n, probe in enumerate(s.probes):
        at = probe.at
        for a in range(3):
            if not 0 <= at[a] < axes.extent[a]:
                _fail(f"{path}.probes[{n}].at", f"outside the grid along {AXES[a]}")
        probes.append((COMPONENT_NAMES.index(probe.component),
                       tuple(axes.layer(a, at[a]) for a in range(3))))
    return port, tuple(probes)


def _settings_section(m, axes):
    nx, ny, nz = axes.shape
    if any(2 * m.pml >= s for s in axes.shape):
        _fail("pml", f"{m.pml} cells leave no inner grid of {nx} x {ny} x {nz}")
    if nx % m.group_width or m.pml % m.group_width:
        _fail("group_width", f"must divide the {nx} cells along x and the pml of {m.pml}")


def _coefficient_section(m, axes, materials, lumped):
    """The time step, and every coefficient the phases derive from the model
    within FLOAT32_SAFE: eps / dt and mu0 / dt, the conductivities, the
    lumped elements' conductances. Returns the time step (s)."""
    from .grid import EPS0, MU0, time_step
    dt = time_step(axes.sizes, m.courant)

    def within(value, path, what):
        if not (value == 0.0 or 1.0 / FLOAT32_SAFE <= abs(value) <= FLOAT32_SAFE):
            _fail(path, f"gives {what} of {value:.3g}, outside the float32 range of the "
                        f"coefficients (1e-30 to 1e30) with the time step of {dt:.3g} s")

    within(MU0 / dt, "courant", "mu0 / dt")
    for n, mat in enumerate(m.materials):
        within(EPS0 * mat.eps_r / dt, f"materials[{n}].eps_r", "eps / dt")
    # a perfect conductor's cells take a conductivity far above any eps / dt,
    # which need only be a finite float32
    if any(mat.pec for mat in materials) and pec_sigma(materials, dt) > FLOAT32_MAX:
        _fail("courant", f"the time step of {dt:.3g} s leaves no float32 conductivity "
                         "for a perfect conductor")
    for n, elem in enumerate(lumped):
        within(axes.lumped_conductivity(elem).max(), f"lumped[{n}].resistance",
               "a conductivity")
    return dt


PEC_RATIO = 1e7     # b / a of a perfect conductor's cells: far past pl = -0.999999


def pec_sigma(materials, dt):
    """The conductivity (S/m) that stands for a perfect conductor: every E edge
    that touches one of its cells gets update coefficient 0."""
    from .grid import EPS0
    return PEC_RATIO * 4.0 * EPS0 * max(m.eps_r for m in materials) / dt
