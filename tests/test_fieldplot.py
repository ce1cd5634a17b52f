"""fieldplot: face incidence (inzidenz) and field-plane display arrays (glarr)."""
import itertools
import math
from types import SimpleNamespace

import numpy as np
import pytest

import fieldplot

F32 = np.float32
SENTINEL = 99.0
PERMUTATIONS = list(itertools.permutations(range(3)))


def module_error(excinfo, message):
    assert type(excinfo.value) is Exception
    assert str(excinfo.value) == message


# ---------------------------------------------------------------- inzidenz

def literal_incidence(normal_axis, u_axis, v_axis, plane, u_begin, u_end, v_begin, v_end,
                      coords, boxes, incidence, surface_only):
    """The per-corner scan of every box, written out node by node."""
    pairs = boxes.shape[1] // 2

    def covered(n, i, j):
        index = [0, 0, 0]
        index[normal_axis], index[u_axis], index[v_axis] = n, i, j
        p = []
        for a in range(3):
            if index[a] < 0 or index[a] >= len(coords[a]):
                return False
            p.append(float(F32(coords[a][index[a]])))
        for b in range(pairs):
            if all(float(boxes[a, 2 * b]) - 0.01 <= p[a] <= float(boxes[a, 2 * b + 1]) + 0.01
                   for a in range(3)):
                return True
        return False

    for i in range(u_begin, u_end):
        for j in range(v_begin, v_end):
            result = 1
            for ci, cj in ((i, j), (i, j + 1), (i + 1, j), (i + 1, j + 1)):
                if not covered(plane, ci, cj):
                    result = 0
                    break
                if surface_only:
                    above = covered(plane + 1, ci, cj)
                    below = covered(plane - 1, ci, cj)
                    if above and below:
                        result = 0
                        break
            incidence[i, j] = result


GRID = [np.arange(6.0), np.arange(6.0), np.arange(5.0)]  # x, y, z nodes


def box_array(*boxes):
    """Boxes as ((x0, x1), (y0, y1), (z0, z1)) to the [3][2B] corner layout."""
    out = np.zeros((3, 2 * len(boxes)), F32)
    for b, box in enumerate(boxes):
        for a in range(3):
            out[a, 2 * b:2 * b + 2] = box[a]
    return out


def incidence_run(boxes, plane, surface_only=0, window=(1, 4, 1, 4), coords=GRID):
    incidence = np.full((6, 6), 9, np.uint8)
    assert fieldplot.inzidenz(2, 0, 1, plane, *window, coords, boxes, incidence,
                              surface_only) is None
    return incidence


WHOLE = ((0, 5), (0, 5), (0, 4))


def faces(rows):
    """Expected window faces (u 1..3, v 1..3) from three strings of 0/1."""
    return np.array([[int(c) for c in r] for r in rows], np.uint8)


@pytest.mark.parametrize("boxes, plane, surface_only, expected", [
    pytest.param(box_array(), 2, 0, faces(["000"] * 3), id="no boxes"),
    pytest.param(box_array(WHOLE), 2, 0, faces(["111"] * 3), id="whole grid"),
    pytest.param(box_array(((0, 5), (0, 5), (2, 2))), 2, 1, faces(["111"] * 3),
                 id="flat box in its plane, surface_only"),
    pytest.param(box_array(((0, 5), (0, 5), (2, 2))), 1, 0, faces(["000"] * 3),
                 id="flat box, other plane"),
    pytest.param(box_array(((2, 2), (2, 2), (0, 4)), ((2, 2), (3, 3), (0, 4)),
                           ((3, 3), (2, 2), (0, 4)), ((3, 3), (3, 3), (0, 4))),
                 2, 0, faces(["000", "010", "000"]), id="four corners in four boxes"),
    pytest.param(box_array(((1.005, 3.995), (1, 4), (0, 4))), 2, 0, faces(["111"] * 3),
                 id="0.005 outside is inside"),
    pytest.param(box_array(((1.02, 3.98), (1, 4), (0, 4))), 2, 0,
                 faces(["000", "111", "000"]), id="0.02 outside is outside"),
    pytest.param(box_array(((1.01005, 3.98995), (1, 4), (0, 4))), 2, 0,
                 faces(["000", "111", "000"]), id="0.01005 outside is outside"),
    pytest.param(box_array(((5, 0), (0, 5), (0, 4))), 2, 0, faces(["000"] * 3),
                 id="swapped corners cover nothing"),
    pytest.param(box_array(((2.01, 2.0), (0, 5), (0, 4))), 2, 0,
                 faces(["000"] * 3), id="swapped by 0.01, one node column only"),
    pytest.param(box_array(WHOLE), 0, 1, faces(["111"] * 3), id="surface_only first plane"),
    pytest.param(box_array(WHOLE), 4, 1, faces(["111"] * 3), id="surface_only last plane"),
    pytest.param(box_array(WHOLE), 2, 1, faces(["000"] * 3), id="surface_only middle plane"),
    pytest.param(box_array(((0, 5), (0, 5), (1, 3))), 1, 1, faces(["111"] * 3),
                 id="surface_only bottom of a thick box"),
    pytest.param(box_array(((0, 5), (0, 5), (1, 3)), ((0, 5), (0, 5), (0, 0))), 1, 1,
                 faces(["000"] * 3), id="surface_only covered below by another box"),
    pytest.param(np.concatenate([box_array(), np.zeros((3, 1), F32) + 1], axis=1), 2, 0,
                 faces(["000"] * 3), id="odd last column ignored"),
    pytest.param(np.concatenate([box_array(WHOLE), np.full((3, 1), 1e9, F32)], axis=1), 2, 0,
                 faces(["111"] * 3), id="odd column after a box"),
])
def test_incidence_cases(boxes, plane, surface_only, expected):
    incidence = incidence_run(boxes, plane, surface_only)
    np.testing.assert_array_equal(incidence[1:4, 1:4], expected)
    outside = np.ones((6, 6), bool)
    outside[1:4, 1:4] = False
    assert (incidence[outside] == 9).all()
    reference = np.full((6, 6), 9, np.uint8)
    literal_incidence(2, 0, 1, plane, 1, 4, 1, 4, GRID, boxes, reference, surface_only)
    np.testing.assert_array_equal(incidence, reference)


@pytest.mark.parametrize("window", [(3, 3, 0, 5), (0, 5, 4, 2), (4, 1, 1, 4)])
def test_incidence_empty_window_writes_nothing(window):
    incidence = incidence_run(box_array(WHOLE), 2, 1, window)
    assert (incidence == 9).all()


def test_incidence_window_past_the_coordinates():
    # Corner nodes beyond a coordinate array are not covered.
    incidence = np.full((8, 8), 9, np.uint8)
    fieldplot.inzidenz(2, 0, 1, 2, 3, 7, 3, 7, GRID, box_array(((0, 9), (0, 9), (0, 9))),
                       incidence, 0)
    np.testing.assert_array_equal(incidence[3:7, 3:7], np.pad(np.ones((2, 2)), (0, 2)))


