"""The host's run: every phase on one model, timed, with the summary."""
import json
import os
import time

import numpy as np

from . import field, grid as gridmod, numeric, pictures, pre
from .gl import Canvas

PICTURES = ("model.png", "relief.png", "contours.png", "arrows.png", "stage.png")
FIELD_PICTURES = ("relief.png", "contours.png", "arrows.png")   # drawn from the field

# limits of the host's checks of the numeric modules' answers
ARC_ERROR = 1e-6            # mm, centre and radius against the via
VIAROW_ERROR = 1e-12        # against numpy.interp, relative to the largest value
FEED_RESIDUAL = 1e-9        # volts off the equations


class Run:
    """Runs the phases in order; `phases` maps each name to its seconds.

    Without `simulation`, the run stops before the time stepping: the
    pre-processing, the numeric checks and the model pictures only.
    """

    def __init__(self, model, out_dir, simulation=True):
        self.model = model
        self.out_dir = out_dir
        self.simulation = simulation
        self.phases = {}
        self.summary = {}

    def phase(self, name, work):
        start = time.perf_counter()
        result = work()
        self.phases[name] = round(time.perf_counter() - start, 3)
        return result

    def run(self):
        model = self.model
        os.makedirs(self.out_dir, exist_ok=True)
        self.grid = grid = self.phase("voxelise", lambda: gridmod.Grid(model))
        pairs = self.phase("material pairs", grid.material_pairs)
        self.codes = grid.codes()
        self.coefficients = self.phase("last", lambda: pre.Coefficients(grid, pairs, self.codes))
        self.tables = self.phase(
            "dispatch", lambda: pre.RunTables(grid, self.codes, self.coefficients))
        self.skin = self.phase("surfloss", lambda: pre.SkinRecords(grid))
        self.mode = field.CavityMode(grid)
        self.arcs = self.phase("arcfind", lambda: numeric.find_arcs(model))
        self.rows = self.phase("viarow", lambda: numeric.interpolate_rows(model, self.mode))
        self.feed = self.phase("_bandsolve", lambda: numeric.feed_line(grid))
        self.pictures = {}
        with Canvas(model.width, model.height) as canvas:
            plane = pictures.FieldPlane(grid, self.mode) if self.simulation else None
            for name, draw in (
                    ("model.png", lambda p: pictures.model_picture(canvas, grid, p)),
                    ("relief.png", lambda p: plane.relief(canvas, p)),
                    ("contours.png", lambda p: plane.contours(canvas, p)),
                    ("arrows.png", lambda p: plane.arrows(canvas, p)),
                    ("stage.png", lambda p: pictures.stage_picture(canvas, grid, p))):
                if name in FIELD_PICTURES and not self.simulation:
                    continue
                path = os.path.join(self.out_dir, name)
                self.pictures[name] = self.phase(name, lambda: draw(path))
        self.summary = self.make_summary()
        with open(os.path.join(self.out_dir, "summary.json"), "w") as out:
            json.dump(self.summary, out, indent=2)
            out.write("\n")
        return self

    def make_summary(self):
        grid, model = self.grid, self.model
        s = {"model": model.name,
             "cells": grid.ncells,
             "grid": list(model.shape),
             "time_step_s": grid.dt,
             "lines": grid.nz * grid.ny}
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
        ring, direct, hits, inserts, blocks, large, _ = t.stats
        s["runs"] = {"pass0": int(len(t.records[0])), "pass1": int(len(t.records[1]))}
        s["store"] = {
            "ring_bytes": ring, "direct_bytes": direct, "hits": hits,
            "inserts": inserts, "blocks": blocks, "large_allocs": large,
            "bytes_per_cell": round((ring + direct) / grid.ncells, 3),
            "hit_rate": round(hits / max(hits + inserts, 1), 4),
        }
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
        if self.feed is not None:
            f = self.feed
            s["feed_line"] = {"x_mm": f.x, "impedance_ohm": round(f.impedance, 2),
                              "eps_eff": round(f.eps_eff, 3),
                              "capacitance_pF_per_m": round(f.capacitance * 1e12, 2),
                              "residual_V": f.residual}
        s["checks"] = self.checks()
        s["pictures"] = {name: dict(info, file=name, width=model.width, height=model.height)
                         for name, info in self.pictures.items()}
        s["phases_s"] = self.phases
        return s


    def checks(self):
        """The host's checks of the numeric answers: name -> passed."""
        checks = {"arcs": all(a["arc"] and a["error"] <= ARC_ERROR for a in self.arcs),
                  "viarow": all(r["error"] <= VIAROW_ERROR * max(1.0, np.abs(
                      np.array(r["coefficients"])).max()) for r in self.rows)}
        if self.feed is not None:
            checks["feed_line"] = self.feed.residual <= FEED_RESIDUAL
        return checks


def table(summary):
    """The summary as aligned text rows."""
    rows = [("model", summary["model"]),
            ("grid", " x ".join(str(n) for n in summary["grid"]) + " cells"),
            ("cells", f"{summary['cells']:,}"),
            ("lines (z, y)", f"{summary['lines']:,}"),
            ("time step", f"{summary['time_step_s']:.4g} s")]
    co, runs, store = summary["coefficients"], summary["runs"], summary["store"]
    a = summary["arcs"]
    rows += [("coefficient arrays", str(co["arrays"])),
             ("RLE bytes", f"{co['rle_bytes']:,}"),
             ("dense float32 bytes", f"{co['dense_float32_bytes']:,}"),
             ("compression ratio", f"{co['compression_ratio']:g} : 1"),
             ("runs, pass 0 / pass 1", f"{runs['pass0']:,} / {runs['pass1']:,}"),
             ("store bytes per cell", f"{store['bytes_per_cell']:g}"),
             ("store hits / inserts", f"{store['hits']:,} / {store['inserts']:,}"),
             ("store hit rate", f"{100 * store['hit_rate']:.2f} %"),
             ("skin records", f"{summary['skin']['records']:,}"),
             ("arcs found", f"{a['found']} of {a['outlines']} via outlines "
                            f"(max error {a['max_error_mm']:.1e} mm)"),
             ("via rows interpolated", str(len(summary["via_rows"])))]
    if "feed_line" in summary:
        f = summary["feed_line"]
        rows.append(("feed line", f"Z0 {f['impedance_ohm']:g} ohm, eps_eff {f['eps_eff']:g}"))
    failed = [name for name, ok in summary["checks"].items() if not ok]
    rows.append(("checks", f"failed: {', '.join(failed)}" if failed else "all passed"))
    for name, seconds in summary["phases_s"].items():
        rows.append((f"time: {name}", f"{seconds:.3f} s"))
    for name, info in summary["pictures"].items():
        rows.append((f"picture: {name}", f"{info['width']} x {info['height']}"))
    width = max(len(k) for k, _ in rows)
    lines = [f"{'item':<{width}}  value", f"{'-' * width}  {'-' * 5}"]
    lines += [f"{k:<{width}}  {v}" for k, v in rows]
    return "\n".join(lines)
