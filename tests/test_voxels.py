"""Voxelisation of each shape against a NumPy reference of its cell-centre rule,
the rule for features below a cell, and the perfect conductor."""
import itertools
import math

import numpy as np
import pytest

fh = pytest.importorskip("fdtdhost")
from fdtdhost import grid as gridmod, voxels  # noqa: E402

AIR, DIEL, COPPER = 0, 1, 2
MATERIALS = [fh.Material("air", show=False), fh.Material("diel", eps_r=3.0, sigma=0.01),
             fh.Material("copper", sigma=5.8e7)]
# uneven cells: a graded y axis and a z axis of two sizes
GRID = fh.Grid(x=[fh.Uniform(14, 1.0)], y=[fh.Graded(12, 1.5, 0.5)],
               z=[fh.Uniform(4, 1.0), fh.Uniform(6, 0.5)])


def voxelise(*shapes, sheets=(), vias=()):
    model = fh.Model(grid=GRID, pml=1, materials=MATERIALS, shapes=shapes, sheets=sheets,
                     vias=vias)
    g = gridmod.Grid(fh.validate(model))
    return g, g.voxels


def centres(g):
    """Cell centres z, y, x as [z][y][x] arrays, one cell at a time (no broadcasting)."""
    return np.meshgrid(g.centres[2], g.centres[1], g.centres[0], indexing="ij")


def reference(g, inside):
    """The cells whose centre passes `inside(x, y, z)`, tested cell by cell."""
    z, y, x = centres(g)
    out = np.zeros(z.shape, dtype=bool)
    for idx in np.ndindex(z.shape):
        out[idx] = inside(x[idx], y[idx], z[idx])
    return out


def segment_crosses_cell(p, q, lo, hi):
    """Liang-Barsky: does a piece of the segment p..q of some length lie in
    the cell lo <= x < hi (hi None: the grid's upper face, closed)?"""
    t0, t1 = 0.0, 1.0
    for a in range(3):
        d = q[a] - p[a]
        if d == 0.0:
            if not (lo[a] <= p[a] and (hi[a] is None or p[a] < hi[a])):
                return False
            continue
        top = math.inf if hi[a] is None else hi[a]
        ta, tb = sorted(((lo[a] - p[a]) / d, (top - p[a]) / d))
        t0, t1 = max(t0, ta), min(t1, tb)
    return t0 < t1


def winding(points, u, v):
    """Winding number of the outline around (u, v): angles summed."""
    pts = np.asarray(points) - (u, v)
    angles = np.arctan2(pts[:, 1], pts[:, 0])
    turn = np.diff(np.append(angles, angles[0]))
    return round(float(((turn + math.pi) % (2 * math.pi) - math.pi).sum()) / (2 * math.pi))


def in_cylinder(p, q, r):
    p, q = np.array(p), np.array(q)
    d = q - p

    def inside(x, y, z):
        rel = np.array([x, y, z]) - p
        t = rel @ d / (d @ d)
        return 0.0 <= t < 1.0 and np.sum((rel - t * d) ** 2) <= r * r
    return inside


OCTAGON = [(3.2, 2.1), (8.0, 1.4), (11.7, 3.0), (12.6, 6.5), (10.1, 9.3), (5.5, 8.0),
           (6.5, 5.2), (2.3, 6.8)]     # not convex: the dent at (6.5, 5.2)