@pytest.mark.parametrize("seed", range(8))
def test_incidence_matches_the_literal_scan(seed):
    rng = np.random.default_rng(seed)
    lengths = rng.integers(4, 9, size=3)
    # Coordinates not sorted, with node-to-box gaps at the tolerance's edge.
    coords = [rng.permutation(np.arange(n)) * 0.5 + rng.choice([0, 0.004, 0.006, 0.011], n)
              for n in lengths]
    pairs = rng.integers(0, 7)
    lo = rng.integers(-1, 8, size=(3, pairs)) * 0.5 + rng.choice([-0.01, 0, 0.02], (3, pairs))
    hi = lo + rng.integers(-1, 5, size=(3, pairs)) * 0.5 + rng.choice([0, 0.015], (3, pairs))
    boxes = np.empty((3, 2 * pairs + int(rng.integers(0, 2))), F32)
    boxes[:, 0:2 * pairs:2], boxes[:, 1:2 * pairs:2] = lo, hi
    if boxes.shape[1] % 2:
        boxes[:, -1] = 1.0
    normal_axis, u_axis, v_axis = PERMUTATIONS[seed % 6]
    for surface_only, plane in itertools.product((0, 1), range(-1, lengths[normal_axis] + 1)):
        u_end = lengths[u_axis] + 1  # the last face column reaches past the coordinates
        v_end = lengths[v_axis]
        args = (normal_axis, u_axis, v_axis, plane, 0, u_end, 1, v_end)
        # A strided, transposed view of the output checks the addressing too.
        got = np.full((v_end + 2, u_end + 3), 7, np.uint8).T
        fieldplot.inzidenz(*args, coords, np.asfortranarray(boxes), got, surface_only)
        want = np.full((u_end + 3, v_end + 2), 7, np.uint8)
        literal_incidence(*args, coords, boxes, want, surface_only)
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("seed", range(40))
def test_incidence_with_nan_and_open_windows_matches_the_literal_scan(seed):
    rng = np.random.default_rng(100 + seed)
    lengths = rng.integers(1, 8, size=3)
    # Sorted nodes 0.5 apart with gaps at the tolerance's edge, some NaN.
    coords = [np.arange(n) * 0.5 + rng.choice([0, 0.006, 0.011, np.nan], n, p=[.75, .1, .1, .05])
              for n in lengths]
    pairs = rng.integers(0, 6)
    lo = rng.integers(-1, 2, size=(3, pairs)) * 0.5 + rng.choice([0, -0.004, 0.02, np.nan],
                                                                 (3, pairs), p=[.6, .2, .1, .1])
    hi = lo + rng.integers(-1, 9, size=(3, pairs)) * 0.5 + rng.choice([0, 0.015, -0.015],
                                                                       (3, pairs))
    boxes = np.empty((3, 2 * pairs + int(rng.integers(0, 2))), F32)
    boxes[:, 0:2 * pairs:2], boxes[:, 1:2 * pairs:2] = lo, hi
    if boxes.shape[1] % 2:
        boxes[:, -1] = rng.uniform(-1, 3, 3)
    normal_axis, u_axis, v_axis = PERMUTATIONS[rng.integers(6)]
    u_begin, v_begin = rng.integers(0, 3, size=2)
    u_end, v_end = u_begin + rng.integers(-1, 7), v_begin + rng.integers(-1, 7)
    for surface_only, plane in itertools.product((0, 1), (-1, 0, lengths[normal_axis] // 2,
                                                          lengths[normal_axis] - 1)):
        args = (normal_axis, u_axis, v_axis, int(plane), int(u_begin), int(u_end),
                int(v_begin), int(v_end))
        got = np.full((max(u_end, 0) + 1, max(v_end, 0) + 1), 7, np.uint8)
        want = np.copy(got)
        fieldplot.inzidenz(*args, coords, boxes, got, surface_only)
        literal_incidence(*args, coords, boxes, want, surface_only)
        np.testing.assert_array_equal(got, want)


def inzidenz_args(**change):
    args = dict(normal_axis=2, u_axis=0, v_axis=1, plane=2, u_begin=1, u_end=4, v_begin=1,
                v_end=4, coords=GRID, boxes=box_array(WHOLE),
                incidence=np.full((6, 6), 9, np.uint8), surface_only=0)
    args.update(change)
    return args


@pytest.mark.parametrize("change, message", [
    (dict(coords=5), "Sequence expected"),
    (dict(coords=GRID[:2]), "Sequence expected"),
    (dict(boxes=box_array(WHOLE).tolist()), "Array expected"),
    (dict(incidence=[[0] * 6] * 6), "Array expected"),
    (dict(u_axis=2), "Axes not a permutation"),
    (dict(normal_axis=3), "Axes not a permutation"),
    (dict(v_axis=-1), "Axes not a permutation"),
    (dict(incidence=np.full((6, 3), 9, np.uint8)), "Array too small: incidence"),
    (dict(incidence=np.full((6,), 9, np.uint8)), "Wrong number of dimensions: incidence"),
    (dict(incidence=np.full((6, 6), 9, np.int16)), "Wrong element size: incidence"),
    (dict(boxes=box_array(WHOLE).astype(np.float64)), "Wrong element size: boxes"),
    (dict(boxes=box_array(WHOLE)[:2]), "Array too small: boxes"),
    (dict(boxes=box_array(WHOLE).ravel()), "Wrong number of dimensions: boxes"),
    (dict(coords=[GRID[0], GRID[1].astype(F32), GRID[2]]), "Wrong element size: coords[1]"),
    (dict(coords=[GRID[0], GRID[1], np.zeros(())]),
     "Wrong number of dimensions: coords[2]"),
    (dict(incidence=np.broadcast_to(np.uint8(9), (6, 6))), "Array not writeable: incidence"),
    (dict(u_begin=-1), "Negative index: u_begin"),
    (dict(v_begin=-2), "Negative index: v_begin"),
])
def test_inzidenz_refuses(change, message):
    args = inzidenz_args(**change)
    before = np.copy(args["incidence"]) if isinstance(args["incidence"], np.ndarray) else None
    with pytest.raises(Exception) as excinfo:
        fieldplot.inzidenz(*args.values())
    module_error(excinfo, message)
    if before is not None:
        np.testing.assert_array_equal(args["incidence"], before)


def test_inzidenz_parse_failure_keeps_the_parser_error():
    args = list(inzidenz_args().values())
    with pytest.raises(TypeError):
        fieldplot.inzidenz(*args[:-1])
    with pytest.raises(TypeError):
        fieldplot.inzidenz("2", *args[1:])


def test_inzidenz_coordinate_item_not_an_array_returns_none():
    args = inzidenz_args(coords=[GRID[0], list(GRID[1]), GRID[2]])
    assert fieldplot.inzidenz(*args.values()) is None
    assert (args["incidence"] == 9).all()


# ---------------------------------------------------------------- glarr

def grid_coords(nx=8, ny=8, nz=3):
    return [np.arange(nx) * 1.0, np.arange(ny) * 2.0, np.arange(nz) * 0.5 + 0.25]


def glarr(window, *, coords=None, mask=None, colour=None, height=None, axes=(2, 0, 1),
          plane=1, height_scale=0.0, nodes=None, levels=0, alpha=0.75, arrows=0,
          vectors=None, arrow_scale=1.0, capacity=200, ncounts=60):
    """Calls glarr with sentinel-filled outputs; returns everything it was given."""
    u_first, u_last, v_first, v_last = window
    nu, nv = u_last - u_first + 1, v_last - v_first + 1
    run = SimpleNamespace(
        coords=grid_coords() if coords is None else coords,
        mask=np.ones((u_last + 1, v_last + 1), np.uint8) if mask is None else mask,
        colour=np.zeros((nu, nv), F32) if colour is None else colour,
        height=np.zeros((nu, nv), F32) if height is None else height,
        normals=np.full((capacity, 3), SENTINEL, F32),
        positions=np.full((capacity, 3), SENTINEL, F32),
        colours=np.full((capacity, 4), SENTINEL, F32),
        counts=np.full(ncounts, -7, np.int32),
        nodes=np.full((u_last + 1, v_last + 1, 10), SENTINEL, F32) if nodes is None else nodes,
        vectors=vectors,
    )
    normal_axis, u_axis, v_axis = axes
    run.result = fieldplot.glarr(
        normal_axis, u_axis, v_axis, plane, u_first, u_last, v_first, v_last, run.coords,
        run.mask, run.colour, run.height, run.normals, run.positions, run.colours, run.counts,
        height_scale, run.nodes, levels, alpha, arrows, run.vectors, arrow_scale)
    zero = list(run.counts).index(0) if 0 in run.counts else None
    run.groups = list(run.counts[:zero]) if zero is not None else None
    return run


def node_position(coords, u, v, plane, axes=(2, 0, 1), lift=0.0):
    normal_axis, u_axis, v_axis = axes
    p = [0.0] * 3
    p[u_axis], p[v_axis] = coords[u_axis][u], coords[v_axis][v]
    p[normal_axis] = lift + coords[normal_axis][plane]
    return np.array(p, F32)


def test_node_pass_positions_and_untouched_nodes():
    height = np.arange(12, dtype=F32).reshape(4, 3) - 5
    run = glarr((1, 4, 2, 4), height=height, height_scale=0.5, mask=np.zeros((5, 5), np.uint8))
    coords = run.coords
    for u, v in itertools.product(range(1, 5), range(2, 5)):
        lift = 0.5 * float(height[u - 1, v - 2])
        np.testing.assert_array_equal(run.nodes[u, v, :3],
                                      node_position(coords, u, v, 1, lift=lift))
    window = np.zeros(run.nodes.shape[:2], bool)
    window[1:5, 2:5] = True
    assert (run.nodes[~window] == SENTINEL).all()
    assert run.result == 0 and run.counts[0] == 0


