"""blockdraw and stagedraw: the GL calls they make, checked against the
drawing loops written out in Python with a recording library in place of
libGL, and the pixels they draw into a real headless context."""
import math
import subprocess

import numpy as np
import pytest

import blockdraw
import glrecord
import stagedraw

QUADS, LINES = 0x7, 0x1
FRONT_AND_BACK, AMBIENT_AND_DIFFUSE = 0x0408, 0x1602
F32 = np.float32


# ---------------------------------------------------------------- references
# The drawing loops of blockdraw and stagedraw, written out plainly, as the
# calls they make.

def reference_blockdraw(t0, t1, counts, spacing, voxels, materials, alpha):
    """(calls, quad count, table after) for a grid with every count >= 1."""
    table = materials.copy()
    n, h = [int(c) for c in counts], [float(x) for x in spacing]
    calls, quads = [], 0

    def shown(row):
        return float(row[0]) >= t0 and float(row[1]) >= t1

    for a in range(3):
        u, w = (a + 1) % 3, (a + 2) % 3
        last_row, last_sign = None, 0
        for l in range(n[a]):
            for m in range(n[u]):
                calls.append(("glBegin", QUADS))
                for k in range(n[w] + 1):
                    def material(kk):
                        p = [0, 0, 0]
                        p[a], p[u], p[w] = l, m, kk
                        return int(voxels[p[2], p[1], p[0]])
                    before_out, after_out = k == 0, k == n[w]
                    bm = 0 if before_out else material(k - 1)
                    am = 0 if after_out else material(k)
                    if bm == am and not before_out and not after_out:
                        continue
                    b, f = table[bm], table[am]
                    if b[0] == 0 or math.isnan(b[0]):
                        b[0], b[4:7] = 1234.0, 0.7
                    if f[0] < 0 or math.isnan(f[0]):
                        f[0], f[4:7] = 1234.0, 0.7
                    before_shown = not before_out and shown(b)
                    after_shown = not after_out and shown(f)
                    if before_shown == after_shown:
                        continue
                    quads += 1
                    r = bm if before_shown else am
                    row = table[r]
                    if row[0] == 1.0:
                        row[4:7] = 0.6
                    if r != last_row:
                        colour = tuple(float(x) for x in row[4:7]) + (float(F32(alpha)),)
                        calls.append(("glMaterialfv", FRONT_AND_BACK, AMBIENT_AND_DIFFUSE, colour))
                        last_row = r
                    sign = 1 if before_shown else -1
                    if sign != last_sign:
                        normal = [0.0, 0.0, 0.0]
                        normal[w] = float(sign)
                        calls.append(("glNormal3fv", tuple(normal)))
                        last_sign = sign
                    for ia, iu in ((l, m), (l + 1, m), (l + 1, m + 1), (l, m + 1)):
                        v = [0.0, 0.0, 0.0]
                        v[a], v[u], v[w] = ia * h[a], iu * h[u], k * h[w]
                        calls.append(("glVertex3fv", tuple(float(F32(x)) for x in v)))
                calls.append(("glEnd",))
    return calls, quads, table


def ramp(s):
    if s < 0.5:
        return (0.0, float(F32(2 * s)), float(F32((0.5 - s) * 2)), 1.0)
    return (float(F32((s - 0.5) * 2)), float(F32((1 - s) * 2)), 0.0, 1.0)


def reference_stagedraw(box, values, xs, ys, zs, lower, upper):
    coords = (xs, ys, zs)
    nz, ny, nx = values.shape[1:]
    n = (nx, ny, nz)
    calls = []
    for a in range(3):
        u, w = (a + 1) % 3, (a + 2) % 3
        for j in range(ny):
            for k in range(nz):
                for i in range(nx):
                    node = (i, j, k)
                    p = node[a]
                    if not p < n[a] - 1:
                        continue
                    if not (box[a, 0] <= coords[a][p] + 1.0 and box[a, 1] >= coords[a][p + 1] - 1.0):
                        continue
                    if not all(box[b, 0] <= coords[b][node[b]] + 1.0 and
                               box[b, 1] >= coords[b][node[b]] - 1.0 for b in (u, w)):
                        continue
                    v = float(values[a, k, j, i])
                    if not (v <= upper and v >= lower):
                        continue
                    start = (float(xs[i]), float(ys[j]), float(zs[k]))
                    end = list(start)
                    end[a] = float(coords[a][p + 1])
                    calls += [("glBegin", LINES),
                              ("glMaterialfv", FRONT_AND_BACK, AMBIENT_AND_DIFFUSE,
                               ramp((v - lower) / (upper - lower))),
                              ("glVertex3dv", start), ("glVertex3dv", tuple(end)), ("glEnd",)]
    return calls


