"""The host application, run on a tiny model."""
import ctypes
import json
import os
import subprocess
import sys

import numpy as np
import pytest
from conftest import child_env

fdtdhost = pytest.importorskip("fdtdhost")
from fdtdhost import app, grid as gridmod, model as modelmod, pre  # noqa: E402
from fdtdhost.__main__ import main  # noqa: E402

PIC_W, PIC_H = 96, 72

TINY = {
    "name": "tiny patch",
    "grid": {"x": [{"cells": 16, "size": 1.0}],
             "y": [{"cells": 12, "size": 1.0}],
             "z": [{"cells": 3, "from": 2.0, "to": 0.5}, {"cells": 3, "size": 0.5},
                   {"cells": 4, "from": 0.5, "to": 2.0}]},
    "pml": 2,
    "materials": [
        {"name": "air", "eps_r": 1.0, "sigma": 0.0, "colour": [1, 1, 1], "show": False},
        {"name": "fr4", "eps_r": 4.4, "sigma": 0.01, "colour": [0.2, 0.6, 0.3]},
        {"name": "copper", "eps_r": 1.0, "sigma": 5.8e7, "colour": [0.9, 0.5, 0.2]}],
    "boxes": [{"material": "fr4", "from": [2, 2, 4.0], "to": [14, 10, 5.0]}],
    "sheets": [
        {"material": "copper", "normal": "z", "at": 3.7, "from": [2, 2], "to": [14, 10]},
        {"material": "copper", "normal": "z", "at": 5.2, "from": [7, 3], "to": [12, 9]},
        {"material": "copper", "normal": "z", "at": 5.2, "from": [3, 5], "to": [7, 7]}],
    "lumped": [{"name": "feed", "from": [3.5, 5.5, 4.0], "to": [3.5, 5.5, 5.0],
                "resistance": 50.0}],
    "vias": [{"material": "copper", "centre": [4.5, 8.5], "radius": 0.6, "z": [4.0, 5.0]},
             {"material": "copper", "centre": [6.5, 8.5], "radius": 0.6, "z": [4.0, 5.0]}],
    "view": {"width": PIC_W, "height": PIC_H},
    "field": {"contours": 4, "height": 2.0, "arrow_step": 2},
}

PRE = ["voxelise", "material pairs", "last", "dispatch", "surfloss", "arcfind", "viarow",
       "_bandsolve"]
PHASES = PRE + ["simulation"] + list(app.PICTURES) + [app.S11_PLOT]

# the least a model needs: no sheets, lumped elements or vias, one material
BARE = {"grid": {"x": [{"cells": 8, "size": 1.0}], "y": [{"cells": 6, "size": 1.0}],
                 "z": [{"cells": 4, "size": 1.0}]},
        "pml": 1,
        "materials": [{"name": "block", "eps_r": 2.0, "sigma": 0.1, "colour": [0.2, 0.6, 0.3]}],
        "boxes": [], "view": {"width": PIC_W, "height": PIC_H}}


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    out = tmp_path_factory.mktemp("host")
    return app.Run(modelmod.validate(TINY), str(out)).run()


def test_every_phase_runs(run):
    assert list(run.phases) == PHASES
    assert all(isinstance(t, float) for t in run.phases.values())
    assert list(run.summary["phases_s"]) == PHASES
    assert list(run.summary["pictures"]) == list(app.PICTURES) + [app.S11_PLOT]


def test_bare_model_runs(tmp_path):
    r = app.Run(modelmod.validate(BARE), str(tmp_path)).run()
    assert list(r.phases) == PRE + list(app.PICTURES)      # nothing to drive: no simulation
    s = r.summary
    assert s["simulation"] == {"ran": False, "reason": "no lumped element to drive as the port"}
    assert s["skin"]["records"] == 0 and s["arcs"]["outlines"] == 0 and s["via_rows"] == []
    # a line through the inner 6 x 4 x 2 cells: PML cell, inner cells, PML cell
    assert s["runs"]["pass0"] == 8 * 3 + 16
    # nothing to check is not a pass
    assert {c["result"] for c in s["checks"].values()} == {"skipped"}
    assert s["feed_line"] == {"line": None, "reason": "no lumped element to feed a line"}
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(app.PICTURES + ("summary.json",))