RAMP = [  # c, plain, doubled
    (0.0, (0, 0, 1), (0, 0, 2)),
    (0.25, (0, 0.5, 0.5), (0, 1, 1)),
    (0.5, (0, 1, 0), (0, 2, 0)),
    (0.75, (0.5, 0.5, 0), (1, 1, 0)),
    (1.0, (1, 0, 0), (2, 0, 0)),
    (1.25, (1.5, -0.5, 0), (3, -1, 0)),
    (-0.75, (0.5, 0.5, 0), (1, 1, 0)),
    (0.3, (0, 0.6, 0.4), (0, 1.2, 0.8)),
]


@pytest.mark.parametrize("arrows", [0, 1])
def test_colour_ramp(arrows):
    colour = np.array([[c] for c, _, _ in RAMP], F32)
    run = glarr((0, len(RAMP) - 1, 3, 3), colour=colour, arrows=arrows, alpha=0.25,
                coords=grid_coords(nx=len(RAMP)),
                vectors=np.zeros((3, len(RAMP), 1), F32))
    for u, (c, plain, doubled) in enumerate(RAMP):
        c = abs(float(F32(c)))
        want = (0, 2 * c, 2 * (0.5 - c)) if c < 0.5 else (2 * (c - 0.5), 2 * (1 - c), 0)
        want = np.array([x * (2 if arrows else 1) for x in want] + [0.25], F32)
        np.testing.assert_array_equal(run.nodes[u, 3, 6:], want)
        np.testing.assert_allclose(run.nodes[u, 3, 6:9], doubled if arrows else plain,
                                   atol=1e-6)


def test_contour_mode_leaves_colours_and_normals():
    run = glarr((0, 3, 0, 3), levels=3, colour=np.full((4, 4), 0.7, F32))
    assert (run.nodes[:, :, 3:] == SENTINEL).all()
    assert (run.normals == SENTINEL).all() and (run.colours == SENTINEL).all()


def strip_columns(run, v, columns, coords, plane=1):
    """Rows of a strip over node columns `columns` of row v, in emission order."""
    return np.array([node_position(coords, u, vv, plane) for u in columns for vv in (v, v + 1)])


@pytest.mark.parametrize("selected, groups", [
    pytest.param([], [], id="nothing selected"),
    pytest.param([3], [[3, 4]], id="one cell"),
    pytest.param([1, 2, 4], [[1, 2, 3, 4, 5]], id="runs one cell apart"),
    pytest.param([0, 3], [[0, 1], [3, 4]], id="runs two cells apart"),
    pytest.param([0, 1, 5], [[0, 1, 2], [5, 6]], id="runs three cells apart"),
    pytest.param([6], [[6]], id="u_last column alone"),
    pytest.param([5, 6], [[5, 6]], id="cell before u_last and u_last"),
])
def test_surface_strips(selected, groups):
    mask = np.zeros((7, 3), np.uint8)  # u_last = 6: column 6 is read as well
    mask[selected, 1] = 1
    run = glarr((0, 6, 0, 2), mask=mask)
    assert run.groups == [2 * len(g) for g in groups]
    assert run.result == sum(run.groups)
    want = np.concatenate([strip_columns(run, 1, g, run.coords) for g in groups] +
                          [np.zeros((0, 3), F32)])
    np.testing.assert_array_equal(run.positions[:run.result], want)
    assert (run.positions[run.result:] == SENTINEL).all()
    flat = np.array([0, 0, -1], F32)
    assert (run.normals[:run.result] == flat).all()
    np.testing.assert_array_equal(run.colours[:run.result], np.tile([0, 0, 1, 0.75], (run.result, 1)))


def test_single_cell_gives_four_vertices_in_order():
    mask = np.zeros((5, 4), np.uint8)
    mask[2, 1] = 1
    mask[0, 1] = 1  # left of the window: its column is not the strip's
    run = glarr((1, 4, 0, 3), mask=mask)
    c = run.coords
    want = [node_position(c, u, v, 1) for u, v in ((2, 1), (2, 2), (3, 1), (3, 2))]
    assert run.result == 4 and run.groups == [4]
    np.testing.assert_array_equal(run.positions[:4], want)


@pytest.mark.parametrize("capacity, ncounts, result, counts", [
    pytest.param(9, 10, 0, [0], id="capacity below 10"),
    pytest.param(10, 10, 1, [0], id="one row"),
    pytest.param(12, 10, 3, [0], id="stops inside the first group"),
    pytest.param(13, 10, 4, [4, 0], id="stops after the first group"),
    pytest.param(16, 10, 7, [4, 0], id="stops inside the second group"),
    pytest.param(200, 1, 4, [0], id="no room for a group entry"),
    pytest.param(200, 2, 8, [4, 0], id="room for one group entry"),
    pytest.param(200, 3, 12, [4, 4, 0], id="room for two group entries"),
    pytest.param(200, 4, 12, [4, 4, 4, 0], id="enough"),
])
def test_surface_emission_stops(capacity, ncounts, result, counts):
    # Groups of 4, 4 (row 0) and 4 (row 1).
    mask = np.zeros((5, 3), np.uint8)
    mask[[0, 3], 0] = 1
    mask[0, 1] = 1
    run = glarr((0, 4, 0, 2), mask=mask, capacity=capacity, ncounts=ncounts)
    assert run.result == result
    assert list(run.counts[:len(counts)]) == counts
    assert (run.counts[len(counts):] == -7).all()
    assert (run.positions[result:] == SENTINEL).all()
    assert (run.positions[:result] != SENTINEL).all()


@pytest.mark.parametrize("axes", PERMUTATIONS)
def test_flat_plane_normals(axes):
    # height_scale 0 does not read height_values: an empty array passes.
    coords = [np.arange(5.0) * s for s in (1.0, -2.0, 0.5)]
    run = glarr((0, 3, 1, 4), axes=axes, coords=coords, height=np.zeros((0, 0), F32),
                plane=2, height_scale=0.0)
    flat = np.zeros(3, F32)
    flat[axes[0]] = -1
    assert (run.nodes[0:4, 1:5, 3:6] == flat).all()


@pytest.mark.parametrize("window", [(2, 2, 0, 4), (0, 4, 3, 3), (1, 1, 1, 1)])
def test_window_one_node_wide_gets_flat_normals(window):
    u_first, u_last, v_first, v_last = window
    shape = (u_last - u_first + 1, v_last - v_first + 1)
    height = np.random.default_rng(1).random(shape).astype(F32)
    run = glarr(window, height=height, height_scale=3.0)
    assert (run.nodes[u_first:u_last + 1, v_first:v_last + 1, 3:6] == [0, 0, -1]).all()


def numpy_normals(nodes):
    """Normals of a window's node table, as the normal pass builds them."""
    p = nodes[:, :, :3].astype(np.float64)
    n = np.cross(p[1:, :-1] - p[:-1, :-1], p[:-1, 1:] - p[:-1, :-1])
    n /= np.sqrt((n * n).sum(axis=2))[:, :, None]
    return np.where(n[:, :, 2:3] > 0, -n, n)


def test_relief_normals():
    rng = np.random.default_rng(5)
    height = rng.random((6, 5)).astype(F32)
    run = glarr((0, 5, 0, 4), height=height, height_scale=2.0)
    got = run.nodes[:, :, 3:6]
    np.testing.assert_allclose(got[:-1, :-1], numpy_normals(run.nodes), rtol=0, atol=2e-7)
    # The last column copies its left neighbour, the last row the node below it
    # (the corner therefore its left neighbour), each normalised again.
    np.testing.assert_allclose(got[-1], got[-2], rtol=0, atol=1e-7)
    np.testing.assert_allclose(got[:-1, -1], got[:-1, -2], rtol=0, atol=1e-7)
    assert (got[:, :, 2] < 0).all()
    np.testing.assert_allclose(np.linalg.norm(got, axis=2), 1, rtol=1e-6)


