"""The model file: reading, validation and the embedded default model.

A model is a JSON object. Lengths are in millimetres, conductivities in S/m,
resistances in ohm, frequencies in Hz. Every field is checked here, so the
rest of the host works on a model it can trust; a bad field raises
`ModelError` with the path of the field in the message.
"""
import json
import math
from importlib import resources

AXES = "xyz"
DEFAULT_MODEL = "default_model.json"
MAX_AXIS_CELLS = 100_000
# with 3 cells or more along x, the lines keep each RLE array's entry area
# below 2 GiB; what fits this machine is the capacity estimate's to say
MAX_CELLS = 400_000_000


class ModelError(Exception):
    """A model file that cannot be used; the message names the field."""


class Model:
    """A validated model: plain attributes, lengths in millimetres."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


def load(path=None):
    """Reads the model file at `path`, or the embedded default model."""
    if path is None:
        source = "default model"
        text = resources.files(__package__).joinpath(DEFAULT_MODEL).read_text()
    else:
        source = str(path)
        try:
            with open(path, encoding="utf-8") as handle:
                text = handle.read()
        except OSError as err:
            raise ModelError(f"{source}: cannot read: {err.strerror}") from None
        except UnicodeDecodeError:
            raise ModelError(f"{source}: not a UTF-8 text file") from None
    try:
        data = json.loads(text)
    except json.JSONDecodeError as err:
        raise ModelError(f"{source}: not valid JSON: line {err.lineno} "
                         f"column {err.colno}: {err.msg}") from None
    try:
        return validate(data)
    except ModelError as err:
        raise ModelError(f"{source}: {err}") from None


# -- field readers: each takes the value and its path, returns the checked value

def _fail(path, what):
    raise ModelError(f"{path}: {what}")


def _object(value, path, required=(), optional=()):
    if not isinstance(value, dict):
        _fail(path, "expected an object")
    for key in required:
        if key not in value:
            _fail(f"{path}.{key}" if path else key, "missing")
    known = set(required) | set(optional)
    for key in value:
        if key not in known:
            _fail(f"{path}.{key}" if path else key, "unknown field")
    return value


def _list(value, path, min_len=0, length=None):
    if not isinstance(value, list):
        _fail(path, "expected a list")
    if length is not None and len(value) != length:
        _fail(path, f"expected {length} items, got {len(value)}")
    if len(value) < min_len:
        _fail(path, f"expected at least {min_len} items")
    return value


def _number(value, path, low=None, high=None, low_open=False):
    if isinstance(value, bool) or not isinstance(value, (int, float)) \
            or not math.isfinite(value):
        _fail(path, "expected a finite number")
    if low is not None and (value < low or (low_open and value == low)):
        _fail(path, f"expected a number {'above' if low_open else 'at least'} {low}")
    if high is not None and value > high:
        _fail(path, f"expected a number at most {high}")
    return float(value)


def _integer(value, path, low=None, high=None):
    if isinstance(value, bool) or not isinstance(value, int):
        _fail(path, "expected an integer")
    if low is not None and value < low:
        _fail(path, f"expected an integer at least {low}")
    if high is not None and value > high:
        _fail(path, f"expected an integer at most {high}")
    return value


def _string(value, path):
    if not isinstance(value, str) or not value:
        _fail(path, "expected a non-empty string")
    return value


def _point(value, path, dims=3):
    _list(value, path, length=dims)
    return tuple(_number(v, f"{path}[{i}]") for i, v in enumerate(value))


def _axis(value, path):
    if value not in ("x", "y", "z"):
        _fail(path, 'expected "x", "y" or "z"')
    return AXES.index(value)


# -- the sections of a model

def _grid_axis(value, path):
    """Cell sizes of one axis from its segments, uniform or graded."""
    sizes = []
    for n, seg in enumerate(_list(value, path, min_len=1)):
        spath = f"{path}[{n}]"
        _object(seg, spath, required=("cells",), optional=("size", "from", "to"))
        cells = _integer(seg["cells"], f"{spath}.cells", low=1, high=MAX_AXIS_CELLS)
        if "size" in seg:
            if "from" in seg or "to" in seg:
                _fail(spath, 'give either "size" or "from" and "to"')
            size = _number(seg["size"], f"{spath}.size", low=0, low_open=True)
            sizes += [size] * cells
        elif "from" in seg and "to" in seg:
            first = _number(seg["from"], f"{spath}.from", low=0, low_open=True)
            last = _number(seg["to"], f"{spath}.to", low=0, low_open=True)
            # geometric grading: equal ratio between neighbouring cells
            ratio = (last / first) ** (1.0 / (cells - 1)) if cells > 1 else 1.0
            sizes += [first * ratio ** c for c in range(cells)]
        else:
            _fail(spath, 'give "size", or "from" and "to"')
        if len(sizes) > MAX_AXIS_CELLS:
            _fail(path, f"more than {MAX_AXIS_CELLS} cells")
    return sizes


def _lumped_cells(cells, axis, lo, hi, path):
    """The cells (z, y, x slices) of an element: along its axis those whose
    centre lies in [lo, hi), across it the cell that holds the point."""
    region = []
    for a in (2, 1, 0):
        nodes = [0.0]
        for size in cells[a]:
            nodes.append(nodes[-1] + size)
        if a == axis:
            lo_a, hi_a = sorted((lo[a], hi[a]))
            centres = [0.5 * (nodes[c] + nodes[c + 1]) for c in range(len(cells[a]))]
            inside = [c for c, x in enumerate(centres) if lo_a <= x < hi_a]
            if not inside:
                _fail(path, f"covers no cell centre along {AXES[a]}")
            region.append(slice(inside[0], inside[-1] + 1))
        else:
            if not 0 <= lo[a] < nodes[-1]:
                _fail(path, f"outside the grid along {AXES[a]}")
            c = max(i for i in range(len(cells[a])) if nodes[i] <= lo[a])
            region.append(slice(c, c + 1))
    return tuple(region)


def _box_in_grid(lo, hi, path, extent):
    for a in range(3):
        if not lo[a] < hi[a]:
            _fail(path, f"empty along {AXES[a]}: from {lo[a]} to {hi[a]}")
        if lo[a] < 0 or hi[a] > extent[a] + 1e-9:
            _fail(path, f"outside the grid along {AXES[a]} (0 to {extent[a]:g} mm)")


def validate(data):
    """Checks the decoded JSON `data` and returns a `Model`."""
    _object(data, "", required=("grid", "materials", "boxes", "pml"),
            optional=("name", "frequency", "courant", "group_width", "sheets",
                      "lumped", "vias", "store", "skin", "view", "field"))
    name = _string(data.get("name", "model"), "name")

    grid = _object(data["grid"], "grid", required=("x", "y", "z"))
    cells = [_grid_axis(grid[a], f"grid.{a}") for a in AXES]
    extent = [sum(c) for c in cells]
    shape = [len(c) for c in cells]
    if shape[0] * shape[1] * shape[2] > MAX_CELLS:
        _fail("grid", f"{shape[0]} x {shape[1]} x {shape[2]} cells is too large")

    materials = []
    index = {}
    for n, mat in enumerate(_list(data["materials"], "materials", min_len=1)):
        path = f"materials[{n}]"
        _object(mat, path, required=("name", "eps_r", "sigma", "colour"),
                optional=("show",))
        mname = _string(mat["name"], f"{path}.name")
        if mname in index:
            _fail(f"{path}.name", f'"{mname}" is defined twice')
        colour = _point(mat["colour"], f"{path}.colour")
        for c, v in enumerate(colour):
            if not 0 <= v <= 1:
                _fail(f"{path}.colour[{c}]", "expected a number from 0 to 1")
        show = mat.get("show", True)
        if not isinstance(show, bool):
            _fail(f"{path}.show", "expected true or false")
        index[mname] = len(materials)
        materials.append(Model(
            name=mname,
            eps_r=_number(mat["eps_r"], f"{path}.eps_r", low=1.0),
            sigma=_number(mat["sigma"], f"{path}.sigma", low=0.0),
            colour=colour, show=show))
    if len(materials) > 255:
        _fail("materials", "at most 255 materials")

    def material(value, path):
        mname = _string(value, path)
        if mname not in index:
            _fail(path, f'unknown material "{mname}"')
        return index[mname]

    boxes = []
    for n, box in enumerate(_list(data["boxes"], "boxes")):
        path = f"boxes[{n}]"
        _object(box, path, required=("material", "from", "to"))
        lo, hi = _point(box["from"], f"{path}.from"), _point(box["to"], f"{path}.to")
        _box_in_grid(lo, hi, path, extent)
        boxes.append(Model(material=material(box["material"], f"{path}.material"),
                           lo=lo, hi=hi))

    pml = _integer(data["pml"], "pml", low=1)
    if any(2 * pml >= s for s in shape):
        _fail("pml", f"{pml} cells leave no inner grid of {shape[0]} x {shape[1]} x {shape[2]}")

    sheets = []
    for n, sheet in enumerate(_list(data.get("sheets", []), "sheets")):
        path = f"sheets[{n}]"
        _object(sheet, path, required=("material", "normal", "at", "from", "to"))
        normal = _axis(sheet["normal"], f"{path}.normal")
        at = _number(sheet["at"], f"{path}.at")
        if not 0 <= at < extent[normal]:
            _fail(f"{path}.at", f"outside the grid (0 to {extent[normal]:g} mm)")
        tangential = [a for a in range(3) if a != normal]
        lo2, hi2 = _point(sheet["from"], f"{path}.from", 2), _point(sheet["to"], f"{path}.to", 2)
        lo, hi = [0.0] * 3, [0.0] * 3
        for t, a in enumerate(tangential):
            lo[a], hi[a] = lo2[t], hi2[t]
        lo[normal], hi[normal] = at, at + 1e-9
        _box_in_grid(lo, hi, path, extent)
        sheets.append(Model(material=material(sheet["material"], f"{path}.material"),
                            normal=normal, at=at, lo=tuple(lo), hi=tuple(hi)))

    lumped = []
    for n, elem in enumerate(_list(data.get("lumped", []), "lumped")):
        path = f"lumped[{n}]"
        _object(elem, path, required=("from", "to", "resistance"), optional=("name",))
        lo, hi = _point(elem["from"], f"{path}.from"), _point(elem["to"], f"{path}.to")
        along = [a for a in range(3) if lo[a] != hi[a]]
        if len(along) != 1:
            _fail(path, '"from" and "to" must differ along exactly one axis')
        region = _lumped_cells(cells, along[0], lo, hi, path)
        inner = [slice(pml, len(c) - pml) for c in cells]
        if any(region[2 - a].start < inner[a].start or region[2 - a].stop > inner[a].stop
               for a in range(3)):
            _fail(path, "lies in the PML")
        lumped.append(Model(name=elem.get("name", f"lumped{n}"), lo=lo, hi=hi,
                            axis=along[0], region=region,
                            resistance=_number(elem["resistance"], f"{path}.resistance",
                                               low=0, low_open=True)))

    vias = []
    for n, via in enumerate(_list(data.get("vias", []), "vias")):
        path = f"vias[{n}]"
        _object(via, path, required=("material", "centre", "radius", "z"),
                optional=("sides",))
        centre = _point(via["centre"], f"{path}.centre", 2)
        radius = _number(via["radius"], f"{path}.radius", low=0, low_open=True)
        z = _point(via["z"], f"{path}.z", 2)
        lo, hi = (centre[0] - radius, centre[1] - radius, z[0]), \
                 (centre[0] + radius, centre[1] + radius, z[1])
        _box_in_grid(lo, hi, path, extent)
        vias.append(Model(material=material(via["material"], f"{path}.material"),
                          centre=centre, radius=radius, z=z,
                          sides=_integer(via.get("sides", 16), f"{path}.sides", low=3,
                                         high=4096)))

    store = _object(data.get("store", {}), "store", optional=("tolerance", "run_limit"))
    skin = _object(data.get("skin", {}), "skin", optional=("max_spacing",))
    view = _object(data.get("view", {}), "view", optional=("width", "height"))
    field = _object(data.get("field", {}), "field",
                    optional=("contours", "height", "arrow_step"))

    model = Model(
        name=name, cells=cells, shape=shape, extent=extent,
        materials=materials, boxes=boxes, pml=pml, sheets=sheets, lumped=lumped,
        vias=vias,
        frequency=_number(data.get("frequency", 2.4e9), "frequency", low=0, low_open=True),
        courant=_number(data.get("courant", 0.99), "courant", low=0, high=1, low_open=True),
        group_width=_integer(data.get("group_width", 1), "group_width", low=1, high=64),
        tolerance=_number(store.get("tolerance", 1e-6), "store.tolerance", low=0),
        run_limit=_integer(store.get("run_limit", 1000), "store.run_limit", low=1),
        max_spacing=_number(skin.get("max_spacing", 1.0), "skin.max_spacing",
                            low=0, low_open=True),
        width=_integer(view.get("width", 640), "view.width", low=16, high=4096),
        height=_integer(view.get("height", 480), "view.height", low=16, high=4096),
        contours=_integer(field.get("contours", 8), "field.contours", low=1, high=64),
        relief=_number(field.get("height", 4.0), "field.height"),
        arrow_step=_integer(field.get("arrow_step", 4), "field.arrow_step", low=1),
    )
    if shape[0] % model.group_width or pml % model.group_width:
        _fail("group_width", f"must divide the {shape[0]} cells along x and the pml of {pml}")
    return model