def test_voxels_codes_and_pairs():
    g = gridmod.Grid(modelmod.validate(TINY))
    # z layers: ground in layer 3 (3.5..4.0), substrate 4 and 5, patch and line in 6
    assert (g.material[3, 2:10, 2:14] == 2).all()
    assert (g.material[4:6, 2:10, 2:14][g.material[4:6, 2:10, 2:14] != 2] == 1).all()
    assert (g.material[6, 3:9, 7:12] == 2).all() and g.material[6, 5, 6] == 2
    assert g.material[4, 8, 4] == 2 and g.material[4, 8, 6] == 2   # the two vias
    assert (g.skin[6, 3:9, 7:12] == 0b011).all() and g.skin[4, 8, 4] == 0
    codes = g.codes()
    assert np.argwhere(codes & 0x800).tolist() == [[4, 5, 3], [5, 5, 3]]
    assert codes[4, 5, 3] == 0x3F | 0x800 | 0x200
    assert codes[0, 0, 0] == 0x3F | 0x400 | 0x200 and codes[1, 2, 2] == 0x3F | 0x400 | 0x200
    assert codes[2, 2, 2] == 0x3F
    assert ((codes & 0x400) != 0).sum() == 16 * 12 * 10 - 12 * 8 * 6   # all but the inner box
    pairs = [[r.toarray() for r in pair] for pair in g.material_pairs()]
    assert len(pairs) == 9
    a, b = pairs[0]                              # Ex: inside the substrate, eps / dt
    assert a[5, 5, 9] == pytest.approx(4.4 * gridmod.EPS0 / g.dt, rel=1e-6)
    assert b[5, 5, 9] == pytest.approx(0.01, rel=1e-6)
    assert (pairs[3][1] == 0).all()             # no magnetic loss
    lumped_b = pairs[8][1]                       # term 2, z: the feed's conductance
    assert lumped_b[4, 5, 3] == pytest.approx(0.5e-3 / (25.0 * 1e-6), rel=1e-6)
    assert np.count_nonzero(lumped_b) == 2 and not pairs[6][1].any()


def lower_neighbour(values, axis):
    """Each cell's neighbour one index lower along `axis`; index -1 is 0."""
    return np.take(values, np.arange(-1, values.shape[axis] - 1).clip(0), axis=axis)


def dense_edge_average(values, component):
    """The mean of the four cells around an E edge of `component`."""
    y, z = [2 - a for a in range(3) if a != component]
    return (values + lower_neighbour(values, y) + lower_neighbour(values, z)
            + lower_neighbour(lower_neighbour(values, y), z)) / 4


def test_pairs_are_the_edge_averages_in_blocks_of_any_size():
    g = gridmod.Grid(modelmod.validate(TINY))
    eps = np.array([m.eps_r for m in g.model.materials])[g.material]
    sigma = np.array([m.sigma for m in g.model.materials])[g.material]
    feed = np.zeros(g.material.shape)
    feed[4:6, 5, 3] = 0.5e-3 / (25.0 * 1e-6)
    ones = np.ones(g.material.shape)
    want = [(gridmod.EPS0 * dense_edge_average(eps, c) / g.dt, dense_edge_average(sigma, c))
            for c in range(3)]
    want += [(gridmod.MU0 / g.dt * ones, 0 * ones)] * 3
    want += [(gridmod.EPS0 / g.dt * ones, feed * (c == 2)) for c in range(3)]
    built = {}
    # blocks of one line, of a few lines, of a few planes, the whole grid
    for cells in (1, 40, 3 * g.nx * g.ny, g.ncells):
        g.block_cells = cells
        pairs = g.material_pairs()
        for got_pair, want_pair in zip(pairs, want):
            for got, expected in zip(got_pair, want_pair):
                np.testing.assert_allclose(got.toarray(), expected, rtol=3e-7)
        built[cells] = ([[entries(r) for r in pair] for pair in pairs], g.codes(),
                         g.skin_data())
    # the same runs, lists, codes and skin data for any block size
    first = built[1]
    for other in list(built.values())[1:]:
        assert other[0] == first[0]
        np.testing.assert_array_equal(other[1], first[1])
        assert other[2][0] == first[2][0]
        for got, expected in zip(other[2][1:3] + tuple(other[2][3]),
                                 first[2][1:3] + tuple(first[2][3])):
            np.testing.assert_array_equal(got, expected)


def entries(r):
    return [r.entry(i) for i in np.ndindex(*r.shape[:-1])]


