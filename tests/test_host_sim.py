"""The host's time-domain run: the default model's feed line and patch
against their closed forms, the files other tools read (Touchstone through
scikit-rf, VTK through the vtk package), the field plane's DFT, and what the
pictures say they show.

The default model runs once, through the command line, for the tests that
need it. Under the sanitizers it runs 1500 steps only: the files and the
summary are checked, the physics is not (the run has not rung down).
"""
import json
import math
import os

import numpy as np
import pytest

from fdtdhost import app, grid as gridmod, model as modelmod, pictures, rf, signals
from test_host import TINY, host

SANITIZED = bool(os.environ.get("QUORAN_SANITIZED"))
physics = pytest.mark.skipif(SANITIZED, reason="a shortened run under the sanitizers")


@pytest.fixture(scope="module")
def default(tmp_path_factory):
    """(output folder, summary, standard output) of `fdtdhost --export vtk`."""
    out = tmp_path_factory.mktemp("default")
    args = ["--out", str(out), "--export", "vtk"]
    if SANITIZED:
        data = modelmod.load().source.to_json()
        data["simulation"] = {"max_steps": 1500}
        path = out.parent / "short.json"
        path.write_text(json.dumps(data))
        args += ["--model", str(path)]
    result = host(*args, timeout=600)
    assert result.returncode == 0, result.stderr
    return out, json.loads((out / "summary.json").read_text()), result.stdout


def test_default_model_runs(default):
    out, s, stdout = default
    assert "compression ratio" in stdout and "feed line from V/I" in stdout
    assert s["grid"] == [150, 120, 40] and s["coefficients"]["compression_ratio"] > 10
    assert 45 < s["feed_line"]["impedance_ohm"] < 55      # the quasi-static solve
    assert s["arcs"]["found"] == 12 and len(s["via_rows"]) == 2
    sim = s["simulation"]
    assert sim["ran"] and sim["port"] == "feed"
    assert sim["reference_impedance_ohm"] == pytest.approx(50.0, rel=1e-6)
    if not SANITIZED:       # the short run stops before the patch rings down
        assert sim["stop"] == "energy" and sim["steps"] < sim["max_steps"]
        assert s["field_pictures"].endswith("GHz, resonance")
    from PIL import Image
    for name in app.PICTURES + (app.S11_PLOT,):
        with Image.open(out / name) as image:
            assert image.size == (480, 360)
    written = {p.name for p in out.iterdir()}
    assert set(s["files"]) | {"summary.json"} == written
    assert "model.vtr" in written and any(n.startswith("plane_") for n in written)


def test_closed_forms_against_published_figures():
    # Hammerstad-Jensen: Pozar's example 3.7 (eps_r 2.2, h 1.59 mm: 50 ohm at
    # w = 4.9 mm, eps_eff 1.87) within 1 %; the default feed line (3 mm on
    # 1.6 mm FR4) 50.6 ohm and 3.325 for a zero-thickness strip, 47.6 ohm and
    # 3.17 with the 0.4 mm copper layer of the grid. The patch (29.5 x 38 mm)
    # by the cavity model with Hammerstad's fringing: 2.394 GHz.
    z0, eps = rf.microstrip(4.9, 1.59, 2.2)
    assert z0 == pytest.approx(50.0, rel=0.01) and eps == pytest.approx(1.87, rel=0.01)
    for thickness, z_ref, eps_ref in ((0.0, 50.62, 3.325), (0.4, 47.64, 3.170)):
        z0, eps = rf.microstrip(3.0, 1.6, 4.4, thickness)
        assert z0 == pytest.approx(z_ref, abs=0.01) and eps == pytest.approx(eps_ref, abs=0.001)
    assert rf.patch_resonance(29.5e-3, 38e-3, 1.6e-3, 4.4) == pytest.approx(2.394e9, rel=1e-3)


