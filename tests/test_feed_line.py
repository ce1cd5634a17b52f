"""The feed line's quasi-static analysis: the right Z0, or none and why."""
import json
import math
import re

import pytest

fdtdhost = pytest.importorskip("fdtdhost")
from fdtdhost import app, grid as gridmod, model as modelmod, numeric  # noqa: E402
from test_host import TINY  # noqa: E402

CELL = 0.1          # mm, across the line
GAP = 1.5           # mm of FR4 from each ground to the strip
THICK = 0.2         # mm, the strip
WIDTH = 1.4         # mm


def stripline(top=True, fill="fr4", **changes):
    """A strip in FR4 between two copper grounds, fed from the lower one at
    the start of the line; `top=False` leaves a microstrip."""
    gap = round(GAP / CELL)
    z = [{"cells": 4, "size": CELL}, {"cells": 1, "size": CELL}, {"cells": gap, "size": CELL},
         {"cells": 1, "size": THICK}, {"cells": gap, "size": CELL}, {"cells": 1, "size": CELL},
         {"cells": 4, "size": CELL}]
    nodes = [0.0]
    for seg in z:
        nodes.append(nodes[-1] + seg["cells"] * seg["size"])
    materials = [{"name": "fr4", "eps_r": 4.4, "sigma": 0.0, "colour": [0.2, 0.6, 0.3]},
                 {"name": "air", "eps_r": 1.0, "sigma": 0.0, "colour": [1, 1, 1]},
                 {"name": "copper", "eps_r": 1.0, "sigma": 5.8e7, "colour": [0.9, 0.5, 0.2]}]
    if fill != "fr4":
        materials.insert(0, materials.pop(1))
    boxes = [{"material": "fr4", "from": [0.5, 1.0, nodes[2]], "to": [5.5, 11.0, nodes[5]]},
             {"material": "copper", "from": [0.5, 1.0, nodes[1]], "to": [5.5, 11.0, nodes[2]]},
             {"material": "copper", "from": [1.5, 6 - WIDTH / 2, nodes[3]],
              "to": [5.5, 6 + WIDTH / 2, nodes[4]]}]
    if top:
        boxes.append({"material": "copper", "from": [0.5, 1.0, nodes[5]],
                      "to": [5.5, 11.0, nodes[6]]})
    data = {"name": "stripline", "pml": 2,
            "grid": {"x": [{"cells": 12, "size": 0.5}], "y": [{"cells": 120, "size": CELL}],
                     "z": z},
            "materials": materials, "boxes": boxes,
            "lumped": [{"name": "feed", "from": [1.75, 6.01, nodes[2]],
                        "to": [1.75, 6.01, nodes[3]], "resistance": 50.0}]}
    data.update(changes)
    return data


def wheeler(b, t, w, eps_r):
    """Z0 of a strip of width w and thickness t centred between ground planes
    b apart (H. A. Wheeler, IEEE Trans. MTT-26, 1978, as given in Pozar,
    Microwave Engineering; within about 0.5 %)."""
    x = t / b
    m = 2 / (1 + 2 / 3 * x / (1 - x))
    dw = (b - t) * x / (math.pi * (1 - x)) * (
        1 - 0.5 * math.log((x / (2 - x)) ** 2 + (0.0796 * x / (w / b + 1.1 * x)) ** m))
    a = 4 / math.pi * (b - t) / (w + dw)
    return 30 / math.sqrt(eps_r) * math.log(1 + a * (2 * a + math.sqrt((2 * a) ** 2 + 6.27)))


def feed(data, **kw):
    return numeric.feed_line(gridmod.Grid(modelmod.validate(json.loads(json.dumps(data)))), **kw)


def test_stripline_in_uniform_fr4():
    # TEM in one dielectric: eps_eff is eps_r, Z0 that of the strip between the
    # planes (the 0.1 mm cells put the discrete line 1.6 % above it)
    line = feed(stripline())
    assert line.kind == "stripline" and line.residual < 1e-9
    assert line.eps_eff == pytest.approx(4.4, abs=1e-4)
    assert line.impedance == pytest.approx(wheeler(2 * GAP + THICK, THICK, WIDTH, 4.4), rel=0.03)