def test_zero_difference_vectors_get_the_flat_normal():
    coords = grid_coords()
    coords[0] = np.array([0.0, 1.0, 1.0, 2.0, 3.0, 4.0])  # nodes u = 1 and 2 coincide
    height = np.tile(np.arange(4, dtype=F32), (4, 1))  # slope along v only
    run = glarr((0, 3, 0, 3), coords=coords, height=height, height_scale=1.0)
    assert (run.nodes[1, :3, 3:6] == [0, 0, -1]).all()
    sloped = run.nodes[0, 0, 3:6]
    np.testing.assert_allclose(sloped, np.array([0, 1, -2]) / math.sqrt(5), atol=1e-7)


def test_vertical_step_keeps_its_normal():
    # Where nodes u = 1 and 2 coincide in x but not in height, the cell is
    # vertical: its normal has no component along the normal axis and is kept.
    coords = grid_coords()
    coords[0] = np.array([0.0, 1.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0])
    height = np.zeros((4, 4), F32)
    height[2] = 1.0
    run = glarr((0, 3, 0, 3), coords=coords, height=height, height_scale=1.0)
    np.testing.assert_array_equal(run.nodes[1, :3, 3:6], np.tile([-1, 0, 0], (3, 1)))


def contour_cell(values, levels, **kw):
    """One selected cell with heights (0,0), (1,0), (0,1), (1,1)."""
    height = np.array([[values[0], values[2]], [values[1], values[3]]], F32)
    return glarr((0, 1, 0, 1), height=height, levels=levels,
                 coords=[np.array([0.0, 1.0]), np.array([0.0, 1.0]), np.array([0.0])],
                 plane=0, **kw)


@pytest.mark.parametrize("levels, want", [
    (1, [0.5]),
    (4, [0.125, 0.375, 0.625, 0.875]),
])
def test_contour_levels(levels, want):
    # Heights 0 at u = 0, 1 at u = 1: each level crosses edges 0 and 3 at x = level.
    run = contour_cell([0, 1, 0, -1], levels)
    assert run.result == run.counts[0] == 2 * len(want)
    assert run.counts[1] == 0
    pts = run.positions[:run.result]
    np.testing.assert_allclose(pts[:, 0], np.repeat(want, 2), atol=1e-7)
    np.testing.assert_array_equal(pts[:, 1], [0, 1] * len(want))


@pytest.mark.parametrize("values, points", [
    pytest.param([0.5, 0.5, -0.5, 0.5], [], id="equal-valued edges"),
    pytest.param([0.5, 0, 0, 0], [(0, 0), (0, 0)], id="level at a node, two edges end there"),
    pytest.param([0.5, 0.5, 0, 0.5], [(0, 0), (1, 1)], id="level at two nodes"),
])
def test_contour_special_edges(values, points):
    run = contour_cell(values, 1)
    assert run.result == run.counts[0] == len(points)
    np.testing.assert_array_equal(run.positions[:len(points), :2], np.reshape(points, (-1, 2)))


@pytest.mark.parametrize("capacity, result, first_count", [(11, 2, 0), (12, 3, 0), (18, 8, 8)])
def test_contour_capacity(capacity, result, first_count):
    run = contour_cell([0, 1, 0, 1], 4, capacity=capacity)
    assert run.result == result and run.counts[0] == first_count
    assert (run.positions[result:] == SENTINEL).all()


