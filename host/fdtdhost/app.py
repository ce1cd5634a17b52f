"""The host's run: every phase on one model, timed, with the summary."""
import dataclasses
import hashlib
import json
import resource
import time

import numpy as np

from . import __version__, capacity, export, field, grid as gridmod, numeric, pictures, pre, \
    rf, sanity, sim
from .gl import Canvas
from .output import SUMMARY, Output

PICTURES = ("model.png", "relief.png", "contours.png", "arrows.png", "stage.png")
S11_PLOT = "s11.png"
TOUCHSTONE = "s11.s1p"
SIGNALS = "signals.csv"
SIMULATED, STAND_IN = "simulated", "stand-in"     # what the field pictures show
FIELD_PICTURES = ("relief.png", "contours.png", "arrows.png")
NO_FIELD = "none (--no-simulation)"

# limits of the host's checks of the numeric modules' answers
ARC_ERROR = 1e-6            # mm, centre and radius against the via
VIAROW_ERROR = 1e-12        # against numpy.interp, relative to the largest value
FEED_RESIDUAL = 1e-9        # volts off the equations

STORE_FULL = "Error Alloc ORGA: Memory Full"
PASSED, FAILED, SKIPPED = "passed", "failed", "skipped"
VTK_EXPORT = export.VTK