def test_microstrip_is_recognised():
    line = feed(stripline(top=False, fill="air"))
    assert line.kind == "microstrip"
    # part of the field runs in air: Z0 above the stripline's, eps_eff below 4.4
    assert 1.0 < line.eps_eff < 4.3 and line.impedance > feed(stripline()).impedance


@pytest.mark.parametrize("data", [stripline(), TINY], ids=["stripline", "tiny microstrip"])
def test_coarse_cross_section_agrees_with_the_full_one(data):
    full, coarse = feed(data, growth=0.0), feed(data)
    assert coarse.cells[0] * coarse.cells[1] <= full.cells[0] * full.cells[1]
    assert coarse.impedance == pytest.approx(full.impedance, rel=0.01)
    assert coarse.eps_eff == pytest.approx(full.eps_eff, rel=0.01)


def test_cross_section_stays_small_on_a_tall_grid():
    # 32 000 more cells above the patch: the solve's cross-section grows by a few
    tall = json.loads(json.dumps(TINY))
    tall["grid"]["z"][2]["cells"] += 32000
    line = feed(tall)
    assert line.reason is None and max(line.cells) < 60
    assert line.impedance == pytest.approx(feed(TINY).impedance, rel=0.05)


def _without_feed(data):
    return dict(data, lumped=[])


def _feed_along_x(data):
    start = data["lumped"][0]["from"]
    return dict(data, lumped=[dict(data["lumped"][0], to=[start[0] + 1.0, start[1], start[2]])])


def _wide_strip(data):
    boxes = [dict(b) for b in data["boxes"]]
    boxes[2]["from"] = [1.5, 0.0, boxes[2]["from"][2]]
    return dict(data, boxes=boxes)


def _shorted(data):
    lo, hi = data["lumped"][0]["from"], data["lumped"][0]["to"]
    return dict(data, boxes=data["boxes"] + [
        {"material": "copper", "from": [2.0, 5.9, lo[2]], "to": [2.5, 6.1, hi[2]]}])


def _no_strip(data):
    return dict(data, boxes=data["boxes"][:2] + data["boxes"][3:])


def _short_strip(data):
    boxes = [dict(b) for b in data["boxes"]]
    boxes[2]["to"] = [2.5, boxes[2]["to"][1], boxes[2]["to"][2]]
    return dict(data, boxes=boxes)


@pytest.mark.parametrize("change, reason", [
    (_without_feed, "no lumped element to feed a line"),
    (_feed_along_x, "does not run along z"),
    (_shorted, "the feed's two ends lie on one conductor"),
    (_no_strip, "no conductor at the feed's upper end"),
    (_wide_strip, "reaches the grid's edge"),
    (_short_strip, "does not run on along x"),
])
def test_a_line_the_solve_cannot_analyse_has_no_impedance(change, reason):
    line = feed(change(stripline()))
    assert line.kind is None and reason in line.reason
    assert not hasattr(line, "impedance")


def test_copper_as_fill_is_skipped_not_passed(tmp_path):
    # the case: the copper listed first gave "Z0 0 ohm ... checks all passed"
    data = json.loads(json.dumps(TINY))
    data["materials"] = data["materials"][2:] + data["materials"][:2]
    run = app.Run(modelmod.validate(data), tmp_path).run()
    s = run.summary
    assert s["feed_line"]["line"] is None and "impedance_ohm" not in s["feed_line"]
    assert s["checks"]["feed_line"]["result"] == "skipped"
    rows = dict(re.split(r"\s{2,}", line, maxsplit=1) for line in app.table(s).splitlines()[2:])
    assert rows["checks"].startswith("2 passed, 1 skipped (feed_line: the feed's two ends")
    assert rows["feed line"].startswith("no Z0: the feed's two ends")