# ------------------------------------------------------------------ fixtures

def table(*rows):
    """Material table; each row given as (value0, value1, (r, g, b))."""
    t = np.zeros((len(rows), 32), F32)
    for r, (v0, v1, rgb) in enumerate(rows):
        t[r, 0], t[r, 1], t[r, 4:7] = v0, v1, rgb
    return t


HIDDEN = (0.5, 0.0, (0.1, 0.1, 0.1))  # below threshold0 = 1, and no default applies
SHOWN = (5.0, 0.0, (1.0, 0.5, 0.25))


def bd_args(voxels, materials, t0=1.0, t1=-10.0, spacing=(1.0, 1.0, 1.0), alpha=0.5, counts=None):
    if not isinstance(voxels, glrecord.View):
        voxels = np.asarray(voxels, np.uint8)
    if counts is None:
        counts = voxels.shape[::-1]
    return (None, t0, t1, np.array(counts, np.int32), np.array(spacing, np.float64),
            voxels, materials, alpha)


def single_cell(n=3):
    vox = np.zeros((n, n, n), np.uint8)
    vox[1, 1, 1] = 1
    return vox


def random_case(seed):
    rng = np.random.default_rng(seed)
    shape = (int(rng.integers(1, 5)), int(rng.integers(1, 5)), int(rng.integers(1, 21)))
    vox = rng.integers(0, 5, shape).astype(np.uint8)
    vox[rng.random(shape) < 0.6] = 1  # runs of equal cells, some longer than 8
    values = rng.choice([0.0, -1.0, 1.0, 5.0, 2000.0, np.nan], size=5)
    rows = [(v0, float(rng.choice([0.0, 1.0, np.nan])), tuple(rng.random(3))) for v0 in values]
    return bd_args(vox, table(*rows), t0=float(rng.choice([0.5, 1.0, 1500.0])), t1=0.5,
                   spacing=tuple(rng.choice([0.5, 1.0, 0.1], 3)), alpha=0.3)


BLOCK_CASES = {
    "uniform shown": bd_args(np.ones((4, 2, 3)), table(HIDDEN, SHOWN)),
    "single shown cell": bd_args(single_cell(), table(HIDDEN, SHOWN)),
    "two shown touching": bd_args([[[1, 2]]], table(HIDDEN, SHOWN, (7.0, 0.0, (0, 1, 0)))),
    "shown and hidden touching": bd_args([[[1, 2, 2]]], table(HIDDEN, SHOWN, (0.5, 0.0, (0, 1, 0)))),
    "zero value0 defaulted on before side": bd_args([[[1]]], table(HIDDEN, (0.0, 0.0, (1, 0, 0))),
                                                   t0=0.0),
    "negative value0 defaulted on after side": bd_args([[[1, 2]]], table(
        HIDDEN, (-1.0, 0.0, (1, 0, 0)), (-1.0, 0.0, (0, 0, 1)))),
    "row 0 zero at the boundary": bd_args([[[1]]], table((0.0, 0.0, (1, 1, 1)), SHOWN)),
    "1.0 row greyed": bd_args([[[1, 2]]], table(HIDDEN, (1.0, 0.0, (1, 0, 0)), SHOWN)),
    "threshold0 above 1234 hides defaults": bd_args(
        [[[1, 2]]], table(HIDDEN, (-1.0, 0.0, (1, 0, 0)), (1500.0, 0.0, (0, 0, 1))), t0=1300.0),
    "NaN rows": bd_args([[[1, 2, 3]]], table(HIDDEN, (np.nan, 0.0, (1, 0, 0)),
                                             (5.0, np.nan, (0, 1, 0)), SHOWN)),
    "strided voxels": bd_args(glrecord.View(np.ones((3, 4, 6), np.uint8), np.s_[::-1, :, ::2]),
                              table(HIDDEN, SHOWN), spacing=(0.5, 0.25, 2.0), counts=(3, 4, 3)),
    **{f"random {seed}": random_case(seed) for seed in range(8)},
}