class Run:
    """Runs the phases in order; `phases` maps each name to its seconds.

    Nothing is written to `out_dir` until every file of the run is complete
    (see `output.Output`); `warn` is called with each warning as it is found.
    Without `pictures` the run writes no pictures. `simulate` False stops
    before the time stepping; `field` "stand-in" draws the analytic stand-in
    instead of the simulated field; `export` names formats of
    `export.FORMATS` to write the model and the fields in.
    """

    def __init__(self, model, out_dir, pictures=True, warn=lambda line: None, simulate=True,
                 field=SIMULATED, export=()):
        self.model = model
        self.out_dir = str(out_dir)
        self.draw = pictures
        self.warn = warn
        self.simulate = simulate
        self.field = field
        self.export = tuple(export)
        self.port_run = None
        self.written = []           # files besides the pictures and the summary
        self.phases = {}
        self.summary = {}
        self.pictures = {}
        self.warnings = []
        self.estimate = None
        self.output = None

    def phase(self, name, work):
        start = time.perf_counter()
        result = work()
        self.phases[name] = round(time.perf_counter() - start, 3)
        return result

    def run(self):
        self.digest = model_digest(self.model)
        self.estimate = self.check_capacity()
        self.output = Output(self.out_dir)
        try:
            self._phases()
            self.summary = self.make_summary()
            self.output.write_json(SUMMARY, self.summary)
            self.output.commit(list(self.files), failed=bool(self.failed()))
        finally:
            self.output.discard()
        return self

    def _phases(self):
        model = self.model
        self.grid = grid = self.phase("voxelise", lambda: gridmod.Grid(model))
        for line in list(grid.voxels.warnings) + sanity.warnings(model, grid):
            self.warnings.append(line)
            self.warn(line)
        self.data_grid = data = self.cellcoef_grid(grid)
        pairs = self.phase("material pairs", data.material_pairs)
        self.codes = data.codes()
        self.coefficients = self.phase("last", lambda: pre.Coefficients(data, pairs, self.codes))
        self.tables = self.phase("dispatch", self._run_tables)
        self.skin = self.phase("surfloss", lambda: pre.SkinRecords(data))
        self.mode = field.CavityMode(grid)
        self.arcs = self.phase("arcfind", lambda: numeric.find_arcs(model))
        self.rows = self.phase("viarow", lambda: numeric.interpolate_rows(model, self.mode))
        self.feed = self.phase("_bandsolve", lambda: numeric.feed_line(grid))
        self.simulation_reason = self._simulation_reason()
        if self.simulation_reason is None:
            self.port_run = self.phase("simulation", self._simulation)
        if self.port_run is not None:
            self.write(TOUCHSTONE, lambda path: export.touchstone(path, self.port_run, model.name))
            self.write(SIGNALS, lambda path: export.signals_csv(path, self.port_run))
        self.plane_field = self._plane_field()
        if self.draw:
            self.draw_pictures(grid)
        if VTK_EXPORT in self.export:
            self.phase("export", self._export_vtk)
        self.files = self.output.manifest(list(self.pictures) + self.written)

    def check_capacity(self):
        """The model's capacity estimate; `capacity.CapacityError` when it does
        not fit this process."""
        return capacity.check(self.model, simulate=self.simulate)

    def cellcoef_grid(self, grid):
        """The grid the coefficients, run tables and skin records are built
        on: the whole grid here, a process's slab of it in a distributed run."""
        return grid

    def new_port_run(self):
        """The time-domain run of the model's port, not yet run."""
        return sim.PortRun(self.grid, self.coefficients, self.tables, self.skin, self.feed)

    def write(self, name, writer):
        """Writes the file `name` of the run with `writer(path)`."""
        with self.output.writing():
            writer(self.output.file(name))
        self.written.append(name)

    def _simulation_reason(self):
        """Why the time stepping is left out, or None to run it."""
        if not self.simulate:
            return "not asked for (--no-simulation)"
        if self.model.port is None:
            return "no lumped element to drive as the port"
        return sim.unresolved(self.model)

    def _simulation(self):
        try:
            run = self.new_port_run()
        except sim.PortError as err:
            self.simulation_reason = str(err)
            return None
        bar = pre.progress(self.model.simulation.max_steps, "time steps", unit="step")
        try:
            return run.run(progress=bar.update)
        finally:
            bar.close()

    def _plane_field(self):
        """The field the pictures and the plane export show: the simulated one
        at the resonance (or the S11 minimum), else the labelled stand-in;
        None without the time stepping unless the stand-in is asked for."""
        grid, run = self.grid, self.port_run
        if not self.simulate and self.field != STAND_IN:
            return None
        if run is None or self.field == STAND_IN:
            p = self.model.pml
            return self.mode.plane_field((p, grid.nx - p, p, grid.ny - p))
        freq, what = run.picture_frequency()
        outline = (self.mode.lo, self.mode.hi) if field.patch_sheet(self.model) else None
        return field.simulated_plane(run.plane_phasor(freq), run.record.plane, run.record.window,
                                     f"{freq / 1e9:.4g} GHz, {what}", outline)

    def draw_pictures(self, grid):
        model, out = self.model, self.output
        with Canvas(model.width, model.height) as canvas:
            plane = pictures.FieldPlane(grid, self.plane_field) \
                if self.plane_field is not None else None
            for name, draw in (
                    ("model.png", lambda p: pictures.model_picture(canvas, grid, p)),
                    ("relief.png", lambda p: plane.relief(canvas, p)),
                    ("contours.png", lambda p: plane.contours(canvas, p)),
                    ("arrows.png", lambda p: plane.arrows(canvas, p)),
                    ("stage.png", lambda p: pictures.stage_picture(canvas, grid, p))):
                if plane is None and name in FIELD_PICTURES:
                    continue
                with out.writing():
                    self.pictures[name] = self.phase(name, lambda: draw(out.file(name)))
        if self.port_run is not None:
            with out.writing():
                self.pictures[S11_PLOT] = self.phase(S11_PLOT, self._s11_plot)

    def _s11_plot(self):
        run = self.port_run
        marks = []
        if run.resonance is not None:
            marks.append((run.resonance.frequency, f"resonance {run.resonance.frequency / 1e9:.4g}"
                                                   " GHz (harmonic inversion)"))
        best = int(np.argmin(np.abs(run.s11)))
        marks.append((run.freqs[best], f"S11 minimum {run.freqs[best] / 1e9:.4g} GHz"))
        pictures.s11_plot(self.output.file(S11_PLOT), run.freqs, rf.db(run.s11),
                          self.model.width, self.model.height,
                          f"|S11| at port {run.element.name}, "
                          f"{run.port.resistance:.4g} ohm reference", marks)
        return {}

    def _export_vtk(self):
        grid, run = self.grid, self.port_run
        self.write("model.vtr", lambda path: export.voxel_model(path, grid))
        if run is None:
            return
        freq = run.picture_frequency()[0]
        self.write(export.frequency_name("plane", freq), lambda path: export.field_plane(
            path, grid, run.record.window, run.record.plane, run.plane_phasor(freq)))
        for n, f in enumerate(self.model.simulation.dft):
            planes = [d.values[n] / run.source_at(f) for d in run.dft_planes]
            if self.model.simulation.volume:
                self.write(export.frequency_name("volume", f), lambda path: export.field_volume(
                    path, grid, np.stack(planes, axis=1)))
            else:
                u0, u1, v0, v1 = run.record.window
                self.write(export.frequency_name("dft", f), lambda path: export.field_plane(
                    path, grid, run.record.window, run.record.plane,
                    planes[0][:, v0:v1 + 1, u0:u1 + 1]))

    def _run_tables(self):
        try:
            return pre.RunTables(self.data_grid, self.codes, self.coefficients)
        except Exception as err:
            if str(err) != STORE_FULL:
                raise
            raise capacity.CapacityError(
                f"the parameter store ran out; {self.estimate.describe()}") from None

    def make_summary(self):
        grid, model = self.grid, self.model
        s = {"model": model.name,
             "version": __version__,
             "model_sha256": self.digest,
             "cells": grid.ncells,
             "grid": list(model.shape),
             "time_step_s": grid.dt,
             "lines": grid.nz * grid.ny,
             "voxels": {"thin_conductors": list(grid.voxels.thin),
                        "left_out": list(grid.voxels.warnings)},
             "warnings": self.warnings}
        co = self.coefficients
        s["coefficients"] = {
            "arrays": len(co.pm) + len(co.pl),
            "rle_bytes": co.rle_bytes,
            "dense_float32_bytes": co.dense_bytes,
            "compression_ratio": round(co.dense_bytes / max(co.rle_bytes, 1), 1),
            "shared_lines": co.shared_lines,
            "cells_without_update": co.unupdated,
        }
        t = self.tables
        st = t.stats
        s["runs"] = {"pass0": int(len(t.records[0])), "pass1": int(len(t.records[1]))}
        s["store"] = {
            "ring_bytes": st.ring_bytes, "direct_bytes": st.direct_bytes, "hits": st.hits,
            "inserts": st.inserts, "blocks": st.blocks, "large_allocs": st.large_allocs,
            "bytes_per_cell": round((st.ring_bytes + st.direct_bytes) / grid.ncells, 3),
            "hit_rate": round(st.hits / max(st.hits + st.inserts, 1), 4),
        }
        s["capacity"] = dict(self.estimate.as_dict(),
                             store_bytes_used=st.ring_bytes + st.direct_bytes,
                             ram_peak_bytes=peak_ram())
        s["skin"] = {"records": self.skin.count, "marked": self.skin.marked,
                     "partners": self.skin.partners,
                     "spacings_mm": [round(v, 6) for v in self.skin.spacings]}
        found = [a for a in self.arcs if a["arc"]]
        s["arcs"] = {"outlines": len(self.arcs), "found": len(found),
                     "max_error_mm": max((a["error"] for a in found), default=0.0),
                     "list": [{"via": a["via"], "centre": a["centre"], "radius": a["radius"]}
                              for a in found]}
        s["via_rows"] = [{"vias": r["vias"], "y_mm": r["y"], "error": r["error"],
                          "coefficients": r["coefficients"]} for r in self.rows]
        f = self.feed
        if f.reason is None:
            s["feed_line"] = {"line": f.kind, "x_mm": f.x,
                              "impedance_ohm": round(f.impedance, 2),
                              "eps_eff": round(f.eps_eff, 3),
                              "capacitance_pF_per_m": round(f.capacitance * 1e12, 2),
                              "cross_section_cells": list(f.cells),
                              "residual_V": f.residual}
        else:
            s["feed_line"] = {"line": None, "reason": f.reason}
        s["simulation"] = self.port_run.summary() if self.port_run is not None else \
            {"ran": False, "reason": self.simulation_reason}
        s["field_pictures"] = self.plane_field.label if self.plane_field is not None else NO_FIELD
        s["checks"] = self.checks()
        s["pictures"] = {name: dict(info, file=name, width=model.width, height=model.height)
                         for name, info in self.pictures.items()}
        s["files"] = self.files
        s["phases_s"] = self.phases
        return s

    def checks(self):
        """The host's checks of the numeric answers: name -> result and detail.

        A check with nothing to check (no vias, no via rows, no feed line the
        solve can analyse) is skipped, never passed.
        """
        checks = {}
        if not self.arcs:
            checks["arcs"] = _check(SKIPPED, "no vias")
        else:
            bad = [a["via"] for a in self.arcs if not (a["arc"] and a["error"] <= ARC_ERROR)]
            checks["arcs"] = _check(FAILED, f"vias {bad} not found within {ARC_ERROR:g} mm") \
                if bad else _check(PASSED, f"{len(self.arcs)} via outlines")
        if not self.rows:
            checks["viarow"] = _check(SKIPPED, "no row of two or more vias")
        else:
            bad = [r["vias"] for r in self.rows if r["error"] > VIAROW_ERROR * max(
                1.0, np.abs(np.array(r["coefficients"])).max())]
            checks["viarow"] = _check(FAILED, f"rows {bad} off numpy.interp") \
                if bad else _check(PASSED, f"{len(self.rows)} via rows")
        f = self.feed
        if f.reason is not None:
            checks["feed_line"] = _check(SKIPPED, f.reason)
        elif f.residual > FEED_RESIDUAL:
            checks["feed_line"] = _check(FAILED, f"residual {f.residual:.2g} V")
        else:
            checks["feed_line"] = _check(PASSED, f"residual {f.residual:.2g} V")
        return checks

    def failed(self):
        return [name for name, c in self.summary["checks"].items() if c["result"] == FAILED]


