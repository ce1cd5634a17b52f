"""The capacity estimate: what dispatch will take of the parameter store, and
the refusal of a model that cannot fit, before any work."""
import json
import subprocess
import sys
import textwrap

import pytest
from conftest import child_env

fdtdhost = pytest.importorskip("fdtdhost")
from fdtdhost import capacity, grid as gridmod, model as modelmod, pre  # noqa: E402
from test_host import TINY, host  # noqa: E402


def board(nx, ny, nz, pml, graded="", to_edge=False):
    """A lossy slab in air on 0.5 mm cells; `graded` axes grow from 0.5 to 2 mm
    towards both ends; `to_edge` runs the slab through the PML in x and y."""
    grid = {a: ([{"cells": n // 2, "from": 2.0, "to": 0.5},
                 {"cells": n - n // 2, "from": 0.5, "to": 2.0}] if a in graded
                else [{"cells": n, "size": 0.5}]) for a, n in zip("xyz", (nx, ny, nz))}
    data = {"grid": grid, "pml": pml, "boxes": [],
            "materials": [{"name": "air", "eps_r": 1, "sigma": 0, "colour": [1, 1, 1]},
                          {"name": "fr4", "eps_r": 4.4, "sigma": 0.01, "colour": [0, 1, 0]}]}
    cells = modelmod.validate(data).cells
    lo = [0.0 if to_edge else sum(c[:pml + 1]) for c in cells]
    hi = [sum(c) - v for c, v in zip(cells, lo)]
    data["boxes"] = [{"material": "fr4", "from": [lo[0], lo[1], sum(cells[2]) / 3],
                      "to": [hi[0], hi[1], sum(cells[2]) / 2]}]
    return data


def store_used(m):
    g = gridmod.Grid(m)
    codes = g.codes()
    tables = pre.RunTables(g, codes, pre.Coefficients(g, g.material_pairs(), codes))
    ring, direct = tables.stats[:2]
    return ring, direct


@pytest.mark.parametrize("data", [
    TINY, dict(TINY, group_width=2), board(60, 40, 30, 8, to_edge=True),
    board(80, 80, 60, 16), board(60, 60, 60, 6, graded="yz")],
    ids=["tiny", "groups of 2", "slab through the PML", "pml 16", "graded y and z"])
def test_estimate_against_what_dispatch_takes(data):
    m = modelmod.validate(json.loads(json.dumps(data)))
    est = capacity.estimate(m)
    ring, direct = store_used(m)
    # state blocks: exactly 12 floats per PML cell and 3 per lumped cell, both passes
    assert est.state_blocks == direct
    # vectors: an upper bound that keeps within half again of what was stored
    assert ring <= est.pml_vectors + est.inner_vectors <= 1.5 * ring


def test_a_model_too_large_is_refused_before_any_work(tmp_path):
    # 10 M cells that validate, a 45-cell PML: 0.95 GB of state blocks and
    # 1.64 GB of PML vectors against the 2.04 GB the store has in a new process
    data = board(1000, 100, 100, 45)
    path = tmp_path / "thick.json"
    path.write_text(json.dumps(data))
    result = host(str(path), "--out", str(tmp_path / "out"))
    assert result.returncode == 2 and result.stdout == ""
    (line,) = result.stderr.splitlines()
    assert line.startswith(f"fdtdhost: model too large: {path}: parameter store 2.59 GB needed "
                           f"(state blocks of 9,909,000 PML cells 0.95 GB, PML vectors 1.64 GB")
    assert "2.04 GB usable" in line and "processes needed: 2" in line
    assert line.endswith("use a thinner PML, a coarser grid or a distributed run")
    assert not (tmp_path / "out").exists()


def test_ram_limit():
    est = capacity.estimate(modelmod.validate(TINY), ram_bytes=10 ** 6)
    assert not est.fits and est.processes == -(-est.ram // 10 ** 6)
    assert "MB" not in est.describe() and "GB needed, 0.00 GB available" in est.describe()
    assert est.remedies() == ["a coarser grid", "a distributed run"]


def test_earlier_store_memory_counts_against_the_limit():
    # a fresh process: nothing mapped below 2 GiB yet; a reservation there is
    # memory the store can no longer have
    code = textwrap.dedent("""
        import ctypes, mmap
        from fdtdhost import capacity
        before = capacity.store_limit()
        libc = ctypes.CDLL(None, use_errno=True)
        libc.mmap.restype = ctypes.c_void_p
        libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                              ctypes.c_int, ctypes.c_long]
        MAP_32BIT = 0x40
        p = libc.mmap(None, 256 << 20, 0,
                      mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | MAP_32BIT, -1, 0)
        print(before, before - capacity.store_limit())
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env=child_env())
    before, taken = map(int, out.stdout.split())
    assert before > 0.95 * capacity.STORE_USABLE and taken == 256 << 20


def test_store_that_runs_out_is_the_same_clear_error(tmp_path):
    # the estimate is bypassed and all but 64 MiB of the low 2 GiB reserved:
    # dispatch runs out part way, and the host says so in one line
    code = textwrap.dedent(f"""
        import ctypes, mmap, sys
        from fdtdhost import capacity, __main__
        capacity.STORE_USABLE = 1 << 40
        libc = ctypes.CDLL(None)
        libc.mmap.restype = ctypes.c_void_p
        libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                              ctypes.c_int, ctypes.c_long]
        MAP_FIXED_NOREPLACE = 0x100000
        for start in range(16 << 20, 1 << 31, 64 << 20):
            if start != 1 << 30:
                libc.mmap(start, 64 << 20, 0,
                          mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0)
        sys.exit(__main__.main(sys.argv[1:]))
    """)
    path = tmp_path / "pml16.json"
    path.write_text(json.dumps(board(100, 100, 60, 16)))
    result = subprocess.run([sys.executable, "-c", code, str(path), "--out", str(tmp_path / "out")],
                            capture_output=True, text=True, timeout=300, env=child_env())
    assert result.returncode == 2 and "Traceback" not in result.stderr
    (line,) = result.stderr.splitlines()
    assert line.startswith(f"fdtdhost: model too large: {path}: the parameter store ran out; "
                           f"parameter store 0.07 GB needed")
    assert not (tmp_path / "out").exists()