SHAPES = [
    (fh.Box("copper", (2.3, 1.2, 0.7), (9.6, 7.4, 5.6)),
     lambda x, y, z: 2.3 <= x < 9.6 and 1.2 <= y < 7.4 and 0.7 <= z < 5.6),
    (fh.Cylinder("copper", (1.4, 4.0, 2.5), (12.1, 4.0, 2.5), 2.2),
     in_cylinder((1.4, 4.0, 2.5), (12.1, 4.0, 2.5), 2.2)),
    (fh.Cylinder("copper", (3.0, 2.5, 1.6), (10.5, 8.0, 5.4), 1.2),      # oblique
     in_cylinder((3.0, 2.5, 1.6), (10.5, 8.0, 5.4), 1.2)),
    (fh.Sphere("copper", (6.6, 5.1, 3.3), 2.9),
     lambda x, y, z: (x - 6.6) ** 2 + (y - 5.1) ** 2 + (z - 3.3) ** 2 <= 2.9 ** 2),
    (fh.Polygon("copper", OCTAGON, (1.2, 4.3)),
     lambda x, y, z: 1.2 <= z < 4.3 and winding(OCTAGON, x, y) != 0),
    (fh.Polygon("copper", [(p[0] * 0.6, p[1] * 0.5) for p in OCTAGON], (2.0, 11.0), axis="x"),
     lambda x, y, z: 2.0 <= x < 11.0 and winding([(p[0] * 0.6, p[1] * 0.5) for p in OCTAGON],
                                                   y, z) != 0),
]


@pytest.mark.parametrize("shape, inside", SHAPES, ids=lambda s: type(s).__name__
                         if isinstance(s, fh.model.Shape) else "")
def test_shape_paints_the_cells_whose_centre_lies_inside(shape, inside):
    g, vox = voxelise(shape)
    expected = reference(g, inside)
    assert expected.sum() > 10
    np.testing.assert_array_equal(g.material == COPPER, expected)
    assert vox.thin == () and vox.warnings == ()


@pytest.mark.parametrize("p, q, radius", [
    ((0.5, 0.5, 0.2), (13.3, 9.9, 6.4), 0.0),      # oblique, below a cell
    ((2.0, 4.0, 3.0), (12.0, 4.0, 3.0), 0.0),      # along x, on cell faces in y and z
    ((3.7, 2.1, 1.9), (9.2, 8.8, 5.1), 1.3),
])
def test_wire_keeps_every_cell_its_axis_passes_through(p, q, radius):
    g, vox = voxelise(fh.Wire("copper", p, q, radius))
    pn, qn = np.array(p), np.array(q)

    def near(x, y, z):
        rel, d = np.array([x, y, z]) - pn, qn - pn
        t = min(max(rel @ d / (d @ d), 0.0), 1.0)
        return np.sum((rel - t * d) ** 2) <= radius ** 2
    expected = reference(g, near)
    for k, j, i in itertools.product(*(range(n) for n in g.material.shape)):
        lo = (g.nodes[0][i], g.nodes[1][j], g.nodes[2][k])
        hi = tuple(None if c + 1 == len(g.sizes[a]) else g.nodes[a][c + 1]
                   for a, c in enumerate((i, j, k)))
        expected[k, j, i] |= segment_crosses_cell(p, q, lo, hi)
    np.testing.assert_array_equal(g.material == COPPER, expected)


def test_sheet_and_via_by_their_rules():
    sheet = fh.Sheet("copper", "y", 6.2, (2.4, 1.1), (10.6, 4.3))
    via = fh.Via("copper", (6.4, 5.6), 1.6, (0.6, 4.4))
    g, vox = voxelise(sheets=[sheet], vias=[via])
    j = int(np.searchsorted(g.nodes[1], 6.2, "right")) - 1
    expected = reference(g, lambda x, y, z: (2.4 <= x < 10.6 and 1.1 <= z < 4.3 and
                                             g.nodes[1][j] <= y < g.nodes[1][j + 1]) or
                         ((x - 6.4) ** 2 + (y - 5.6) ** 2 <= 1.6 ** 2 and 0.6 <= z < 4.4))
    np.testing.assert_array_equal(g.material == COPPER, expected)
    # the sheet is marked for its two tangential axes, x and z
    assert set(np.unique(g.skin[vox.sheets[0]])) == {0b101}
    assert vox.sheets[0][1] == slice(j, j + 1)