def test_huge_contour_levels_end_without_a_window_pass_per_level(python_subprocess):
    # 2**31 - 1 levels over 40 000 cells: one pass of the window per level
    # would take days. Passes that can find no point are skipped.
    code = """
    import numpy as np, fieldplot
    F32 = np.float32
    levels, n = 2**31 - 1, 201
    coords = [np.arange(n) * 1.0, np.arange(n) * 1.0, np.zeros(1)]

    def run(height, mask, capacity=1010):
        out = [np.zeros((capacity, 3), F32) for _ in range(2)] + [np.zeros((capacity, 4), F32)]
        counts = np.full(4, -7, np.int32)
        r = fieldplot.glarr(2, 0, 1, 0, 0, n - 1, 0, n - 1, coords, mask, height, height,
                            out[0], out[1], out[2], counts, 0.0, np.zeros((n, n, 10), F32),
                            levels, 1.0, 0, None, 1.0)
        return r, counts[:2].tolist()

    ramp = np.tile(np.linspace(0.9, 0.95, n, dtype=F32), (n, 1))
    everything = np.ones((n, n), np.uint8)
    print(run(ramp, np.zeros((n, n), np.uint8)))            # nothing selected
    print(run(np.full((n, n), 0.3, F32), everything))       # no edge crosses a level
    print(run(ramp * F32(1e-10), everything))               # every level above the field
    print(run(ramp, everything))                            # levels below it, then full
    one = np.zeros((n, n), np.uint8)
    one[7, 9] = 1
    narrow = np.full((n, n), 0.5, F32)
    narrow[8, 9:11] = 0.5 + 2.0**-20                       # two edges cross 2048 levels
    print(run(narrow, one, capacity=10**5))
    """
    done = python_subprocess(code, timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[:4] == ["(0, [0, -7])"] * 3 + ["(1001, [0, -7])"]
    result, counts = eval(lines[4])
    assert abs(result - 2 * 2**-20 * (2**31 - 1)) <= 4 and counts == [result, 0]


def numpy_contours(coords, axes, plane, window, mask, height, height_scale, levels):
    normal_axis, u_axis, v_axis = axes
    u_first, u_last, v_first, v_last = window
    nu, nv = u_last - u_first + 1, v_last - v_first + 1
    pos = np.empty((nu, nv, 3), F32)
    pos[:, :, u_axis] = coords[u_axis][u_first:u_last + 1, None]
    pos[:, :, v_axis] = coords[v_axis][None, v_first:v_last + 1]
    pos[:, :, normal_axis] = height_scale * height.astype(np.float64) + coords[normal_axis][plane]
    pos = pos.astype(np.float64)
    h = np.abs(height.astype(np.float64))
    edges = [((0, 0), (1, 0)), ((0, 0), (0, 1)), ((1, 1), (1, 0)), ((1, 1), (0, 1))]

    def corner(a, du, dv):  # [u][v] of the cells' corner (du, dv)
        return a[du:du + nu - 1, dv:dv + nv - 1]

    selected = mask[u_first:u_last, v_first:v_last] != 0
    out = []
    step = 1 / levels
    level = step / 2.0
    while level < 1.0:
        a = np.stack([corner(h, *e[0]) for e in edges], axis=-1)
        b = np.stack([corner(h, *e[1]) for e in edges], axis=-1)
        p1 = np.stack([corner(pos, *e[0]) for e in edges], axis=2)
        p2 = np.stack([corner(pos, *e[1]) for e in edges], axis=2)
        with np.errstate(divide="ignore", invalid="ignore"):
            t = (level - b) / (a - b)
            pts = t[..., None] * p1 + (1 - t[..., None]) * p2
        ok = (a != b) & (t >= 0) & (t <= 1) & selected[:, :, None]
        # Emission order: v outer, u inner, then the edge.
        out.append(pts.transpose(1, 0, 2, 3)[ok.transpose(1, 0, 2)])
        level += step
    return np.concatenate(out).astype(F32)


@pytest.mark.parametrize("axes", [(2, 0, 1), (0, 2, 1)])
def test_contours_match_numpy_edge_crossings(axes):
    rng = np.random.default_rng(11)
    window = (2, 9, 1, 7)
    coords = [np.cumsum(rng.random(12)) for _ in range(3)]
    mask = (rng.random((10, 8)) < 0.7).astype(np.uint8)
    height = rng.uniform(-1, 1, (8, 7)).astype(F32)
    height[3, 2] = height[4, 2] = 0.3  # an equal-valued edge
    height[5, 5] = 0.5  # exactly the level of 0.5 (levels = 5)
    want = numpy_contours(coords, axes, 4, window, mask, height, 0.3, 5)
    run = glarr(window, axes=axes, plane=4, coords=coords, mask=mask, height=height,
                height_scale=0.3, levels=5, capacity=len(want) + 10)
    assert run.result == run.counts[0] == len(want) > 100
    np.testing.assert_array_equal(run.positions[:run.result], want)


def test_strided_arrays_give_the_same_arrays():
    rng = np.random.default_rng(3)
    height = rng.random((5, 4)).astype(F32)
    mask = (rng.random((6, 4)) < 0.6).astype(np.uint8)
    plain = glarr((1, 5, 0, 3), height=height, mask=mask, height_scale=1.5)
    strided = glarr((1, 5, 0, 3), height=np.asfortranarray(height), mask=mask.T.copy().T,
                    height_scale=1.5,
                    nodes=np.full((12, 4, 20), SENTINEL, F32)[::2, :, ::2])
    assert plain.result == strided.result > 0
    np.testing.assert_array_equal(plain.nodes, strided.nodes)
    np.testing.assert_array_equal(plain.positions, strided.positions)
    np.testing.assert_array_equal(plain.normals, strided.normals)


# ---------------------------------------------------------------- arrows

def arrow(q, f=1.0, arrow_scale=1.0, capacity=200, levels=0, nodes=None):
    """One selected node at the origin with field vector q and colour value f."""
    zero = [np.zeros(1), np.zeros(2), np.zeros(1)]
    vectors = np.array(q, F32).reshape(3, 1, 1)
    return glarr((0, 0, 0, 1), coords=zero, plane=0, colour=np.full((1, 2), f, F32), arrows=1, vectors=vectors, nodes=nodes,
                 arrow_scale=arrow_scale, capacity=capacity, levels=levels,
                 mask=np.ones((1, 2), np.uint8))


def arrow_points(run, first=0):
    """A, B, C, D, T of the arrow whose rows start at `first`."""
    p = run.positions[first:first + 16]
    return dict(A=p[0], B=p[1], D=p[2], C=p[3], T=p[5])


def test_arrow_worked_example():
    run = arrow((0, 0, 1))
    assert run.result == 16 and run.groups == [4, 3, 3, 3, 3]
    pts = arrow_points(run)
    want = dict(A=(0.15, -0.15, -0.5), B=(-0.15, -0.15, -0.5), C=(-0.15, 0.15, -0.5),
                D=(0.15, 0.15, -0.5), T=(0, 0, 0.5))
    for name, point in want.items():
        np.testing.assert_allclose(pts[name], point, atol=1e-7, err_msg=name)
    order = ["A", "B", "D", "C", "D", "T", "C", "C", "T", "B", "B", "T", "A", "A", "T", "D"]
    np.testing.assert_array_equal(run.positions[:16], [pts[k] for k in order])
    s, c = 0.98894, 0.14834
    normals = [(0, 0, -1)] * 4 + [(0, s, c)] * 3 + [(-s, 0, c)] * 3 + [(0, -s, c)] * 3 + \
        [(s, 0, c)] * 3
    np.testing.assert_allclose(run.normals[:16], normals, atol=1e-5)
    np.testing.assert_array_equal(run.colours[:16], np.tile([2, 0, 0, 0.75], (16, 1)))
    assert (run.positions[16:] == SENTINEL).all()


def pointing_out(run):
    """Sign of each face normal against the direction from the pyramid's centre."""
    pts = arrow_points(run)
    centre = np.mean([pts[k] for k in "ABCDT"], axis=0)
    faces = [(0, "ABDC"), (4, "DTC"), (7, "CTB"), (10, "BTA"), (13, "ATD")]
    return [np.sign(np.dot(run.normals[row], np.mean([pts[k] for k in names], axis=0) - centre))
            for row, names in faces]


@pytest.mark.parametrize("q, b0, b1", [
    ((0, 0, 1), (0, 1, 0), (-1, 0, 0)),
    ((0, 1, 0), (0, 0, -1), (1, 0, 0)),
    ((1, 1, 0), (0, 0, -1), np.array((1, -1, 0)) / math.sqrt(2)),
    ((1, 0.2, 0), (0, 0, -1), np.array((0.2, -1, 0)) / math.sqrt(1.04)),
    # no later candidate is perpendicular to b0: b1 = d x b0
    ((1, 1, 1), np.array((0, 1, -1)) / math.sqrt(2), np.array((-2, 1, 1)) / math.sqrt(6)),
    ((0.3, -2, 5), None, None),
    ((0.02, 0.01, -1), None, None),
])
def test_arrow_base_vectors(q, b0, b1):
    run = arrow(q, f=1.0, arrow_scale=2.0)  # L = 2, W = 0.3
    pts = arrow_points(run)
    got0 = (pts["D"] - pts["A"]) / 0.6
    got1 = (pts["B"] - pts["A"]) / 0.6
    d = np.array(q) / np.linalg.norm(q)
    if b0 is not None:
        np.testing.assert_allclose(got0, b0, atol=1e-6)
        np.testing.assert_allclose(got1, b1, atol=1e-6)
    for b in (got0, got1):
        assert abs(np.linalg.norm(b) - 1) < 1e-6
        assert abs(np.dot(b, d)) < 1e-6
    assert abs(np.dot(got0, got1)) <= 0.05
    np.testing.assert_allclose(pts["T"], d, atol=1e-6)


def test_arrow_normals_turn_with_the_base():
    assert pointing_out(arrow((0, 0, 1))) == [1] * 5
    inward = arrow((0, 1, 0))
    np.testing.assert_allclose(inward.normals[0], (0, 1, 0), atol=1e-7)
    assert pointing_out(inward) == [-1] * 5


@pytest.mark.parametrize("f, length", [(0.0, 0.2), (1.0, 1.0), (-1.0, -0.6), (2.0, 1.8)])
def test_arrow_length(f, length):
    run = arrow((0, 0, 3), f=f, arrow_scale=1.0)
    pts = arrow_points(run)
    np.testing.assert_allclose(pts["T"], (0, 0, length / 2), atol=1e-7)
    np.testing.assert_allclose(pts["A"], (0.15 * length, -0.15 * length, -length / 2), atol=1e-7)


@pytest.mark.parametrize("q, f, arrow_scale", [
    pytest.param((0, 0, 0), 1.0, 1.0, id="zero vector"),
    pytest.param((0, 0, 1), -0.25, 1.0, id="f = -0.25"),
    pytest.param((0, 0, 1), 1.0, 0.0, id="arrow_scale 0"),
])
def test_arrow_skipped(q, f, arrow_scale):
    run = arrow(q, f=f, arrow_scale=arrow_scale)
    assert run.result == 0 and run.counts[0] == 0
    assert (run.positions == SENTINEL).all()


def arrow_field(capacity=400, ncounts=60, levels=0, nodes=None):
    """Arrows on a 3 x 3 window: rows v = 0, 1 are visited, row v = 2 is not."""
    vectors = np.zeros((3, 3, 3), F32)
    vectors[2] = 1.0
    mask = np.ones((3, 3), np.uint8)
    mask[1, 0] = 0
    return glarr((0, 2, 0, 2), mask=mask, arrows=1, vectors=vectors, levels=levels,
                 colour=np.full((3, 3), 0.5, F32), capacity=capacity, ncounts=ncounts,
                 nodes=nodes)


def test_arrows_over_a_window():
    run = arrow_field()
    assert run.result == 16 * 5
    assert run.groups == [4, 3, 3, 3, 3] * 5
    # Arrow nodes in emission order: (0,0), (2,0), (0,1), (1,1), (2,1); row v = 2 has none.
    centres = run.positions[:80].reshape(5, 16, 3)[:, [0, 3]].mean(axis=1)
    coords = run.coords
    want = [node_position(coords, u, v, 1) - (0, 0, 0.3) for u, v in
            ((0, 0), (2, 0), (0, 1), (1, 1), (2, 1))]
    np.testing.assert_allclose(centres, want, atol=1e-6)


@pytest.mark.parametrize("capacity, ncounts, result, counts", [
    pytest.param(9, 10, 0, [0], id="capacity below 10"),
    pytest.param(10 + 16 + 5, 20, 22, [4, 3, 3, 3, 3, 4, 0], id="last arrow cut off"),
    pytest.param(10 + 15, 20, 16, [4, 3, 3, 3, 3, 0], id="room for exactly one arrow"),
    pytest.param(400, 4, 13, [4, 3, 3, 0], id="no room for more group entries"),
])
def test_arrow_emission_stops(capacity, ncounts, result, counts):
    run = arrow_field(capacity=capacity, ncounts=ncounts)
    assert run.result == result
    assert list(run.counts[:len(counts)]) == counts
    assert (run.positions[result:] == SENTINEL).all()


def test_arrows_with_contour_levels_keep_earlier_colours():
    nodes = np.full((3, 3, 10), SENTINEL, F32)
    nodes[:, :, 6:] = (0.1, 0.2, 0.3, 0.4)
    run = arrow_field(levels=2, nodes=nodes)
    assert run.result == 80
    np.testing.assert_array_equal(run.colours[:80], np.tile(F32([0.1, 0.2, 0.3, 0.4]), (80, 1)))
    assert (run.nodes[:, :, 3:6] == SENTINEL).all()


# ---------------------------------------------------------------- glarr, written out

def ieee_div(a, b):
    """a / b as the C code divides: inf or NaN where Python would raise."""
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def literal_glarr(normal_axis, u_axis, v_axis, plane, u_first, u_last, v_first, v_last, coords,
                  cell_mask, colour_values, height_values, out_normals, out_positions,
                  out_colours, out_counts, height_scale, nodes, contour_levels, alpha, arrows,
                  vectors, arrow_scale):
    """The node pass, the normal pass and the emission loops one after the other, node by
    node, with the README's choices; writes into the arrays given, returns the row count."""
    fl = float
    surface, contour = arrows == 0 and contour_levels == 0, arrows == 0 and contour_levels != 0

    for v in range(v_first, v_last + 1):
        for u in range(u_first, u_last + 1):
            wu, wv = u - u_first, v - v_first
            h = fl(height_values[wu, wv]) if height_scale != 0 else 0.0
            nodes[u, v, u_axis] = F32(fl(coords[u_axis][u]))
            nodes[u, v, v_axis] = F32(fl(coords[v_axis][v]))
            nodes[u, v, normal_axis] = F32(height_scale * h + fl(coords[normal_axis][plane]))
            c = abs(fl(colour_values[wu, wv]))
            if contour_levels == 0:
                rgb = (0.0, 2 * c, 2 * (0.5 - c)) if c < 0.5 else (2 * (c - 0.5), 2 * (1 - c), 0.0)
                if arrows != 0:
                    rgb = [x * 2 for x in rgb]
                nodes[u, v, 6:9] = [F32(x) for x in rgb]
                nodes[u, v, 9] = F32(alpha)

    def position(u, v):
        return [fl(nodes[u, v, k]) for k in range(3)]

    if surface:
        for v in range(v_first, v_last + 1):
            for u in range(u_first, u_last + 1):
                flat = False
                if u == u_last or v == v_last:
                    su, sv = (u - 1, v) if u == u_last else (u, v - 1)
                    flat = su < u_first or sv < v_first
                    n = [0.0] * 3 if flat else [fl(nodes[su, sv, 3 + k]) for k in range(3)]
                else:
                    p, pu, pv = position(u, v), position(u + 1, v), position(u, v + 1)
                    du = [pu[k] - p[k] for k in range(3)]
                    dv = [pv[k] - p[k] for k in range(3)]
                    n = [du[(m + 1) % 3] * dv[(m + 2) % 3] - du[(m + 2) % 3] * dv[(m + 1) % 3]
                         for m in range(3)]
                s = n[0] * n[0] + n[1] * n[1] + n[2] * n[2]
                if flat or s == 0:
                    n = [0.0] * 3
                    n[normal_axis] = -1.0
                    s = 1.0
                f = ieee_div(1, math.sqrt(s))
                if n[normal_axis] > 0:
                    n = [-x for x in n]
                nodes[u, v, 3:6] = [F32(x * f) for x in n]

    capacity, room = out_positions.shape[0], out_counts.shape[0]
    state = dict(count=0, open=0, groups=0)

    def emit(position, normal=None, colour=None):
        if state["count"] > capacity - 10:
            return False
        r = state["count"]
        out_positions[r] = [F32(x) for x in position]
        if normal is not None:
            out_normals[r] = [F32(x) for x in normal]
            out_colours[r] = colour
        state["count"] += 1
        state["open"] += 1
        return True

    def close():
        if state["open"] == 0:
            return True
        if state["groups"] + 1 >= room:
            return False
        out_counts[state["groups"]] = state["open"]
        state["groups"] += 1
        state["open"] = 0
        return True

    def run():
        if surface:
            for v in range(v_first, v_last):
                for u in range(u_first, u_last + 1):
                    if cell_mask[u, v] != 0 or (u > u_first and cell_mask[u - 1, v] != 0):
                        for w in (v, v + 1):
                            if not emit(position(u, w), nodes[u, w, 3:6].astype(float),
                                        nodes[u, w, 6:10]):
                                return
                    elif not close():
                        return
                if not close():
                    return
        elif contour:
            edges = [((0, 0), (1, 0)), ((0, 0), (0, 1)), ((1, 1), (1, 0)), ((1, 1), (0, 1))]
            step = 1 / contour_levels
            level = step / 2.0
            while level < 1.0:
                for v in range(v_first, v_last):
                    for u in range(u_first, u_last):
                        if cell_mask[u, v] == 0:
                            continue
                        for (du1, dv1), (du2, dv2) in edges:
                            u1, v1, u2, v2 = u + du1, v + dv1, u + du2, v + dv2
                            a = abs(fl(height_values[u1 - u_first, v1 - v_first]))
                            b = abs(fl(height_values[u2 - u_first, v2 - v_first]))
                            if a == b:
                                continue
                            t = ieee_div(level - b, a - b)
                            if not (0 <= t <= 1):
                                continue
                            p1, p2 = position(u1, v1), position(u2, v2)
                            if not emit([t * p1[k] + (1 - t) * p2[k] for k in range(3)]):
                                return
                level += step
            close()
        else:
            for v in range(v_first, v_last):
                for u in range(u_first, u_last + 1):
                    if not literal_arrow(u, v):
                        return

    def cross(a, b):
        return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]

    def dot(a, b):
        return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]

    def unit(a):
        length = math.sqrt(dot(a, a))
        return [ieee_div(x, length) for x in a]

    def literal_arrow(u, v):
        if cell_mask[u, v] == 0:
            return True
        wu, wv = u - u_first, v - v_first
        q = [fl(vectors[k, wu, wv]) for k in range(3)]
        norm = math.sqrt(dot(q, q))
        if norm == 0:
            return True
        f = fl(colour_values[wu, wv])
        length = (0.8 * f + 0.2) * arrow_scale
        if length == 0:
            return True
        h, w = 0.5 * length, 0.15 * length
        d = [ieee_div(x, norm) for x in q]
        candidates = []
        for t in range(3):
            e = [0.0] * 3
            e[t] = 1.0
            c = cross(d, e)
            ell = math.sqrt(dot(c, c))
            if ell <= 0.05:
                continue
            candidates.append([ieee_div(x, ell) for x in c])
        b0 = candidates[0]
        later = [c for c in candidates[1:] if abs(dot(c, b0)) <= 0.05]
        b1 = later[0] if later else unit(cross(d, b0))
        p = position(u, v)
        back = [p[k] - h * d[k] for k in range(3)]
        A = [back[k] - w * b0[k] - w * b1[k] for k in range(3)]
        B = [back[k] - w * b0[k] + w * b1[k] for k in range(3)]
        C = [back[k] + w * b0[k] + w * b1[k] for k in range(3)]
        D = [back[k] + w * b0[k] - w * b1[k] for k in range(3)]
        T = [p[k] + h * d[k] for k in range(3)]

        def sub(x, y):
            return [x[k] - y[k] for k in range(3)]

        groups = [
            (unit(cross(sub(B, A), sub(D, A))), (A, B, D, C)),
            (unit(cross(sub(C, D), sub(T, D))), (D, T, C)),
            (unit(cross(sub(B, C), sub(T, C))), (C, T, B)),
            (unit(cross(sub(A, B), sub(T, B))), (B, T, A)),
            (unit(cross(sub(D, A), sub(T, A))), (A, T, D)),
        ]
        colour = np.array(nodes[u, v, 6:10])
        for normal, corners in groups:
            for corner in corners:
                if not emit(corner, normal, colour):
                    return False
            if not close():
                return False
        return True

    run()
    out_counts[state["groups"]] = 0
    return state["count"]