STAGE_GRID = np.arange(3 * 2 * 3 * 4, dtype=F32).reshape(3, 2, 3, 4) / 71.0


def sd_args(values=STAGE_GRID, box=((-10, 10),) * 3, lower=0.0, upper=1.0, kind="line",
            xs=None, ys=None, zs=None):
    made = values.make() if isinstance(values, glrecord.View) else values
    nz, ny, nx = made.shape[1:]
    return (np.array(box, np.float64), values,
            np.arange(nx, dtype=np.float64) * 2.0 if xs is None else np.array(xs, np.float64),
            np.arange(ny, dtype=np.float64) * 1.5 if ys is None else np.array(ys, np.float64),
            np.arange(nz, dtype=np.float64) - 1.0 if zs is None else np.array(zs, np.float64),
            lower, upper, kind)


def one_edge(value, xs=(0.0, 1.0)):
    """A grid of two nodes along axis 0: one edge, from (xs[0], 0, 0)."""
    v = np.zeros((3, 1, 1, 2), F32)
    v[0, 0, 0, 0] = value
    return v, list(xs)


STAGE_CASES = {
    "full box": sd_args(),
    "value range": sd_args(lower=0.3, upper=0.6),
    "reversed range": sd_args(lower=0.8, upper=0.2),
    "tight box": sd_args(box=((1.5, 4.5), (0.0, 2.0), (-1.0, -0.5))),
    "one node along x": sd_args(STAGE_GRID[:, :, :, :1]),
    "one node everywhere": sd_args(STAGE_GRID[:, :1, :1, :1]),
    "strided values": sd_args(glrecord.View(STAGE_GRID, np.s_[::-1, :, ::2, ::-1])),
    "empty kind draws": sd_args(kind=""),
    "kind beginning with vol draws": sd_args(kind="volume"),
    "NaN values": sd_args(np.where(STAGE_GRID > 0.5, np.nan, STAGE_GRID).astype(F32)),
}

RAMP_CASES = {s: sd_args(one_edge(2.0 + 4.0 * s)[0], xs=[0.0, 1.0], lower=2.0, upper=6.0)
              for s in (0.0, 0.25, 0.5, 0.75, 1.0)}

# The edge runs from x = 0 to x = 2 at y = z = 0; box, and whether it is drawn.
BOX_CASES = {
    ((1.0, 1.0), (0, 0), (0, 0)): True,        # within 1.0 at both ends
    ((1.0, 0.999), (0, 0), (0, 0)): False,     # end sticks out by more than 1.0
    ((-1.0, 2.0), (0, 0), (0, 0)): True,
    ((1.0001, 3.0), (0, 0), (0, 0)): False,    # start sticks out by more than 1.0
    ((0, 2), (1.0, 2.0), (0, 0)): True,        # node 1.0 below the box across
    ((0, 2), (1.0001, 2.0), (0, 0)): False,
    ((0, 2), (0, 0), (-3.0, -1.0)): True,      # node 1.0 above the box across
    ((0, 2), (0, 0), (-3.0, -1.0001)): False,
}

# Counts with a 0, and whether row 0 meets the default tests.
ZERO_CASES = {(counts, row0): defaulted
              for counts, defaulted in [((0, 2, 3), True), ((2, 0, 3), True), ((4, 5, 0), True),
                                        ((0, 0, 2), False), ((0, 0, 0), False)]
              for row0 in (0.0, -2.0)}


def zero_args(counts, row0):
    return bd_args(np.ones(counts[::-1], np.uint8), table((row0, 0.0, (0.2, 0.2, 0.2)), SHOWN))


GOOD_BLOCK = bd_args(single_cell(), table(HIDDEN, SHOWN))
GOOD_STAGE = sd_args()