def test_later_shapes_paint_over_earlier_ones():
    g, _ = voxelise(fh.Box("diel", (0, 0, 0), (14, 10, 7)),
                    fh.Sphere("copper", (7, 5, 3.5), 2.5),
                    fh.Cylinder("air", (7, 5, 0), (7, 5, 7), 1.0))
    block = reference(g, lambda x, y, z: y < 10)
    hole = reference(g, in_cylinder((7, 5, 0), (7, 5, 7), 1.0))
    ball = reference(g, lambda x, y, z: (x - 7) ** 2 + (y - 5) ** 2 + (z - 3.5) ** 2 <= 6.25)
    np.testing.assert_array_equal(
        g.material, np.where(hole, AIR, np.where(ball, COPPER, np.where(block, DIEL, AIR))))


def test_mesh_from_stl_matches_its_convex_solid(tmp_path):
    trimesh = pytest.importorskip("trimesh")
    solid = trimesh.creation.icosphere(subdivisions=2, radius=3.1)
    solid.apply_transform(trimesh.transformations.rotation_matrix(0.4, (1, 2, 3)))
    solid.apply_scale((1.0, 1.2, 0.8))
    path = tmp_path / "part.stl"
    solid.export(path)
    g, _ = voxelise(fh.Mesh("copper", str(path), scale=1.0, offset=(6.8, 5.3, 3.1)))
    v = solid.triangles[:, 0] + (6.8, 5.3, 3.1)
    normals = np.cross(solid.triangles[:, 1] - solid.triangles[:, 0],
                       solid.triangles[:, 2] - solid.triangles[:, 0])

    def inside(x, y, z):        # behind every face plane
        return bool((np.einsum("ij,ij->i", normals, (x, y, z) - v) < 0).all())
    expected = reference(g, inside)
    assert expected.sum() > 50
    np.testing.assert_array_equal(g.material == COPPER, expected)


def test_mesh_of_a_box_with_faces_on_the_cell_centres(tmp_path):
    # the faces' diagonals run through rows of centres: each must count once
    trimesh = pytest.importorskip("trimesh")
    path = tmp_path / "box.stl"
    trimesh.creation.box(extents=(6.0, 4.0, 3.0)).export(path)
    g, _ = voxelise(fh.Mesh("copper", str(path), offset=(6.5, 5.0, 3.0)))
    box, _ = voxelise(fh.Box("copper", (3.5, 3.0, 1.5), (9.5, 7.0, 4.5)))
    np.testing.assert_array_equal(g.material, box.material)


@pytest.mark.parametrize("shape, cells", [
    # a copper layer 0.2 mm thick inside the z layer 2 (2.0 to 3.0 mm): one layer
    (fh.Box("copper", (2.0, 2.0, 2.3), (9.0, 6.0, 2.5)), lambda g: g.material[2, 1:5, 2:9]),
    # a via of radius 0.2 mm on 1 mm cells: the column of cells holding its axis
    (fh.Via("copper", (6.3, 4.4), 0.2, (0.2, 4.2)), lambda g: g.material[0:4, 3, 6]),
    # a sphere between the centres: the cell of its centre
    (fh.Sphere("copper", (7.0, 4.0, 2.0), 0.45), lambda g: g.material[2, 2, 7]),
    # a trace 0.3 mm wide along x, below the cells of z layer 5 (4.5 to 5.0)
    (fh.Polygon("copper", [(2.2, 5.4), (10.8, 5.4), (10.8, 5.7), (2.2, 5.7)], (4.6, 4.7)),
     lambda g: g.material[5, 4, 2:11]),
])
def test_conductor_below_a_cell_is_kept_as_one_cell(shape, cells):
    if isinstance(shape, fh.Via):
        g, vox = voxelise(vias=[shape])
    else:
        g, vox = voxelise(shape)
    kept = cells(g)
    assert (kept == COPPER).all() and (g.material == COPPER).sum() == kept.size
    assert len(vox.thin) == 1 and vox.warnings == ()