def random_plane_call(rng):
    """Arguments of a random glarr call on a small window, with awkward values."""
    axes = PERMUTATIONS[rng.integers(6)]
    normal_axis, u_axis, v_axis = axes
    nu, nv = rng.integers(1, 6, size=2)
    u_first, v_first = rng.integers(0, 3, size=2)
    u_last, v_last = u_first + nu - 1, v_first + nv - 1
    plane = int(rng.integers(0, 3))
    reach = [0] * 3
    reach[normal_axis], reach[u_axis], reach[v_axis] = plane + 1, u_last + 1, v_last + 1

    def awkward(shape, scale, special):
        x = rng.uniform(-scale, scale, shape)
        pick = rng.random(shape)
        x[pick < 0.15] = rng.choice(special, size=int((pick < 0.15).sum()))
        return x

    coords = [np.sort(awkward(n + 2, 3.0, [0.0, 1.0, 1.0])) for n in reach]
    a = rng.integers(3)
    coords[a][rng.integers(reach[a])] = np.nan if rng.random() < 0.2 else 0.0
    levels = int(rng.choice([0, 0, 0, 1, 3, 4, 7]))
    arrows = int(rng.random() < 0.4)
    capacity = int(rng.integers(0, 30 + 16 * nu * nv * 2))
    q = awkward((3, nu, nv), 1.0, [0.0, 0.0, 1.0, -1.0, np.nan])
    return dict(
        normal_axis=normal_axis, u_axis=u_axis, v_axis=v_axis, plane=plane,
        u_first=int(u_first), u_last=int(u_last), v_first=int(v_first), v_last=int(v_last),
        coords=coords,
        cell_mask=(rng.random((u_last + 1, v_last + 1)) < 0.6).astype(np.uint8),
        colour_values=awkward((nu, nv), 1.5, [0.0, -0.25, 0.5, np.nan, 3.0]).astype(F32),
        height_values=awkward((nu, nv), 1.0, [0.5, 0.5, 0.125, -0.375, 0.0, np.nan, np.inf]
                              ).astype(F32),
        out_normals=np.full((capacity, 3), SENTINEL, F32),
        out_positions=np.full((capacity, 3), SENTINEL, F32),
        out_colours=np.full((capacity, 4), SENTINEL, F32),
        out_counts=np.full(int(rng.integers(1, 12)), -7, np.int32),
        height_scale=float(rng.choice([0.0, 0.3, -2.0, 1e-30])),
        nodes=rng.uniform(-1, 1, (u_last + 1, v_last + 1, 10)).astype(F32),
        contour_levels=levels, alpha=float(rng.uniform()), arrows=arrows,
        vectors=q.astype(F32), arrow_scale=float(rng.choice([1.0, -0.5, 0.0, 2.5])),
    )