def changed(good, names, **changes):
    args = dict(zip(names, good))
    args.update(changes)
    return tuple(args[n] for n in names)


def bd(**changes):
    return changed(GOOD_BLOCK, ["ignored", "t0", "t1", "counts", "spacing", "voxels",
                                "materials", "alpha"], **changes)


def sd(**changes):
    return changed(GOOD_STAGE, ["box", "values", "xs", "ys", "zs", "lower", "upper", "kind"],
                   **changes)


shared = np.zeros(256 * 4, np.uint8)

REFUSALS = [
    ("blockdraw", (None, 1.0), "Error parsing args"),
    ("blockdraw", bd(t0="x"), "Error parsing args"),
    ("blockdraw", bd(counts=[3, 3, 3]), "Array expected 0"),
    ("blockdraw", bd(counts=None, spacing=None), "Array expected 0"),
    ("blockdraw", bd(spacing=(1.0, 1.0, 1.0)), "Array expected 1"),
    ("blockdraw", bd(voxels=single_cell().tolist()), "Array expected 2"),
    ("blockdraw", bd(materials=np.ma.zeros((2, 32), F32)), "Array expected 3"),
    ("blockdraw", bd(counts=np.array([3, 3], np.int32)), "Array too small: counts"),
    ("blockdraw", bd(counts=np.array([3, 3, 3], np.int64)), "Wrong element size: counts"),
    ("blockdraw", bd(counts=np.array([3, -1, 3], np.int32)), "Negative count: counts"),
    ("blockdraw", bd(spacing=np.ones(2)), "Array too small: spacing"),
    ("blockdraw", bd(spacing=np.ones(3, F32)), "Wrong element size: spacing"),
    ("blockdraw", bd(voxels=single_cell()[:, :2]), "Array too small: voxels"),
    ("blockdraw", bd(voxels=single_cell()[0]), "Wrong number of dimensions: voxels"),
    ("blockdraw", bd(voxels=single_cell().astype(np.uint16)), "Wrong element size: voxels"),
    ("blockdraw", bd(voxels=single_cell() * 2), "Array too small: materials"),
    ("blockdraw", bd(counts=np.zeros(3, np.int32), materials=np.zeros((0, 32), F32)),
     "Array too small: materials"),
    ("blockdraw", bd(materials=glrecord.View(np.zeros((2, 64), F32), np.s_[:, ::2])),
     "Array not contiguous: materials"),
    ("blockdraw", bd(materials=glrecord.View(GOOD_BLOCK[6], writeable=False)),
     "Array not writeable: materials"),
    ("blockdraw", bd(materials=glrecord.View(np.zeros(2 * 128 + 1, np.uint8), np.s_[1:],
                                             dtype=F32, shape=(2, 32))),
     "Array not aligned: materials"),
    ("blockdraw", bd(voxels=glrecord.View(shared, np.s_[:27], shape=(3, 3, 3)),
                     materials=glrecord.View(shared, dtype=F32, shape=(-1, 32))),
     "Arrays overlap: materials"),
    ("stagedraw", (1, 2), "Error parsing args"),
    ("stagedraw", sd(kind=None), "Error parsing args"),
    ("stagedraw", sd(values=None), "Array expected 0"),
    ("stagedraw", sd(xs=[0.0]), "Array expected 1"),
    ("stagedraw", sd(ys=(0.0,)), "Array expected 2"),
    ("stagedraw", sd(zs=None), "Array expected 3"),
    ("stagedraw", sd(box=None, values=None), "Array expected 0"),
    ("stagedraw", sd(box="box"), "Array expected 4"),
    ("stagedraw", sd(kind="vol"), "stagedraw: Only line/conc stages implemented"),
    ("stagedraw", sd(values=STAGE_GRID[:, :0], kind="surf"),
     "stagedraw: Only line/conc stages implemented"),
    ("stagedraw", sd(kind="vol", xs=np.zeros(1)), "stagedraw: Only line/conc stages implemented"),
    ("stagedraw", sd(values=STAGE_GRID[0]), "Wrong number of dimensions: stage_values"),
    ("stagedraw", sd(values=STAGE_GRID[:2]), "Array too small: stage_values"),
    ("stagedraw", sd(values=STAGE_GRID.astype(np.float64)), "Wrong element size: stage_values"),
    ("stagedraw", sd(xs=np.zeros(3)), "Array too small: xs"),
    ("stagedraw", sd(zs=glrecord.View(np.arange(4.0), np.s_[::2])), "Array not contiguous: zs"),
    ("stagedraw", sd(ys=np.zeros(3, F32)), "Wrong element size: ys"),
    ("stagedraw", sd(box=np.zeros((2, 2))), "Array too small: box"),
    ("stagedraw", sd(box=np.zeros(6)), "Wrong number of dimensions: box"),
    ("stagedraw", sd(lower=0.5, upper=0.5), "Empty value range: upper"),
]