def _check(result, detail):
    return {"result": result, "detail": detail}


def model_digest(model):
    """SHA-256 of the checked model as canonical JSON (sorted keys, exact
    floats, a mesh's triangles by their bytes' digest): the same for equal
    models however their files are laid out, or built in Python."""
    fields = {f.name: getattr(model, f.name) for f in dataclasses.fields(model)
              if f.name != "source"}
    return hashlib.sha256(json.dumps(_plain(fields), sort_keys=True, separators=(",", ":"))
                          .encode()).hexdigest()


def _plain(value):
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        value = {f.name: getattr(value, f.name) for f in dataclasses.fields(value)}
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, slice):
        return [value.start, value.stop]
    if isinstance(value, np.ndarray):
        return hashlib.sha256(np.ascontiguousarray(value).tobytes()).hexdigest()
    return value


def peak_ram():
    """The process's peak resident size so far, in bytes (Linux counts KiB)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def checks_line(checks):
    """'2 passed, 1 skipped (feed_line: ...)': the checks in one line."""
    by = {r: [(n, c["detail"]) for n, c in checks.items() if c["result"] == r]
          for r in (FAILED, PASSED, SKIPPED)}
    parts = []
    if by[FAILED]:
        parts.append(f"{len(by[FAILED])} failed ("
                     + "; ".join(f"{n}: {d}" for n, d in by[FAILED]) + ")")
    parts.append(f"{len(by[PASSED])} passed")
    if by[SKIPPED]:
        parts.append(f"{len(by[SKIPPED])} skipped ("
                     + "; ".join(f"{n}: {d}" for n, d in by[SKIPPED]) + ")")
    return ", ".join(parts)


def simulation_rows(s):
    """The time-domain run's rows of the table, each beside its closed form."""
    if not s["ran"]:
        return [("simulation", f"not run: {s['reason']}")]
    stop = f"{s['stop_db']:g} dB energy" if s["stop"] == "energy" else "the step limit"
    rows = [("simulation", f"{s['steps']:,} steps, stopped at {stop}"),
            ("kernel", f"{s['kernel_s']:.1f} s, {s['cell_updates_per_s'] / 1e6:.0f} MC/s")]
    ref = s["closed_form"]
    line = s["feed_line"]
    if "impedance_ohm" in line:
        text = (f"Z0 {line['impedance_ohm']:.1f} ohm, eps_eff {line['eps_eff']:.3g} "
                f"at {line['frequency_Hz'] / 1e9:g} GHz")
        if "feed_line" in ref:
            text += (f" (closed form {ref['feed_line']['impedance_ohm']:.1f} ohm, "
                     f"{ref['feed_line']['eps_eff']:.3g})")
        rows.append(("feed line from V/I", text))
    else:
        rows.append(("feed line from V/I", f"none: {line['reason']}"))
    m = s["resonance"]
    if m is None:
        rows.append(("resonance", "none found in the band"))
    else:
        text = f"{m['frequency_Hz'] / 1e9:.4g} GHz, Q {m['q']:.3g} (harmonic inversion"
        if "patch" in ref:
            text += f"; cavity model {ref['patch']['frequency_Hz'] / 1e9:.4g} GHz"
        rows.append(("resonance", text + ")"))
    best = s["s11_minimum"]
    text = f"{best['db']:.1f} dB at {best['frequency_Hz'] / 1e9:.4g} GHz (match)"
    if m is not None:
        text += f"; {m['s11_db']:.1f} dB at the resonance"
    rows.append(("S11 minimum", text))
    return rows