@pytest.mark.parametrize("shape", [
    fh.Cylinder("copper", (7.0, 4.4, 2.1), (7.0, 4.4, 2.3), 3.0),          # a thin disc
    fh.Cylinder("copper", (1.2, 4.0, 2.0), (12.2, 4.0, 2.0), 0.3),         # a thin rod
])
def test_thin_cylinder_keeps_the_cells_that_hold_part_of_it(shape):
    g, vox = voxelise(shape)
    p, q = np.array(shape.from_), np.array(shape.to)
    along = int(np.argmax(np.abs(q - p)))
    across = [a for a in range(3) if a != along]
    kept = np.argwhere(g.material == COPPER)[:, ::-1]          # (x, y, z) indices
    for cell in kept:
        lo = np.array([g.nodes[a][cell[a]] for a in range(3)])
        hi = np.array([g.nodes[a][cell[a] + 1] for a in range(3)])
        # the cell's box meets the cylinder: within the radius of the axis,
        # and over the cylinder's length
        radial = np.clip(p, lo, hi)[across] - p[across]
        assert np.hypot(*radial) <= shape.radius
        assert lo[along] <= max(p[along], q[along]) and hi[along] >= min(p[along], q[along])
    assert len(kept) >= 9 and vox.thin == ("shapes[0]",)


def test_thin_mesh_keeps_the_cells_of_its_surface(tmp_path):
    trimesh = pytest.importorskip("trimesh")
    path = tmp_path / "plate.stl"
    trimesh.creation.box(extents=(8.0, 5.0, 0.1)).export(path)
    # x 3.2 to 11.2, y 2.5 to 7.5, z 4.85 to 4.95: inside z layer 5 (4.5 to 5.0),
    # off its centre
    g, vox = voxelise(fh.Mesh("copper", str(path), offset=(7.2, 5.0, 4.9)))
    assert vox.thin == ("shapes[0]",)
    expected = np.zeros(g.material.shape, dtype=bool)
    expected[5, g.layer(1, 2.5):g.layer(1, 7.5) + 1, 3:12] = True
    np.testing.assert_array_equal(g.material == COPPER, expected)


def test_dielectric_below_a_cell_is_left_out_with_a_warning():
    g, vox = voxelise(fh.Box("diel", (2.0, 2.0, 2.3), (9.0, 6.0, 2.5)),
                      fh.Sphere("copper", (7.0, 4.0, 2.0), 0.45))
    assert (g.material == DIEL).sum() == 0
    assert vox.warnings == ("shapes[0]: holds no cell centre and is no conductor; left out",)
    assert vox.thin == ("shapes[1]",)


def test_perfect_conductor_clears_every_edge_it_touches():
    model = fh.Model(grid=GRID, pml=1, materials=MATERIALS[:2],
                     shapes=[fh.Box("diel", (0, 0, 0), (14, 10, 7)),
                             fh.Box("pec", (4.0, 3.0, 2.0), (9.0, 7.0, 5.0))],
                     sheets=[fh.Sheet("pec", "z", 5.2, (1, 1), (12, 9))])
    checked = fh.validate(model)
    assert checked.materials[-1].pec and checked.materials[-1].name == "pec"
    assert not checked.sheets[0].marked         # no skin loss on a perfect conductor
    g = gridmod.Grid(checked)
    assert not g.skin.any()
    pec = gridmod.CellValues([float(n == 2) for n in range(len(g.model.materials))], g.material)
    whole = tuple(slice(0, n) for n in g.material.shape)
    for c in range(3):
        a, b = (x.toarray().astype(np.float64) for x in g.material_pairs()[c])
        touches = g.edge_average(pec, c, whole) > 0
        pl = (a - b / 2) / (a + b / 2)
        assert (pl[touches] < -0.999999).all() and (pl[~touches] > -0.5).all()


def test_voxels_are_derived_not_written_into_the_model():
    checked = fh.validate(fh.Model(grid=GRID, pml=1, materials=MATERIALS,
                                   sheets=[fh.Sheet("copper", "z", 2.5, (1, 1), (12, 9))]))
    before = repr(checked.sheets)
    g1, g2 = gridmod.Grid(checked), gridmod.Grid(checked)
    assert repr(checked.sheets) == before and g1.voxels.sheets == g2.voxels.sheets
    assert g1.voxels.material is not g2.voxels.material
    assert voxels.Voxels.__dataclass_params__.frozen