def same_bits(a, b):
    """Equal to the bit, zero signs included; any NaN matches any NaN."""
    a, b = np.ascontiguousarray(a), np.ascontiguousarray(b)
    if a.dtype == F32:
        a, b = np.where(np.isnan(a), F32(np.nan), a), np.where(np.isnan(b), F32(np.nan), b)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("seed", range(60))
def test_glarr_matches_the_passes_written_out(seed):
    rng = np.random.default_rng(seed)
    args = random_plane_call(rng)
    want = {k: np.copy(v) if isinstance(v, np.ndarray) else v for k, v in args.items()}
    if seed % 2:  # strided outputs and node table: no block copies
        for k, extra in (("nodes", 10), ("out_positions", 3), ("out_normals", 3),
                         ("out_colours", 4)):
            wide = np.full(args[k].shape[:-1] + (2 * extra,), -3, F32)
            wide[..., ::2] = args[k]
            args[k] = wide[..., ::2]
    result = fieldplot.glarr(*args.values())
    assert result == literal_glarr(*want.values())
    for k, v in want.items():
        if isinstance(v, np.ndarray):
            assert same_bits(args[k], v), k


def strided_node_table(nodes):
    """The same node table as a view with floats 8 bytes apart, which takes
    glarr's passes node by node."""
    wide = np.full(nodes.shape[:-1] + (2 * nodes.shape[-1],), -3, F32)
    wide[..., ::2] = nodes
    return wide[..., ::2]


LARGE_WINDOWS = {
    # window (u_first, u_last, v_first, v_last), axes, mask density, capacity and
    # group entries (None: enough), height scale, extras
    "every cell": ((0, 299, 0, 219), (2, 0, 1), 1.0, None, None, 0.4, ()),
    "random cells, offset window": ((3, 259, 5, 300), (0, 2, 1), 0.55, None, None, -1.5, ()),
    "one row more than tiles": ((0, 128, 0, 512), (1, 0, 2), 0.7, None, None, 0.2, ()),
    "rows stop mid-strip": ((0, 199, 0, 199), (1, 2, 0), 0.8, 41_000, None, 0.3, ()),
    "group entries stop": ((2, 301, 0, 99), (2, 1, 0), 0.3, None, 3000, 0.3, ()),
    "flat plane": ((0, 255, 0, 255), (0, 1, 2), 0.9, None, None, 0.0, ()),
    "odd coordinates": ((0, 199, 0, 299), (2, 0, 1), 0.9, None, None, 1.0, ("odd coordinates",)),
    "strided inputs and rows": ((1, 200, 1, 300), (2, 0, 1), 0.6, None, None, 0.7,
                                ("strided inputs", "strided rows")),
    "streamed": ((0, 1099, 0, 1099), (2, 0, 1), 1.0, None, None, 0.5, ()),
}