@pytest.fixture(scope="module")
def records(tmp_path_factory):
    """Every recorded call of this file, made in one process: key -> (GL
    calls, result, arguments after the call)."""
    directory = str(tmp_path_factory.mktemp("glrecord"))
    library = glrecord.build(directory)
    jobs = ([(("block", k), "blockdraw", a) for k, a in BLOCK_CASES.items()] +
            [(("stage", k), "stagedraw", a) for k, a in STAGE_CASES.items()] +
            [(("ramp", k), "stagedraw", a) for k, a in RAMP_CASES.items()] +
            [(("box", k), "stagedraw", sd_args(one_edge(0.5)[0], xs=[0.0, 2.0], ys=[0.0],
                                                zs=[0.0], box=k)) for k in BOX_CASES] +
            [(("zero", k), "blockdraw", zero_args(*k)) for k in ZERO_CASES] +
            [(("refusal", i), m, a) for i, (m, a, _) in enumerate(REFUSALS)])
    done = glrecord.record(library, [(m, a) for _, m, a in jobs], directory)
    return {key: run for (key, _, _), run in zip(jobs, done)}


def quads_of(calls):
    """(material colour, normal, four corners) of every quad, in order."""
    colour = normal = None
    quads, corners = [], []
    for call in calls:
        if call[0] == "glMaterialfv":
            colour = call[3]
        elif call[0] == "glNormal3fv":
            normal = call[1]
        elif call[0] == "glVertex3fv":
            corners.append(call[1])
            if len(corners) == 4:
                quads.append((colour, normal, corners))
                corners = []
    return quads


# ------------------------------------------------------------ call sequences

@pytest.mark.parametrize("case", BLOCK_CASES)
def test_blockdraw_calls_follow_the_drawing_loops(records, case):
    calls, result, args = records["block", case]
    expected_calls, expected_quads, expected_table = reference_blockdraw(
        *glrecord.made(BLOCK_CASES[case])[1:])
    assert result == expected_quads
    assert calls == expected_calls
    np.testing.assert_array_equal(args[6], expected_table)


@pytest.mark.parametrize("case,quads", [
    ("uniform shown", 2 * (3 * 2 + 2 * 4 + 4 * 3)),
    ("strided voxels", 2 * (3 * 4 + 4 * 3 + 3 * 3)),
    ("single shown cell", 6),
    ("two shown touching", 10),
    ("shown and hidden touching", 6),
    ("threshold0 above 1234 hides defaults", 6),   # cell 1, defaulted to 1234, is hidden
])
def test_blockdraw_quad_counts(records, case, quads):
    calls, result, _ = records["block", case]
    assert result == quads == len(quads_of(calls))


def test_single_cell_normals_point_away_from_the_cell(records):
    calls, _, _ = records["block", "single shown cell"]
    # one bracket per row of faces: three passes of 3 x 3 rows
    assert calls.count(("glBegin", QUADS)) == calls.count(("glEnd",)) == 27
    centre = np.array([1.5, 1.5, 1.5])
    faces = quads_of(calls)
    assert len(faces) == 6
    for colour, normal, corners in faces:
        assert colour == (1.0, 0.5, 0.25, 0.5)
        assert np.allclose(np.mean(corners, axis=0) - centre, 0.5 * np.array(normal))
    assert len({normal for _, normal, _ in faces}) == 6