@pytest.mark.parametrize("load", [0.0, 50.0, 1e9, 20 - 35j])
def test_two_plane_extraction_of_a_line(load):
    # A line of 42 - 1j ohm and eps_eff 3.3 with a little loss, ended in
    # `load`: V and I at two planes 12 mm apart give back both to 1e-9,
    # whatever the standing wave
    freqs = np.array([0.5e9, 2.4e9, 5e9])
    z0 = 42 - 1j
    gamma = 0.8 + 2j * np.pi * freqs * math.sqrt(3.3) / gridmod.C0
    end = 0.03
    reflection = (load - z0) / (load + z0)

    def at(x):
        forward, backward = np.exp(-gamma * x), reflection * np.exp(gamma * (x - 2 * end))
        return forward + backward, (forward - backward) / z0

    (v1, i1), (v2, i2) = at(0.005), at(0.017)
    found, eps_eff = rf.two_plane(v1, i1, v2, i2, 0.012, freqs)
    assert np.allclose(found, z0, rtol=1e-9)
    assert np.allclose(eps_eff, (gamma.imag * gridmod.C0 / (2 * np.pi * freqs)) ** 2, rtol=1e-9)


@physics
def test_feed_line_from_v_and_i_meets_hammerstad_jensen(default):
    # Reference: the closed form for the strip's 3 mm, the substrate's
    # 1.6 mm and 4.4, the strip one 0.4 mm cell thick (47.6 ohm, 3.17);
    # tolerance 10 % (this run: about 45.6 ohm and 3.36 at 2.4 GHz)
    sim = default[1]["simulation"]
    line, ref = sim["feed_line"], sim["closed_form"]["feed_line"]
    assert (ref["width_mm"], ref["height_mm"], ref["thickness_mm"]) == \
        pytest.approx((3.0, 1.6, 0.4)) and ref["eps_r"] == pytest.approx(4.4)
    assert line["impedance_ohm"] == pytest.approx(ref["impedance_ohm"], rel=0.10)
    assert line["eps_eff"] == pytest.approx(ref["eps_eff"], rel=0.10)


@physics
def test_patch_resonance_meets_the_cavity_model(default):
    # Reference: the TM010 cavity estimate with Hammerstad's fringing
    # extension (2.394 GHz); tolerance 5 % (this run: about 2.34 GHz). The
    # S11 dip of the same mode lies within the resonance's half-power width.
    sim = default[1]["simulation"]
    found, ref = sim["resonance"], sim["closed_form"]["patch"]
    assert found["frequency_Hz"] == pytest.approx(ref["frequency_Hz"], rel=0.05)
    assert found["q"] > 2
    out = default[0]
    import skrf
    net = skrf.Network(str(out / app.TOUCHSTONE))
    near = np.abs(net.f - found["frequency_Hz"]) < found["frequency_Hz"] / found["q"]
    dip = net.f[near][np.argmin(np.abs(net.s[near, 0, 0]))]
    assert dip == pytest.approx(found["frequency_Hz"], rel=0.5 / found["q"])


def test_touchstone_is_read_by_scikit_rf(default):
    # The file's frequencies are the band's points and its S11 the one that
    # the port's recorded V and I (signals.csv) give, to the file's 12 digits
    skrf = pytest.importorskip("skrf")
    out, s, _ = default
    sim = s["simulation"]
    net = skrf.Network(str(out / app.TOUCHSTONE))
    settings = modelmod.load().simulation
    assert np.allclose(net.f, np.linspace(*sim["band_Hz"], settings.points), rtol=1e-12, atol=0)
    assert np.allclose(net.z0, sim["reference_impedance_ohm"], rtol=1e-9)
    table = np.loadtxt(out / app.SIGNALS, delimiter=",", skiprows=1)
    dt = s["time_step_s"]
    z = signals.spectrum(table[:, 1], dt, net.f) / signals.spectrum(table[:, 2], dt, net.f)
    s11 = rf.reflection(z, sim["reference_impedance_ohm"])
    assert np.abs(net.s[:, 0, 0] - s11).max() < 1e-6
    best = int(np.argmin(np.abs(net.s[:, 0, 0])))
    assert net.f[best] == pytest.approx(sim["s11_minimum"]["frequency_Hz"], rel=1e-12)
    assert net.s_db[best, 0, 0] == pytest.approx(sim["s11_minimum"]["db"], abs=1e-6)