def test_stage_near_the_box_is_a_window_of_the_whole_stage():
    from fdtdhost import pictures
    g = gridmod.Grid(modelmod.validate(TINY))
    near = pictures.stage_nodes(g, pictures.stage_box(g))
    whole = [slice(0, n + 1) for n in (g.nx, g.ny, g.nz)]
    assert near != whole
    window = pictures.stage_values(g, whole)[:, near[2], near[1], near[0]]
    np.testing.assert_array_equal(pictures.stage_values(g, near), window)
    g.block_cells = 1                            # one z plane at a time
    np.testing.assert_array_equal(pictures.stage_values(g, near), window)
    assert (window == pictures.STAGE_METAL).any() and (window == pictures.STAGE_LUMPED).any()


def record_cells(handle, count, values, z0):
    """(a, z, y, x) of the cell and of the partner of each skin record."""
    raw = np.ctypeslib.as_array((ctypes.c_uint64 * (4 * count)).from_address(handle))
    offsets = raw.reshape(count, 4)[:, :2].astype(np.int64) - values.ctypes.data
    index = np.stack([offsets // s % n for s, n in zip(values.strides, values.shape)], axis=-1)
    index[..., 1] += z0
    return index


def test_skin_records_cover_the_marked_planes_only():
    import surfloss
    g = gridmod.Grid(modelmod.validate(TINY))
    z0, mask, values, spacings = g.skin_data()
    # the ground (plane 3) to the face above the patch and the line (plane 7)
    assert (z0, mask.shape, values.shape) == (3, (5, 12, 16), (3, 5, 12, 16))
    for a in range(3):      # a conductance wherever a sheet marks a cell
        np.testing.assert_array_equal(values[a] != 0, mask & (1 << a) != 0)
    skin = pre.SkinRecords(g)
    # the same scan over the whole grid pairs the same cells; it reads no z
    # spacing below the marks
    whole_mask = np.zeros(g.material.shape, mask.dtype)
    whole_mask[z0:z0 + len(mask)] = mask
    whole_values = np.zeros((3,) + g.material.shape, np.float32)
    whole_values[:, z0:z0 + len(mask)] = values
    whole_dz = np.concatenate((np.full(z0, np.nan), spacings[2]))
    count, handle, whole_spacings = surfloss.surfloss(
        2, pre.marks(whole_mask), whole_mask, whole_values, spacings[0], spacings[1], whole_dz,
        g.model.max_spacing)
    assert count > 0 and (count, whole_spacings) == (skin.count, skin.spacings)
    np.testing.assert_array_equal(record_cells(skin.handle, count, skin.values, z0),
                                  record_cells(handle, count, whole_values, 0))


def test_skin_marks_sit_on_the_faces_the_field_sees():
    # surfloss's records address the E edges on a marked cell's lower face:
    # a sheet marks its own layer (its lower face) and the layer above (its
    # upper face) wherever the cell across the face is no conductor
    g = gridmod.Grid(modelmod.validate(TINY))
    z0, mask, values, _ = g.skin_data()
    assert z0 == 3                                          # the ground's plane
    assert (mask[0, 2:10, 2:14] == 0b011).all()             # ground, facing the air below
    assert mask[1, 5, 5] == 0b011 and mask[1, 8, 4] == 0    # facing the substrate, not a via
    assert (mask[3, 3:9, 7:12] == 0b011).all() and (mask[4, 3:9, 7:12] == 0b011).all()
    assert len(mask) == 5                                    # planes 3 to 7
    # sigma * skin depth over the face's dual spacing: 0.5 mm at the ground
    # (cells of 0.5 mm), half of 0.5 and 0.794 mm above the patch
    sigma = 5.8e7
    conductance = sigma / np.sqrt(np.pi * 2.4e9 * gridmod.MU0 * sigma)
    assert values[0, 1, 5, 5] == pytest.approx(conductance / 0.5e-3, rel=1e-6)
    above = 0.5e-3 * (g.sizes[2][6] + g.sizes[2][7])
    assert values[1, 4, 5, 9] == pytest.approx(conductance / above, rel=1e-6)

@pytest.fixture(scope="module")
def run_groups_of_2(tmp_path_factory):
    out = tmp_path_factory.mktemp("host2")
    return app.Run(modelmod.validate(dict(TINY, group_width=2)), str(out)).run()


@pytest.mark.parametrize("which", ["run", "run_groups_of_2"])
def test_run_tables_cover_every_line_once_per_pass(request, which):
    run = request.getfixturevalue(which)
    g, t = run.grid, run.tables
    gw = run.model.group_width
    for p in (0, 1):
        first, count = t.lines[p][..., 0].ravel(), t.lines[p][..., 1].ravel()
        # every line has its slice of the table, one after the other
        assert (first == np.concatenate(([0], np.cumsum(count)[:-1]))).all()
        assert count.sum() == len(t.records[p])
        # a run that updates a component has its parameter vector in the store
        rec = t.records[p]
        assert (rec[rec[:, 3] & 0x3F != 0, 2] != 0).all()
    for z in range(g.nz):
        for y in range(g.ny):
            line = run.codes[z, y]
            f0, c0 = t.lines[0][z, y]
            rec = t.records[0][f0:f0 + c0]
            assert rec[0, 0] == 0 and (rec[1:, 0] == (rec[:-1, 0] + rec[:-1, 1])).all()
            assert (rec[:, 1] % gw == 0).all()
            assert rec[-1, 0] + rec[-1, 1] == g.nx
            f1, c1 = t.lines[1][z, y]
            rec = t.records[1][f1:f1 + c1]
            covered = np.zeros(g.nx, dtype=bool)
            assert (rec[:, 1] % gw == 0).all()
            for x, dx, _, code, _ in rec:
                assert not covered[x:x + dx].any()
                covered[x:x + dx] = True
                assert code & 0x200 and not code & 0x47
            assert (covered == ((line & 0x200) != 0)).all()


def test_summary_agrees_with_stats(run):
    import cellcoef
    ring, direct, hits, inserts, blocks, large, zero = cellcoef.stats(run.tables.og)
    s = run.summary
    assert zero == 0
    assert s["store"] == {"ring_bytes": ring, "direct_bytes": direct, "hits": hits,
                          "inserts": inserts, "blocks": blocks, "large_allocs": large,
                          "bytes_per_cell": round((ring + direct) / run.grid.ncells, 3),
                          "hit_rate": round(hits / (hits + inserts), 4)}
    assert s["runs"] == {"pass0": len(run.tables.records[0]),
                         "pass1": len(run.tables.records[1])}
    assert hits + inserts >= s["runs"]["pass0"]
    with open(f"{run.out_dir}/summary.json") as f:
        assert json.load(f) == json.loads(json.dumps(s))


def test_summary_of_the_numeric_phases(run):
    arcs = run.summary["arcs"]
    assert arcs["found"] == arcs["outlines"] == 2 and arcs["max_error_mm"] < 1e-9
    (row,) = run.summary["via_rows"]
    assert row["vias"] == [0, 1] and row["error"] < 1e-12
    skin = run.summary["skin"]
    assert 0 < skin["records"] == skin["partners"] <= skin["marked"] // 2
    feed = run.summary["feed_line"]
    assert feed["line"] == "microstrip"
    assert feed["residual_V"] < 1e-9 and 1.0 < feed["eps_eff"] < 4.4
    assert {n: c["result"] for n, c in run.summary["checks"].items()} == \
        {"arcs": "passed", "viarow": "passed", "feed_line": "passed"}


def _green(r, g, b):
    return (g > r + 10) & (g > b + 10)


def _copper(r, g, b):
    return (r > g + 10) & (g > b + 10)


def _blue(r, g, b):
    return b > np.maximum(r, g) + 50


def _red(r, g, b):
    return r > np.maximum(g, b) + 50


# colours each picture must hold: materials, colour-ramp ends, the feed
SHOWS = {"model.png": (_green, _copper), "relief.png": (_blue, _red),
         "contours.png": (_blue,), "arrows.png": (_red,), "stage.png": (_blue, _red)}


@pytest.mark.parametrize("name", app.PICTURES)
def test_pictures_show_the_model(run, name):
    from PIL import Image
    with Image.open(f"{run.out_dir}/{name}") as image:
        assert image.format == "PNG" and image.size == (PIC_W, PIC_H)
        pixels = np.asarray(image.convert("RGB")).astype(int)
    assert (pixels[0, 0] == 255).all()           # the white background
    drawn = np.abs(pixels - 255).sum(axis=2) > 30
    assert drawn.mean() > 0.03, "the picture is (nearly) blank"
    r, g, b = pixels[..., 0], pixels[..., 1], pixels[..., 2]
    for colour in SHOWS[name]:
        assert colour(r, g, b).sum() >= 3, colour.__name__


def host(*args, env=None, timeout=120):
    return subprocess.run([sys.executable, "-m", "fdtdhost", *args], capture_output=True,
                          text=True, timeout=timeout, env=child_env(**(env or {})))


def broken(path, value, *more):
    """TINY with the field at `path` (keys and indices) set to `value`, and so on."""
    data = json.loads(json.dumps(TINY))
    changes = [(path, value)] + list(zip(more[::2], more[1::2]))
    for path, value in changes:
        node = data
        for key in path[:-1]:
            node = node[key]
        if value is KeyError:
            del node[path[-1]]
        else:
            node[path[-1]] = value
    return json.dumps(data)


DEEP = "[" * 100_000 + "]" * 100_000


@pytest.mark.parametrize("text, message", [
    ('{"grid": ', "not valid JSON: line 1 column 10"),
    ("[1, 2]", ": expected an object"),
    (DEEP, "not valid JSON: nested too deeply"),
    ('{"pml": 2, "pml": 3}', "pml: given twice"),
    (broken(["pml"], KeyError), "pml: missing"),
    (broken(["grid", "x", 0, "cells"], 0),
     "grid.x[0].cells: expected an integer from 1 to 100000"),
    (broken(["grid", "x", 0, "cells"], 10 ** 12),
     "grid.x[0].cells: expected an integer from 1 to 100000"),
    (broken(["grid", "y"], [{"cells": 90000, "size": 1}] * 2), "grid.y: more than 100000 cells"),
    (broken(["grid", "x"], [{"cells": 32767, "size": 1}]), "grid.x: more than 32766 cells"),
    (broken(["grid", "y", 0, "size"], "1 mm"), "grid.y[0].size: expected a number"),
    (broken(["grid", "z", 2, "to"], 1e-300), "grid.z[2].to: expected a number from 1e-09"),
    (broken(["grid", "x", 0], {"cells": 4, "size": 1, "to": 2}),
     'grid.x[0]: give either "size" or "from" and "to"'),
    (broken(["materials", 1, "colour"], [0, 2, 0]),
     "materials[1].colour[1]: expected a number from 0 to 1"),
    (broken(["materials", 1, "eps_r"], float("nan")), "materials[1].eps_r: expected a finite"),
    (json.dumps(TINY).replace('"sigma": 0.01', '"sigma": 1e400'),
     "materials[1].sigma: expected a finite number"),
    (json.dumps(TINY).replace('"sigma": 0.01', '"sigma": ' + "9" * 400),
     "materials[1].sigma: expected a number from 0 to 1e+20"),
    (json.dumps(TINY).replace('"pml": 2', '"pml": ' + "9" * 5000),
     "pml: expected an integer"),
    (broken(["name"], "patch\ud800"), "name: holds a lone surrogate"),
    (broken(["name"], "two\nlines"), "name: holds a control character"),
    (broken(["materials", 2, "name"], "pec"), "materials[2].name: \"pec\" is the perfect"),
    (broken(["boxes", 0, "material"], "gold"), 'boxes[0].material: unknown material "gold"'),
    (broken(["boxes", 0, "to"], [14, 10, 99]), "boxes[0]: outside the grid along z"),
    (broken(["sheets", 0, "normal"], "w"), 'sheets[0].normal: expected "x", "y" or "z"'),
    (broken(["shapes"], [{"shape": "cone", "material": "fr4"}]),
     'shapes[0].shape: expected "box", "cylinder"'),
    (broken(["pml"], 6), "pml: 6 cells leave no inner grid"),
    (broken(["lumped", 0, "from"], [0.5, 5.5, 4.0], ["lumped", 0, "to"], [0.5, 5.5, 5.0]),
     "lumped[0]: lies in the PML"),
    (broken(["lumped", 0, "to"], [4.5, 6.5, 5.0]), "lumped[0]: \"from\" and \"to\" must differ"),
    (broken(["store"], {"run_limit": 2 ** 31}),
     "store.run_limit: expected an integer from 1 to 2147483647"),
    (broken(["store"], {"tolerance": 1e39}), "store.tolerance: expected a number from 0 to 1"),
    (broken(["courant"], 1e-300), "courant: gives mu0 / dt of"),
    # 1 pm cells and a tiny time step: eps / dt of 1e9 eps0 leaves float32
    (broken(["grid"], {a: [{"cells": 8, "size": 1e-9}] for a in "xyz"},
            ["materials", 1, "eps_r"], 1e9, ["courant"], 1e-13, ["boxes"], [], ["sheets"], [],
            ["lumped"], [], ["vias"], []),
     "materials[1].eps_r: gives eps / dt of"),
    (broken(["view", "depth"], 3), "view.depth: unknown field"),
    (broken(["view", "tilt"], 200), "view.tilt: expected a number from -180 to 180"),
    (broken(["simulation"], {"band": [5e9, 1e9]}), "simulation.band: expected from below to"),
    (broken(["simulation"], {"port": "load"}), 'simulation.port: no lumped element named "load"'),
    (broken(["simulation"], {"stop_db": 3}), "simulation.stop_db: expected a number from -300 to -1"),
    (broken(["simulation"], {"plane": 99}), "simulation.plane: outside the grid (0 to 9.55362 mm)"),
    (broken(["simulation"], {"dft": [2.4e9, 0]}), "simulation.dft[1]: expected a number from 1 to"),
    (broken(["simulation"], {"probes": [{"component": "Ez", "at": [1, 1, 99]}]}),
     "simulation.probes[0].at: outside the grid along z"),
    (broken(["simulation"], {"probes": [{"component": "Ew", "at": [1, 1, 1]}]}),
     'simulation.probes[0].component: expected "Ex", "Ey"'),
])
def test_malformed_model_names_the_field(tmp_path, capsys, text, message):
    path = tmp_path / "bad.json"
    path.write_text(text, encoding="utf-8", errors="surrogatepass")
    assert main(["--model", str(path), "--out", str(tmp_path / "out")]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"fdtdhost: model error: {path}: ") and err.count("\n") == 1
    assert message in err
    assert not (tmp_path / "out").exists()


def _fifo(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    return tmp_path / "fifo"


def _big(tmp_path):
    with open(tmp_path / "big.json", "wb") as f:
        f.truncate(64 * 2 ** 20 + 1)
    return tmp_path / "big.json"


@pytest.mark.parametrize("where, message", [
    (lambda tmp: "/dev/zero", "not a regular file"),
    (lambda tmp: "/dev/urandom", "not a regular file"),
    (_fifo, "not a regular file"),
    (lambda tmp: tmp, "not a regular file"),
    (_big, "model file larger than 64 MiB"),
    (lambda tmp: tmp / "none.json", "cannot read: No such file or directory"),
])
def test_model_file_is_a_regular_file_of_bounded_size(tmp_path, capsys, where, message):
    path = where(tmp_path)
    assert main(["--model", str(path), "--out", str(tmp_path / "out")]) == 2
    assert capsys.readouterr().err == f"fdtdhost: model error: {path}: {message}\n"


def test_no_opengl_context_is_reported(tmp_path):
    path = tmp_path / "tiny.json"
    path.write_text(json.dumps(TINY))
    result = host("--model", str(path), "--out", str(tmp_path),
                  env={"EGL_PLATFORM": "x11", "DISPLAY": ":4711"})
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert result.stderr.startswith("fdtdhost: cannot draw the pictures: EGL")


def test_no_simulation_stops_before_the_field(tmp_path):
    path = tmp_path / "tiny.json"
    path.write_text(json.dumps(TINY))
    result = host("--model", str(path), "--out", str(tmp_path / "out"), "--no-simulation")
    assert result.returncode == 0, result.stderr
    assert "written to" in result.stdout and "summary.json, model.png, stage.png" in result.stdout
    assert sorted(os.listdir(tmp_path / "out")) == ["model.png", "stage.png", "summary.json"]
    with open(tmp_path / "out" / "summary.json") as f:
        s = json.load(f)
    assert list(s["phases_s"]) == [p for p in PHASES if p not in
                                   ("simulation", app.S11_PLOT) + app.FIELD_PICTURES]
    assert {c["result"] for c in s["checks"].values()} == {"passed"} and s["skin"]["records"] > 0


def test_model_error_from_the_command_line(tmp_path):
    path = tmp_path / "bad.json"
    path.write_text(broken(["grid", "x"], [{"cells": 40000, "size": 1}]))
    result = host("--model", str(path), "--out", str(tmp_path / "out"))
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert result.stderr == f"fdtdhost: model error: {path}: grid.x: more than 32766 cells " \
                            "(one RLE line holds at most that)\n"