@pytest.mark.parametrize("case,row,after,first_colour", [
    # Met first on the after side (left alone, drawn in its own colour), then on
    # the before side, where it is defaulted; the colour is not sent again.
    ("zero value0 defaulted on before side", 1, (1234.0, 0.7), (1.0, 0.0, 0.0)),
    ("negative value0 defaulted on after side", 1, (1234.0, 0.7), (0.7, 0.7, 0.7)),
    ("row 0 zero at the boundary", 0, (1234.0, 0.7), (1.0, 0.5, 0.25)),
    ("1.0 row greyed", 1, (1.0, 0.6), (0.6, 0.6, 0.6)),
    ("threshold0 above 1234 hides defaults", 1, (1234.0, 0.7), (0.0, 0.0, 1.0)),
])
def test_defaults_and_grey_stay_in_the_table(records, case, row, after, first_colour):
    calls, _, args = records["block", case]
    t = args[6]
    assert (t[row, 0], *t[row, 4:7]) == tuple(F32(x) for x in (after[0],) + (after[1],) * 3)
    first = next(c for c in calls if c[0] == "glMaterialfv")
    assert first[3][:3] == tuple(float(F32(x)) for x in first_colour)


@pytest.mark.parametrize("counts,row0", ZERO_CASES)
def test_zero_counts_draw_nothing(records, counts, row0):
    calls, result, after = records["zero", (counts, row0)]
    assert (result, calls) == (0, [])
    expected = zero_args(counts, row0)[6]
    if ZERO_CASES[counts, row0]:
        expected[0, 0], expected[0, 4:7] = 1234.0, 0.7
    np.testing.assert_array_equal(after[6], expected)


@pytest.mark.parametrize("case", STAGE_CASES)
def test_stagedraw_calls_follow_the_drawing_loops(records, case):
    calls, result, _ = records["stage", case]
    expected = reference_stagedraw(*glrecord.made(STAGE_CASES[case])[:7])
    assert calls == expected
    assert result == len(expected) // 5


def test_stage_lines_come_out_by_axis_then_j_k_i(records):
    calls, result, _ = records["stage", "full box"]
    vertices = [c[1] for c in calls if c[0] == "glVertex3dv"]
    xs, ys, zs = np.arange(4) * 2.0, np.arange(3) * 1.5, np.arange(2) - 1.0
    expected = []
    for a, n in enumerate((4, 3, 2)):
        for j in range(3):
            for k in range(2):
                for i in range(4):
                    node = [i, j, k]
                    if node[a] < n - 1:
                        end = list(node)
                        end[a] += 1
                        expected.append(tuple((xs[p[0]], ys[p[1]], zs[p[2]]) for p in (node, end)))
    assert result == len(expected) == 3 * 3 * 2 + 4 * 2 * 2 + 4 * 3 * 1
    assert list(zip(vertices[::2], vertices[1::2])) == expected


@pytest.mark.parametrize("s", RAMP_CASES)
def test_stage_ramp(records, s):
    calls, result, _ = records["ramp", s]
    assert result == 1
    colour = calls[1][3]
    assert colour == ramp(s)
    if s in (0.0, 0.5, 1.0):
        assert colour == {0.0: (0, 0, 1, 1), 0.5: (0, 1, 0, 1), 1.0: (1, 0, 0, 1)}[s]


@pytest.mark.parametrize("box", BOX_CASES)
def test_stage_box_is_widened_by_one(records, box):
    calls, result, _ = records["box", box]
    assert result == int(BOX_CASES[box])
    assert len(calls) == 5 * result


@pytest.mark.parametrize("index", range(len(REFUSALS)))
def test_refusals_make_no_call_and_change_nothing(records, index):
    method, args, message = REFUSALS[index]
    calls, result, after = records["refusal", index]
    assert result == ("error", "Exception", message)
    assert calls == []
    for before, now in zip(glrecord.made(args), after):
        if isinstance(before, np.ndarray):
            np.testing.assert_array_equal(now, before)


def test_modules_import_only_their_gl_calls():
    allowed = {"blockdraw": {"glBegin", "glEnd", "glMaterialfv", "glNormal3fv", "glVertex3fv"},
                  "stagedraw": {"glBegin", "glEnd", "glMaterialfv", "glVertex3dv"}}
    for module in (blockdraw, stagedraw):
        out = subprocess.run(["nm", "-D", "--undefined-only", module.__file__],
                             capture_output=True, text=True, check=True).stdout
        gl = {line.split()[-1].split("@")[0] for line in out.splitlines()
              if line.split()[-1].startswith("gl")}
        assert gl == allowed[module.__name__]