def vtk_grid(path):
    """(x, y, z coordinates, reader output) of a .vtr file, read by vtk."""
    vtk = pytest.importorskip("vtk")
    from vtk.util.numpy_support import vtk_to_numpy
    reader = vtk.vtkXMLRectilinearGridReader()
    reader.SetFileName(str(path))
    reader.Update()
    data = reader.GetOutput()
    coords = [vtk_to_numpy(c) for c in (data.GetXCoordinates(), data.GetYCoordinates(),
                                        data.GetZCoordinates())]
    return coords, data, vtk_to_numpy


def test_vtk_files_are_read_back(default):
    # The voxel model: the graded grid's nodes and every cell's material
    # index. The field plane: one layer of nodes at the plane's z over the
    # inner grid, |E| the magnitude of its parts, largest at a radiating
    # edge of the patch (x = 30 or 59.5 mm) and inside its width.
    out, s, _ = default
    grid = gridmod.Grid(modelmod.load())
    coords, data, to_numpy = vtk_grid(out / "model.vtr")
    for a in range(3):
        assert np.array_equal(coords[a], grid.nodes[a])
    material = to_numpy(data.GetCellData().GetArray("material"))
    assert np.array_equal(material, grid.material.ravel())      # x fastest, as VTK orders
    (name,) = [n for n in os.listdir(out) if n.startswith("plane_")]
    coords, data, to_numpy = vtk_grid(out / name)
    p = grid.model.pml
    assert np.array_equal(coords[0], grid.nodes[0][p:grid.nx - p + 1])
    assert np.array_equal(coords[1], grid.nodes[1][p:grid.ny - p + 1])
    assert coords[2].tolist() == [pytest.approx(s["simulation"]["plane"]["z_mm"])]
    point = data.GetPointData()
    parts = {n: to_numpy(point.GetArray(n)) for n in
             ("Ex_re", "Ex_im", "Ey_re", "Ey_im", "Ez_re", "Ez_im", "E_abs")}
    assert np.allclose(parts["E_abs"], np.sqrt(sum(v ** 2 for k, v in parts.items()
                                                   if k != "E_abs")), rtol=1e-12)
    if not SANITIZED:
        peak = int(np.argmax(parts["E_abs"]))
        x, y = coords[0][peak % len(coords[0])], coords[1][peak // len(coords[0])]
        assert min(abs(x - 30.0), abs(x - 59.5)) <= 1.0 and 11.0 <= y <= 49.0


def small_run(tmp_path, **options):
    """A run of the tiny model; the titles of its labelled pictures."""
    titles = []
    real = pictures.labelled

    def keep(canvas, path, title, *args, **kwargs):
        titles.append(title)
        return real(canvas, path, title, *args, **kwargs)

    pictures.labelled = keep
    try:
        run = app.Run(modelmod.validate(options.pop("model", TINY)), str(tmp_path),
                      **options).run()
    finally:
        pictures.labelled = real
    return run, titles


@pytest.mark.parametrize("options, simulated, stand_in", [
    ({}, True, False),
    ({"field": app.STAND_IN}, True, True),
    ({"simulate": False, "field": app.STAND_IN}, False, True),
])
def test_pictures_say_what_field_they_show(tmp_path, options, simulated, stand_in):
    run, titles = small_run(tmp_path, **options)
    s = run.summary
    assert s["simulation"]["ran"] == simulated
    assert ((tmp_path / app.TOUCHSTONE).exists(), (tmp_path / app.S11_PLOT).exists()) == \
        (simulated, simulated)
    assert len(titles) == 3          # relief, contours, arrows
    label = "analytic stand-in" if stand_in else "GHz, resonance"
    assert all(label in t for t in titles), titles
    assert (label in s["field_pictures"])
    if not simulated:
        assert s["simulation"]["reason"] == "not asked for (--no-simulation)"


def test_runs_that_cannot_simulate_say_why(tmp_path):
    # cells of 100 mm: a time step of 0.19 ns cannot carry 5 GHz; a port
    # inside a perfect conductor has no resistance to drive
    coarse = dict(TINY, grid={a: [{"cells": n, "size": 100.0}] for a, n in
                              zip("xyz", (16, 12, 10))},
                  boxes=[], sheets=[], vias=[],
                  lumped=[{"name": "feed", "from": [350, 550, 400], "to": [350, 550, 500],
                           "resistance": 50.0}])
    shorted = dict(TINY, boxes=TINY["boxes"] + [{"material": "pec", "from": [2, 4, 4],
                                                  "to": [5, 7, 5]}])
    for model, reason in ((coarse, "5e+09 Hz needs a time step of at most 1e-11 s"),
                          (shorted, "lumped element feed: the records hold no conductance")):
        s = app.Run(modelmod.validate(model), str(tmp_path), pictures=False).run().summary
        assert s["simulation"]["ran"] is False and reason in s["simulation"]["reason"], \
            s["simulation"]
        assert not (tmp_path / app.TOUCHSTONE).exists()


def test_plane_record_equals_the_kernels_dft(tmp_path):
    # The plane sampled every few steps (4 samples per period of the band's
    # top) and transformed after the run against the kernel's on-the-fly DFT
    # of every step at the same frequency, averaged onto the same nodes:
    # equal within 1e-3 of the largest value on this run, which the stop rule
    # cuts short (measured 3.4e-4; 2e-7 on a run left to ring down)
    f = 3.0e9
    model = dict(TINY, simulation={"dft": [f], "volume": True})
    run = app.Run(modelmod.validate(model), str(tmp_path), pictures=False).run().port_run
    k, (u0, u1, v0, v1) = run.record.plane, run.record.window
    kernel = np.stack([d.values[0] for d in run.dft_planes], axis=1) / run.source_at(f)
    ex, ey, ez = kernel                                            # [z][y][x]
    nodes = np.s_[v0:v1 + 1, u0:u1 + 1]
    expected = np.stack([0.5 * (ex[k][nodes] + ex[k][v0:v1 + 1, u0 - 1:u1]),
                         0.5 * (ey[k][nodes] + ey[k][v0 - 1:v1, u0:u1 + 1]),
                         0.5 * (ez[k - 1][nodes] + ez[k][nodes])])
    found = run.plane_phasor(f)
    assert np.abs(found - expected).max() < 1e-3 * np.abs(expected).max()


def test_dft_frequencies_export_the_volume(tmp_path):
    # the model's DFT frequencies: the kernel transforms the volume as it
    # steps; each frequency's file holds E on the cells' nodes, the same
    # field as the plane record gives at that frequency on the plane's layer
    f = 3.0e9
    model = dict(TINY, simulation={"dft": [f], "volume": True})
    run = app.Run(modelmod.validate(model), str(tmp_path), pictures=False,
                  export=["vtk"]).run()
    name = "volume_3.0000GHz.vtr"
    assert name in run.summary["files"]
    coords, data, to_numpy = vtk_grid(tmp_path / name)
    grid = run.grid
    assert [len(c) for c in coords] == [grid.nx, grid.ny, grid.nz]
    assert np.array_equal(coords[2], grid.nodes[2][:-1])
    ez = to_numpy(data.GetPointData().GetArray("Ez_re")) + \
        1j * to_numpy(data.GetPointData().GetArray("Ez_im"))
    kernel = run.port_run.dft_planes[5].values[0][2] / run.port_run.source_at(f)
    assert np.allclose(ez.reshape(grid.nz, grid.ny, grid.nx)[5], kernel, rtol=1e-6, atol=0)


def test_command_line_options(tmp_path):
    path = tmp_path / "tiny.json"
    path.write_text(json.dumps(TINY))
    for args, ran, label in ((["--no-simulation"], False, app.NO_FIELD),
                             (["--no-simulation", "--field", "stand-in"], False,
                              "analytic stand-in"),
                             (["--field", "stand-in"], True, "analytic stand-in"),
                             ([], True, "GHz, resonance")):
        out = tmp_path / "_".join(args or ["plain"])
        result = host(str(path), "--out", str(out), "--quiet", *args)
        assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
        s = json.loads((out / "summary.json").read_text())
        assert s["simulation"]["ran"] == ran and label in s["field_pictures"]
        assert (out / app.TOUCHSTONE).exists() == ran
        assert (out / "relief.png").exists() == (label != app.NO_FIELD)
