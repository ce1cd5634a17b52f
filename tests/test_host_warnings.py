"""Warnings about models that run but are probably not what was meant."""
import json
from importlib import resources

import pytest

fdtdhost = pytest.importorskip("fdtdhost")
from fdtdhost import grid as gridmod, model as modelmod, sanity  # noqa: E402
from test_host import TINY, host  # noqa: E402


def warnings_of(data):
    m = modelmod.validate(json.loads(json.dumps(data)))
    return sanity.warnings(m, gridmod.Grid(m))


def scaled(factor):
    """TINY with every length times `factor` (millimetres taken for metres: 1e-3)."""
    d = json.loads(json.dumps(TINY))
    for axis in "xyz":
        for seg in d["grid"][axis]:
            for key in ("size", "from", "to"):
                if key in seg:
                    seg[key] *= factor
    for item in d["boxes"] + d["vias"] + d["sheets"] + d["lumped"]:
        for key in ("from", "to", "centre", "z"):
            if key in item:
                item[key] = [v * factor for v in item[key]]
        for key in ("radius", "at"):
            if key in item:
                item[key] *= factor
    return d


def metal_first():
    d = json.loads(json.dumps(TINY))
    d["materials"] = d["materials"][2:] + d["materials"][:2]
    return d


def metal_at_bottom():
    d = json.loads(json.dumps(TINY))
    d["boxes"].append({"material": "copper", "from": [0, 0, 0], "to": [16, 12, 2.5]})
    return d


@pytest.mark.parametrize("data, expected", [
    (TINY, []),
    (json.loads(resources.files("fdtdhost").joinpath("default_model.json").read_text()), []),
    (metal_first(), ['the first material, "copper", fills the grid and is a conductor']),
    (metal_at_bottom(), ["metal reaches the grid's edge at x = 0, x = end, y = 0, y = end, z = 0"]),
    # 1 mm cells: 2.4 per wavelength in FR4 at 60 GHz, 0.06 at 2.4 THz
    (dict(TINY, frequency=60e9), ["2.38 cells per wavelength along x: a cell of 1 mm against "
                                  "2.382 mm in fr4 at 60 GHz; about 10 are needed"]),
    (dict(TINY, frequency=2.4e12), ["0.0596 cells per wavelength along x", "frequencies in Hz"]),
    # 2.4 meant as GHz; lengths in metres, or in micrometres, given as millimetres
    (dict(TINY, frequency=2.4), ["the grid spans 16 mm, 1.3e-10 of the wavelength",
                                 "frequencies in Hz"]),
    (scaled(1e-3), ["the grid spans 0.016 mm, 0.00013 of the wavelength of 124.9 mm at 2.4 GHz"]),
    (scaled(1e3), ["cells per wavelength along x: a cell of 1000 mm", "frequencies in Hz"]),
], ids=["tiny", "default", "metal fill", "metal at edge", "coarse", "THz", "2.4 Hz",
        "metres", "micrometres"])
def test_warnings(data, expected):
    found = warnings_of(data)
    assert len(found) == (1 if expected else 0), found
    for part in expected:
        assert part in found[0]


def test_warnings_go_to_stderr_and_the_summary(tmp_path):
    model = tmp_path / "coarse.json"
    model.write_text(json.dumps(dict(TINY, frequency=60e9)))
    result = host(str(model), "--out", str(tmp_path / "out"), "--quiet")
    assert result.returncode == 0 and result.stdout == ""
    assert result.stderr.startswith("fdtdhost: warning: 2.38 cells per wavelength")
    assert len(result.stderr.splitlines()) == 1
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert summary["warnings"] == [result.stderr[len("fdtdhost: warning: "):].rstrip("\n")]