@pytest.mark.parametrize("name", LARGE_WINDOWS)
def test_glarr_large_windows_match_the_passes(name):
    # The surface strips of large windows are made in tiles, on several
    # threads; a node table with floats 8 bytes apart takes the passes node
    # by node, which the tests above hold against the passes written out.
    window, axes, density, capacity, entries, height_scale, extras = LARGE_WINDOWS[name]
    u_first, u_last, v_first, v_last = window
    nu, nv = u_last - u_first + 1, v_last - v_first + 1
    rng = np.random.default_rng(len(name))
    reach = {axes[1]: u_last + 2, axes[2]: v_last + 2, axes[0]: 4}
    coords = [np.cumsum(rng.uniform(0.1, 1.0, reach[a])) for a in range(3)]
    if "odd coordinates" in extras:
        coords[axes[1]][[5, 6, 60]] = coords[axes[1]][[4, 4, 59]]  # zero-area cells
        coords[axes[2]][9] = np.nan
        coords[axes[1]][100] = np.inf
    mask = (rng.random((u_last + 1, v_last + 1)) < density).astype(np.uint8)
    mask[:, v_first + nv // 2] = 0
    colour = rng.uniform(-1.3, 1.3, (nu, nv)).astype(F32)
    height = rng.uniform(-1, 1, (nu, nv)).astype(F32)
    if "odd coordinates" in extras:
        height[7, 7], colour[8, 8] = np.nan, np.inf
    if "strided inputs" in extras:
        mask, colour, height = (np.asfortranarray(a) for a in (mask, colour, height))
    capacity = 2 * nu * nv + 10 if capacity is None else capacity
    entries = nu * nv if entries is None else entries

    def call(nodes):
        rows = (3, 3, 4) if "strided rows" not in extras else (5, 4, 6)
        out = [np.full((capacity, w), SENTINEL, F32)[:, :k] for w, k in zip(rows, (3, 3, 4))]
        counts = np.full(entries, -7, np.int32)
        result = fieldplot.glarr(*axes, 2, *window, coords, mask, colour, height, out[0],
                                 out[1], out[2], counts, height_scale, nodes, 0, 0.625, 0, None,
                                 1.0)
        return result, out, counts, nodes

    start = rng.uniform(-1, 1, (u_last + 1, v_last + 1, 10)).astype(F32)
    tiles = call(np.copy(start))
    passes = call(strided_node_table(start))
    assert tiles[0] == passes[0] > 0
    for got, want in zip(tiles[1], passes[1]):
        assert same_bits(got, want)
    assert same_bits(tiles[2], passes[2])
    assert same_bits(tiles[3], passes[3])


@pytest.mark.parametrize("seed", range(40))
def test_contours_with_many_levels_match_the_passes_written_out(seed):
    # Heights on the levels, a rounding step off them, or far out, with
    # narrow bands and gaps between them: passes that are skipped or cut
    # short must find nothing the full passes would.
    rng = np.random.default_rng(1000 + seed)
    args = random_plane_call(rng)
    levels = int(rng.choice([1, 3, 97, 1000, 4096]))
    nu, nv = args["colour_values"].shape
    step = 1 / levels
    height = step / 2 + step * rng.integers(0, levels, (nu, nv)) + rng.choice(
        [0, 1e-17, -1e-17, 1e-13, -1e-13, 2**-30, -2**-30], (nu, nv))
    far = rng.random((nu, nv)) < 0.2
    height[far] = rng.choice([np.inf, np.nan, 1e30, 1e7, 1.5, 0.0], int(far.sum()))
    capacity = int(rng.integers(10, 300))
    args.update(arrows=0, contour_levels=levels, height_values=height.astype(F32),
                out_positions=np.full((capacity, 3), SENTINEL, F32))
    want = {k: np.copy(v) if isinstance(v, np.ndarray) else v for k, v in args.items()}
    assert fieldplot.glarr(*args.values()) == literal_glarr(*want.values())
    for k, v in want.items():
        if isinstance(v, np.ndarray):
            assert same_bits(args[k], v), k


# ---------------------------------------------------------------- glarr refusals

GLARR_NAMES = ["normal_axis", "u_axis", "v_axis", "plane", "u_first", "u_last", "v_first",
               "v_last", "coords", "cell_mask", "colour_values", "height_values", "out_normals",
               "out_positions", "out_colours", "out_counts", "height_scale", "nodes",
               "contour_levels", "alpha", "arrows", "vectors", "arrow_scale"]
ARRAY_ARGS = ["cell_mask", "colour_values", "height_values", "out_normals", "out_positions",
              "out_colours", "out_counts", "nodes"]


def glarr_args(**change):
    """Arguments of an arrow-mode call on the window u 1..3, v 0..2."""
    args = dict(normal_axis=2, u_axis=0, v_axis=1, plane=1, u_first=1, u_last=3, v_first=0,
                v_last=2, coords=grid_coords(), cell_mask=np.ones((4, 3), np.uint8),
                colour_values=np.full((3, 3), 0.5, F32), height_values=np.ones((3, 3), F32),
                out_normals=np.zeros((120, 3), F32), out_positions=np.zeros((120, 3), F32),
                out_colours=np.zeros((120, 4), F32), out_counts=np.zeros(40, np.int32),
                height_scale=1.0, nodes=np.zeros((4, 3, 10), F32), contour_levels=0,
                alpha=1.0, arrows=1, vectors=np.ones((3, 3, 2), F32), arrow_scale=1.0)
    args.update(change)
    assert list(args) == GLARR_NAMES
    return args


def test_glarr_arguments_pass_unchanged():
    args = glarr_args()
    assert fieldplot.glarr(*args.values()) == 16 * 6
    # vectors is not looked at without arrows
    assert fieldplot.glarr(*glarr_args(arrows=0, vectors="x").values()) > 0


@pytest.mark.parametrize("change, message", [
    (dict(coords=5), "Sequence expected"),
    (dict(coords=grid_coords()[:2]), "Sequence expected"),
    *[(dict([(name, [0])]), "Array expected") for name in ARRAY_ARGS],
    (dict(vectors=[[0]]), "Array expected"),
    (dict(u_axis=1, v_axis=0, normal_axis=0), "Axes not a permutation"),
    (dict(v_axis=3), "Axes not a permutation"),
    (dict(contour_levels=-1), "Negative value: contour_levels"),
    (dict(u_first=-1, colour_values=np.zeros((5, 3), F32)), "Negative index: u_first"),
    (dict(v_first=-1), "Negative index: v_first"),
    (dict(plane=-1), "Negative index: plane"),
    (dict(coords=[np.arange(3.0), np.arange(5.0), np.arange(3.0)]), "Array too small: coords[0]"),
    (dict(coords=[np.arange(4.0), np.arange(5.0), np.arange(1.0)]), "Array too small: coords[2]"),
    (dict(coords=[np.arange(4.0), np.arange(5.0, dtype=F32), np.arange(3.0)]),
     "Wrong element size: coords[1]"),
    (dict(cell_mask=np.ones((3, 3), np.uint8)), "Array too small: cell_mask"),
    (dict(cell_mask=np.ones((4, 3), np.int16)), "Wrong element size: cell_mask"),
    (dict(colour_values=np.ones((3, 2), F32)), "Array too small: colour_values"),
    (dict(colour_values=np.ones((3, 3))), "Wrong element size: colour_values"),
    (dict(height_values=np.ones((2, 3), F32)), "Array too small: height_values"),
    (dict(out_normals=np.zeros((90, 3), F32)), "Array too small: out_normals"),
    (dict(out_colours=np.zeros((100, 3), F32)), "Array too small: out_colours"),
    (dict(out_positions=np.zeros((100, 2), F32)), "Array too small: out_positions"),
    (dict(out_positions=np.zeros((), F32)), "Wrong number of dimensions: out_positions"),
    (dict(out_counts=np.zeros(0, np.int32)), "Array too small: out_counts"),
    (dict(out_counts=np.zeros(40, np.int64)), "Wrong element size: out_counts"),
    (dict(nodes=np.zeros((4, 3, 9), F32)), "Array too small: nodes"),
    (dict(nodes=np.zeros((4, 2, 10), F32)), "Array too small: nodes"),
    (dict(nodes=np.zeros((4, 3, 10))), "Wrong element size: nodes"),
    (dict(vectors=np.ones((2, 3, 2), F32)), "Array too small: vectors"),
    *[(dict([(name, np.broadcast_to(glarr_args()[name], glarr_args()[name].shape))]),
       f"Array not writeable: {name}")
      for name in ["out_normals", "out_positions", "out_colours", "out_counts", "nodes"]],
    (dict(vectors=np.ones((3, 3, 1), F32)), "Array too small: vectors"),
    (dict(arrows=0, contour_levels=2, height_scale=0.0, height_values=np.ones((3, 2), F32)),
     "Array too small: height_values"),
    (dict(arrows=0, contour_levels=2, cell_mask=np.ones((3, 1), np.uint8)),
     "Array too small: cell_mask"),
])
def test_glarr_refuses(change, message):
    args = glarr_args(**change)
    before = {k: np.copy(v) for k, v in args.items() if isinstance(v, np.ndarray)}
    with pytest.raises(Exception) as excinfo:
        fieldplot.glarr(*args.values())
    module_error(excinfo, message)
    for k, v in before.items():
        np.testing.assert_array_equal(args[k], v, err_msg=k)


@pytest.mark.parametrize("change", [
    dict(height_scale=0.0, height_values=np.zeros((0,), F32)),
    dict(arrows=0, contour_levels=3, out_normals=np.zeros((0, 3), F32),
         out_colours=np.zeros((1,), F32)),
    dict(out_positions=np.zeros((9, 3), F32), out_normals=np.zeros((0, 3), F32),
         out_colours=np.zeros((0, 4), F32)),
    dict(u_first=3, u_last=2, v_first=-5, plane=-3, coords=[np.zeros(0)] * 3,
         nodes=np.zeros(0, F32), colour_values=np.zeros(0, F32)),
])
def test_glarr_accepts_arrays_it_does_not_read(change):
    assert fieldplot.glarr(*glarr_args(**change).values()) >= 0


def test_glarr_parse_failure_keeps_the_parser_error():
    args = list(glarr_args().values())
    with pytest.raises(TypeError):
        fieldplot.glarr(*args[:-1])
    with pytest.raises(TypeError):
        fieldplot.glarr(*args[:16], "scale", *args[17:])


def test_glarr_coordinate_item_not_an_array_returns_none():
    coords = grid_coords()
    args = glarr_args(coords=[coords[0], coords[1], list(coords[2])])
    assert fieldplot.glarr(*args.values()) is None
    assert (args["nodes"] == 0).all() and (args["out_counts"] == 0).all()


def test_no_reference_kept_on_any_path():
    import sys
    coords = grid_coords()
    calls = [
        lambda: fieldplot.glarr(*glarr_args(coords=coords).values()),
        lambda: fieldplot.glarr(*glarr_args(coords=coords, contour_levels=-1).values()),
        lambda: fieldplot.glarr(*glarr_args(coords=[coords[0], coords[1], "x"]).values()),
        lambda: fieldplot.inzidenz(*inzidenz_args(coords=coords).values()),
        lambda: fieldplot.inzidenz(*inzidenz_args(coords=coords, u_axis=2).values()),
    ]
    before = [sys.getrefcount(c) for c in coords]
    for call in calls:
        for _ in range(5):
            try:
                call()
            except Exception:
                pass
    assert [sys.getrefcount(c) for c in coords] == before