# ------------------------------------------------------------------- pixels

@pytest.fixture(scope="module")
def gl():
    from fdtdhost.gl import Canvas
    with Canvas(48, 48) as context:
        yield context


BACKGROUND = (0, 0, 128)


@pytest.mark.parametrize("axis,sign", [(a, s) for a in range(3) for s in (1, -1)])
def test_lit_cell_shows_its_colour_from_every_side(gl, axis, sign):
    """One cell at [1, 2]^3, lit by a white light behind the viewer and no
    ambient light: the face turned to the viewer shows exactly its colour only
    if its normal points out of the cell."""
    from OpenGL import GL
    gl.clear(tuple(c / 255 for c in BACKGROUND))
    gl.ortho(-1.5, 1.5, -1.5, 1.5)
    GL.glEnable(GL.GL_LIGHTING)
    GL.glEnable(GL.GL_LIGHT0)
    GL.glLightModelfv(GL.GL_LIGHT_MODEL_AMBIENT, (0.0, 0.0, 0.0, 1.0))
    GL.glLightModeli(GL.GL_LIGHT_MODEL_TWO_SIDE, GL.GL_FALSE)
    GL.glLightfv(GL.GL_LIGHT0, GL.GL_POSITION, (0.0, 0.0, 1.0, 0.0))
    GL.glLightfv(GL.GL_LIGHT0, GL.GL_DIFFUSE, (1.0, 1.0, 1.0, 1.0))
    GL.glLightfv(GL.GL_LIGHT0, GL.GL_AMBIENT, (0.0, 0.0, 0.0, 1.0))
    GL.glEnable(GL.GL_DEPTH_TEST)
    # Turn the face on the `sign` side of `axis` towards the viewer (+z).
    turn = {(0, 1): (-90, 0, 1, 0), (0, -1): (90, 0, 1, 0), (1, 1): (90, 1, 0, 0),
            (1, -1): (-90, 1, 0, 0), (2, 1): (0, 0, 1, 0), (2, -1): (180, 0, 1, 0)}
    GL.glRotated(*turn[axis, sign])
    GL.glTranslated(-1.5, -1.5, -1.5)
    colour = (1.0, 0.5, 0.25)
    drawn = blockdraw.blockdraw(None, 1.0, -1.0, np.array([3, 3, 3], np.int32), np.ones(3),
                                single_cell(), table(HIDDEN, (5.0, 0.0, colour)), 1.0)
    assert drawn == 6 and GL.glGetError() == GL.GL_NO_ERROR
    image = gl.read()
    # The cell covers the middle third of the view: pixels 16 to 31.
    inside = image[17:31, 17:31].reshape(-1, 3)
    assert (inside == (255, 128, 64)).all()
    outside = np.ones((48, 48), bool)
    outside[15:33, 15:33] = False
    assert (image[outside] == BACKGROUND).all()


@pytest.mark.parametrize("s,rgb", [(0.0, (0, 0, 255)), (0.5, (0, 255, 0)), (1.0, (255, 0, 0))])
def test_stage_line_shows_its_ramp_colour(gl, s, rgb):
    gl.clear(tuple(c / 255 for c in BACKGROUND))
    gl.ortho(0, 48, 0, 48)
    gl.flat()
    values, xs = one_edge(10.0 + 10.0 * s, xs=(4.0, 40.0))
    args = sd_args(values, xs=xs, ys=[20.5], zs=[0.0], lower=10.0, upper=20.0,
                   box=((0, 48), (0, 48), (-1, 1)))
    assert stagedraw.stagedraw(*args) == 1
    image = gl.read()
    row = 48 - 1 - 20  # y = 20.5 is the centre of pixel row 20 from the bottom
    assert (image[row, 5:39] == rgb).all()
    lit = (image != BACKGROUND).any(axis=2)
    assert lit.sum() == (image[row] == rgb).all(axis=1).sum()