def table(summary):
    """The summary as aligned text rows."""
    rows = [("model", summary["model"]),
            ("grid", " x ".join(str(n) for n in summary["grid"]) + " cells"),
            ("cells", f"{summary['cells']:,}"),
            ("lines (z, y)", f"{summary['lines']:,}"),
            ("time step", f"{summary['time_step_s']:.4g} s")]
    co, runs, store = summary["coefficients"], summary["runs"], summary["store"]
    cap = summary["capacity"]
    a = summary["arcs"]
    rows += [("coefficient arrays", str(co["arrays"])),
             ("RLE bytes", f"{co['rle_bytes']:,}"),
             ("dense float32 bytes", f"{co['dense_float32_bytes']:,}"),
             ("compression ratio", f"{co['compression_ratio']:g} : 1"),
             ("runs, pass 0 / pass 1", f"{runs['pass0']:,} / {runs['pass1']:,}"),
             ("store bytes per cell", f"{store['bytes_per_cell']:g}"),
             ("store hits / inserts", f"{store['hits']:,} / {store['inserts']:,}"),
             ("store hit rate", f"{100 * store['hit_rate']:.2f} %"),
             ("store used / estimate", f"{cap['store_bytes_used'] / 1e6:,.1f} / "
                                       f"{cap['store_bytes'] / 1e6:,.1f} MB of "
                                       f"{cap['store_limit'] / 1e6:,.0f} MB"),
             ("RAM peak / estimate", f"{cap['ram_peak_bytes'] / 1e6:,.0f} / "
                                     f"{cap['ram_bytes'] / 1e6:,.0f} MB"),
             ("skin records", f"{summary['skin']['records']:,}"),
             ("arcs found", f"{a['found']} of {a['outlines']} via outlines "
                            f"(max error {a['max_error_mm']:.1e} mm)"),
             ("via rows interpolated", str(len(summary["via_rows"])))]
    f = summary["feed_line"]
    rows.append(("feed line", f"{f['line']}, Z0 {f['impedance_ohm']:g} ohm, eps_eff "
                              f"{f['eps_eff']:g}" if f["line"] else f"no Z0: {f['reason']}"))
    rows += simulation_rows(summary["simulation"])
    rows.append(("checks", checks_line(summary["checks"])))
    rows.append(("field pictures", summary["field_pictures"]))
    rows += [("warning", line) for line in summary["warnings"]]
    for name, seconds in summary["phases_s"].items():
        rows.append((f"time: {name}", f"{seconds:.3f} s"))
    for name, info in summary["pictures"].items():
        rows.append((f"picture: {name}", f"{info['width']} x {info['height']}"))
    width = max(len(k) for k, _ in rows)
    lines = [f"{'item':<{width}}  value", f"{'-' * width}  {'-' * 5}"]
    lines += [f"{k:<{width}}  {v}" for k, v in rows]
    return "\n".join(lines)
