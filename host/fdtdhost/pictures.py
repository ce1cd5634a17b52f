"""The pictures: voxel model, field plane (relief, contours, arrows), one stage,
and the plot of |S11|."""
import contextlib

import blockdraw
import fieldplot
import numpy as np
import stagedraw
from matplotlib import colors, ticker
from matplotlib.cm import ScalarMappable
from matplotlib.figure import Figure
from scipy.interpolate import RegularGridInterpolator

from . import gl  # noqa: F401  (chooses EGL before OpenGL is first imported)
from .grid import METAL_SIGMA, WorkArrays
from OpenGL import GL

SHOWN, HIDDEN = 2.0, 0.5          # element 0 of a material row, against THRESHOLD
THRESHOLD = 1.0
STAGE_METAL, STAGE_LUMPED = 1.0, 2.0
STAGE_REACH = (3.0, 8.0, 4.0)      # mm behind, ahead of and beside the feed


def model_picture(canvas, grid, path):
    """The voxel model from an oblique view, lit, through blockdraw."""
    model = grid.model
    spacing = np.array([s.mean() for s in grid.sizes], dtype=np.float64)
    counts = np.array(model.shape, dtype=np.int32)
    table = np.zeros((len(model.materials), blockdraw.MATERIAL_ROW_FLOATS), dtype=np.float32)
    for r, mat in enumerate(model.materials):
        table[r, 0] = SHOWN if mat.show else HIDDEN
        table[r, 4:7] = mat.colour
    lo, hi = _extent(grid, table[:, 0] == SHOWN, spacing)
    canvas.begin(lo, hi, tilt=model.tilt, turn=model.turn)
    canvas.light()
    quads = blockdraw.blockdraw(None, THRESHOLD, -1.0, counts, spacing, grid.material,
                                table, 1.0)
    canvas.save(path)
    return {"quads": quads}


def _extent(grid, shown_material, spacing):
    """Box (mm) around the cells of shown materials, the whole grid if none
    is shown; found block by block."""
    used = [np.zeros(n, dtype=bool) for n in (grid.nx, grid.ny, grid.nz)]
    for z, y, x in grid.blocks():
        shown = shown_material[grid.material[z, y, x]]
        used[2][z] |= shown.any(axis=(1, 2))
        used[1][y] |= shown.any(axis=(0, 2))
        used[0][x] |= shown.any(axis=(0, 1))
    if not used[2].any():
        used = [np.ones_like(u) for u in used]
    lo, hi = [], []
    for a in range(3):
        cells = np.nonzero(used[a])[0]
        lo.append(cells[0] * spacing[a])
        hi.append((cells[-1] + 1) * spacing[a])
    return lo, hi


class FieldPlane:
    """A field on a z plane of the inner grid (a `field.PlaneField`), drawn
    through glarr and labelled: a title, axes in mm and a colour bar."""

    def __init__(self, grid, field):
        self.grid, self.field = grid, field
        self.window = field.window
        u_first, u_last, v_first, v_last = self.window
        self.height, self.colour, self.vectors = field.height, field.colour, field.vectors
        self.coords = [n.astype(np.float64) for n in grid.nodes]
        self.nodes = np.zeros((grid.nx + 1, grid.ny + 1, fieldplot.NODE_FLOATS), dtype=np.float32)
        self.cells = np.zeros((grid.nx + 1, grid.ny + 1), dtype=np.uint8)
        self.cells[u_first:u_last, v_first:v_last] = 1
        self.plane = field.plane
        self.z = float(grid.nodes[2][self.plane])
        self.nu, self.nv = u_last - u_first + 1, v_last - v_first + 1

    def _glarr(self, mask, rows, groups, height_scale, contours=0, arrows=0, arrow_scale=0.0):
        normals = np.zeros((rows, 3), dtype=np.float32)
        positions = np.zeros((rows, 3), dtype=np.float32)
        colours = np.zeros((rows, 4), dtype=np.float32)
        counts = np.zeros(groups + 1, dtype=np.int32)
        u_first, u_last, v_first, v_last = self.window
        n = fieldplot.glarr(2, 0, 1, self.plane, u_first, u_last, v_first, v_last,
                            self.coords, mask, self.colour, self.height, normals, positions,
                            colours, counts, height_scale, self.nodes, contours, 1.0,
                            arrows, self.vectors, arrow_scale)
        used = int(np.argmin(counts != 0)) if (counts == 0).any() else len(counts)
        return n, positions[:n], normals[:n], colours[:n], counts[:used]

    def _view(self, canvas, lift):
        g, model = self.grid, self.grid.model
        u_first, u_last, v_first, v_last = self.window
        canvas.begin((g.nodes[0][u_first], g.nodes[1][v_first], self.z - lift),
                     (g.nodes[0][u_last], g.nodes[1][v_last], self.z + lift),
                     tilt=model.tilt, turn=model.turn)

    def _box(self):
        """The window's corners (mm): ((x0, x1), (y0, y1), z)."""
        g = self.grid
        u_first, u_last, v_first, v_last = self.window
        return ((g.nodes[0][u_first], g.nodes[0][u_last]),
                (g.nodes[1][v_first], g.nodes[1][v_last]), self.z)

    def _save(self, canvas, path, what, ramp):
        """The GL frame with its title, axes and colour bar, as `path`."""
        f = self.field
        labelled(canvas, path, f"{what}, z = {self.z:.4g} mm: {f.label}", self._box(),
                 ramp=ramp, scale=f.scale, unit=f"|E|, {f.unit}")

    def relief(self, canvas, path):
        """Ez as a coloured relief: triangle strips with vertex normals."""
        rows = 2 * self.nu * (self.nv - 1) + 16
        with labelled_area(canvas):
            n, pos, nor, col, counts = self._glarr(self.cells, rows, self.nv,
                                                   self.grid.model.relief)
            self._view(canvas, abs(self.grid.model.relief))
            canvas.light(ambient=0.2, diffuse=0.9, colour_arrays=True)
            _draw_strips(pos, nor, col, counts)
            self._save(canvas, path, "Ez as relief", RAMP)
        return {"vertices": n, "strips": len(counts)}

    def contours(self, canvas, path):
        """Contour points of |Ez| in the plane, over the patch outline."""
        levels = self.grid.model.contours
        rows = 4 * levels * (self.nu - 1) * (self.nv - 1) + 16
        with labelled_area(canvas):
            n, pos, _, _, counts = self._glarr(self.cells, rows, 1, 0.0, contours=levels)
            self._view(canvas, 1.0)
            GL.glDisable(GL.GL_LIGHTING)
            if self.field.outline is not None:
                _outline(self.field.outline, self.z)
            # each point in the colour of its level
            level = _levels(self.height, self.coords, self.window, pos, levels)
            GL.glPointSize(2.0)
            GL.glEnableClientState(GL.GL_VERTEX_ARRAY)
            GL.glEnableClientState(GL.GL_COLOR_ARRAY)
            GL.glVertexPointer(3, GL.GL_FLOAT, 0, np.ascontiguousarray(pos))
            GL.glColorPointer(3, GL.GL_FLOAT, 0, ramp_colours(level))
            GL.glDrawArrays(GL.GL_POINTS, 0, n)
            GL.glDisableClientState(GL.GL_COLOR_ARRAY)
            GL.glDisableClientState(GL.GL_VERTEX_ARRAY)
            f = self.field
            labelled(canvas, path, f"|Ez| in {levels} contour levels, z = {self.z:.4g} mm: "
                                   f"{f.label}", self._box(), ramp=RAMP, scale=f.ez_scale,
                     unit=f"|Ez|, {f.unit}")
        return {"points": n, "levels": levels}

    def arrows(self, canvas, path):
        """The field vector as arrows at every few nodes, coloured by magnitude."""
        step = self.grid.model.arrow_step
        u_first, u_last, v_first, v_last = self.window
        mask = np.zeros_like(self.cells)
        mask[u_first:u_last + 1:step, v_first:v_last:step] = 1
        count = int(mask.sum())
        scale = 1.5 * step * float(min(s.min() for s in self.grid.sizes[:2]))
        with labelled_area(canvas):
            n, pos, nor, col, counts = self._glarr(mask, 16 * count + 16, 5 * count, 0.0,
                                                   arrows=1, arrow_scale=scale)
            self._view(canvas, scale)
            canvas.light(colour_arrays=True)
            _draw_strips(pos, nor, col, counts)
            self._save(canvas, path, f"E as arrows at every {step}th node", ARROW_RAMP)
        return {"vertices": n, "arrows": n // 16}


# The colour ramp of glarr (blue, green, red over 0..1) and its doubled form
# in arrow mode (blue, cyan, green, yellow, red), as the pixels show them
RAMP = ((0.0, (0, 0, 1)), (0.5, (0, 1, 0)), (1.0, (1, 0, 0)))
ARROW_RAMP = ((0.0, (0, 0, 1)), (0.25, (0, 1, 1)), (0.5, (0, 1, 0)), (0.75, (1, 1, 0)),
              (1.0, (1, 0, 0)))
AREA = (0.80, 0.88)        # the GL frame's share of a labelled picture's width and height


def ramp_colours(values):
    """RGB float32 [n][3] of values 0..1 on glarr's plain ramp."""
    c = np.clip(np.asarray(values, dtype=np.float64), 0.0, 1.0)[:, None]
    low = np.hstack([0 * c, 2 * c, 1 - 2 * c])
    high = np.hstack([2 * c - 1, 2 - 2 * c, 0 * c])
    return np.ascontiguousarray(np.where(c < 0.5, low, high), dtype=np.float32)


def _levels(height, coords, window, points, levels):
    """The contour level (l + 1/2) / levels of each contour point: |height|
    interpolated where it lies on its cell edge, to the nearest level."""
    u_first, u_last, v_first, v_last = window
    table = RegularGridInterpolator((coords[0][u_first:u_last + 1], coords[1][v_first:v_last + 1]),
                                    np.abs(height.astype(np.float64)), bounds_error=False,
                                    fill_value=None)
    value = table(points[:, :2].astype(np.float64)) if len(points) else np.zeros(0)
    return (np.clip(np.floor(value * levels), 0, levels - 1) + 0.5) / levels


@contextlib.contextmanager
def labelled_area(canvas):
    """Draws into the part of the canvas that a labelled picture gives the GL
    frame (the rest holds the title and the colour bar)."""
    width, height = canvas.width, canvas.height
    canvas.width, canvas.height = max(int(width * AREA[0]), 8), max(int(height * AREA[1]), 8)
    try:
        yield
    finally:
        canvas.width, canvas.height = width, height


def _projection(width, height):
    """Maps points (mm) to pixels (column, row from the top) of the current
    GL frame of `width` x `height`, through its model-view and projection."""
    model_view = np.array(GL.glGetDoublev(GL.GL_MODELVIEW_MATRIX), dtype=np.float64).reshape(4, 4).T
    projection = np.array(GL.glGetDoublev(GL.GL_PROJECTION_MATRIX),
                          dtype=np.float64).reshape(4, 4).T
    full = projection @ model_view

    def project(points):
        p = np.column_stack([np.asarray(points, dtype=np.float64), np.ones(len(points))])
        clip = p @ full.T
        ndc = clip[:, :2] / clip[:, 3:4]
        return np.column_stack([(ndc[:, 0] + 1) * 0.5 * width, (1 - ndc[:, 1]) * 0.5 * height])
    return project


def labelled(canvas, path, title, box, ramp, scale, unit):
    """Saves the canvas's GL frame as `path`, the picture's size the model's
    view: the frame with x and y axes in mm along two edges of the plane
    `box` ((x0, x1), (y0, y1), z), a title, and a colour bar of `ramp` from
    0 to `scale` in `unit`."""
    frame = canvas.read()
    h, w = frame.shape[:2]
    project = _projection(w, h)
    width, height = canvas.full_size
    dpi = 100
    fig = Figure(figsize=(width / dpi, height / dpi), dpi=dpi)
    size = max(4.0, min(width / 60, height / 40))           # font size, points
    ax = fig.add_axes([0.0, 0.0, AREA[0], AREA[1]])
    ax.imshow(frame, interpolation="nearest")
    ax.set_xlim(-0.5, w - 0.5)
    ax.set_ylim(h - 0.5, -0.5)
    ax.axis("off")
    (x0, x1), (y0, y1), z = box
    centre = project([[0.5 * (x0 + x1), 0.5 * (y0 + y1), z]])[0]
    # the x axis along the nearer of the two y edges, the y axis along the nearer x edge
    y_edge = max((y0, y1), key=lambda y: project([[0.5 * (x0 + x1), y, z]])[0][1])
    x_edge = max((x0, x1), key=lambda x: project([[x, 0.5 * (y0 + y1), z]])[0][1])
    for name, lo, hi, point in (("x", x0, x1, lambda t: (t, y_edge, z)),
                                ("y", y0, y1, lambda t: (x_edge, t, z))):
        ends = project([point(lo), point(hi)])
        ax.plot(ends[:, 0], ends[:, 1], color="0.3", lw=0.8)
        ticks = [t for t in ticker.MaxNLocator(4).tick_values(lo, hi) if lo <= t <= hi]
        along = ends[1] - ends[0]
        out = np.array([along[1], -along[0]]) / (np.hypot(*along) or 1.0)
        mid = 0.5 * (ends[0] + ends[1])
        if np.dot(out, mid - centre) < 0:
            out = -out
        tick = 0.012 * max(w, h)
        for t in ticks:
            p = project([point(t)])[0]
            ax.plot([p[0], p[0] + tick * out[0]], [p[1], p[1] + tick * out[1]], color="0.3", lw=0.8)
            q = p + 2.6 * tick * out
            ax.text(q[0], q[1], f"{t:g}", fontsize=size * 0.85, ha="center", va="center")
        q = mid + 6.5 * tick * out
        ax.text(q[0], q[1], f"{name} (mm)", fontsize=size, ha="center", va="center")
    bar = fig.add_axes([AREA[0] + 0.03, 0.12, 0.035, AREA[1] - 0.2])
    cmap = colors.LinearSegmentedColormap.from_list("glarr", list(ramp))
    cb = fig.colorbar(ScalarMappable(colors.Normalize(0.0, scale), cmap), cax=bar)
    cb.ax.tick_params(labelsize=size * 0.8)
    cb.formatter = ticker.FormatStrFormatter("%.3g")
    cb.update_ticks()
    cb.set_label(unit, fontsize=size * 0.85)
    fig.text(0.01, 0.985, title, fontsize=size, ha="left", va="top", wrap=True)
    fig.savefig(path, dpi=dpi, facecolor="white")


def _draw_strips(positions, normals, colours, counts):
    GL.glEnableClientState(GL.GL_VERTEX_ARRAY)
    GL.glEnableClientState(GL.GL_NORMAL_ARRAY)
    GL.glEnableClientState(GL.GL_COLOR_ARRAY)
    GL.glVertexPointer(3, GL.GL_FLOAT, 0, np.ascontiguousarray(positions))
    GL.glNormalPointer(GL.GL_FLOAT, 0, np.ascontiguousarray(normals))
    GL.glColorPointer(4, GL.GL_FLOAT, 0, np.clip(colours, 0.0, 1.0))
    first = 0
    for count in counts:
        GL.glDrawArrays(GL.GL_TRIANGLE_STRIP, first, int(count))
        first += int(count)
    GL.glDisableClientState(GL.GL_VERTEX_ARRAY)
    GL.glDisableClientState(GL.GL_NORMAL_ARRAY)
    GL.glDisableClientState(GL.GL_COLOR_ARRAY)


def _outline(outline, z):
    lo, hi = outline
    GL.glColor3f(0.6, 0.6, 0.6)
    GL.glBegin(GL.GL_LINE_LOOP)
    for x, y in ((lo[0], lo[1]), (hi[0], lo[1]), (hi[0], hi[1]), (lo[0], hi[1])):
        GL.glVertex3f(x, y, z)
    GL.glEnd()


def stage_nodes(grid, box):
    """Per axis, the slice of the nodes that stagedraw's box test can pass
    (coordinates within the box widened by 1 mm); node 0 alone where none can."""
    nodes = []
    for a in range(3):
        c = grid.nodes[a]
        near = np.flatnonzero((box[a, 0] <= c + 1.0) & (box[a, 1] >= c - 1.0))
        nodes.append(slice(int(near[0]), int(near[-1]) + 1) if len(near) else slice(0, 1))
    return nodes


def stage_values(grid, nodes):
    """Per-edge stage of the E edges that leave the `nodes` (x, y, z slices):
    metal edges and lumped-element edges, indexed [axis][k][j][i] from the
    first of the nodes. An edge carries the value of the cell that has its
    node as lowest corner; the nodes of the grid's far faces carry none.

    With a lumped element along z, the metal edges are those of the node
    layers from its lower to its upper end: the conductor faces it joins.
    """
    xs, ys, zs = nodes
    stage = np.zeros((3, zs.stop - zs.start, ys.stop - ys.start, xs.stop - xs.start),
                     dtype=np.float32)
    cells = tuple(slice(s.start, min(s.stop, n)) for s, n in
                  ((zs, grid.nz), (ys, grid.ny), (xs, grid.nx)))
    z, y, x = cells
    if all(s.start < s.stop for s in cells):
        # in slabs of z planes, so that the averages' float64 temporaries stay small
        planes = max(1, grid.block_cells // ((y.stop - y.start) * (x.stop - x.start)))
        work = WorkArrays()
        for first in range(z.start, z.stop, planes):
            slab = slice(first, min(first + planes, z.stop))
            within = (slice(first - z.start, slab.stop - z.start), slice(0, y.stop - y.start),
                      slice(0, x.stop - x.start))
            for c in range(3):
                b = grid.edge_average(grid.sigma, c, (slab, y, x), work).astype(np.float32)
                stage[c][within] = np.where(b >= METAL_SIGMA, STAGE_METAL, 0.0)
    if grid.model.lumped and grid.model.lumped[0].axis == 2:
        k = grid.model.lumped[0].region[0]
        stage[:, :max(k.start - zs.start, 0)] = 0.0
        stage[:, max(k.stop + 1 - zs.start, 0):] = 0.0
    for elem in grid.model.lumped:
        local = [slice(max(r.start, s.start) - s.start, max(min(r.stop, s.stop) - s.start, 0))
                 for r, s in zip(elem.region, (zs, ys, xs))]
        stage[(elem.axis,) + tuple(local)] = STAGE_LUMPED
    return stage


def stage_box(grid):
    """Region (mm, [axis][lo, hi]) of the stage: around the first lumped element
    (the feed), else around the sheets above the lowest one."""
    model = grid.model
    if model.lumped:
        elem = model.lumped[0]
        k, j, i = elem.region
        centre = (grid.centres[0][i.start], grid.centres[1][j.start])
        box = [[centre[0] - STAGE_REACH[0], centre[0] + STAGE_REACH[1]],
               [centre[1] - STAGE_REACH[2], centre[1] + STAGE_REACH[2]],
               [grid.nodes[2][max(k.start - 1, 0)], grid.nodes[2][min(k.stop + 1, grid.nz)]]]
    else:
        sheets = [s for s in model.sheets if s.normal == 2] or model.sheets
        lo = [min(s.lo[a] for s in sheets) for a in range(3)] if sheets else \
            [n[0] for n in grid.nodes]
        hi = [max(s.hi[a] for s in sheets) for a in range(3)] if sheets else \
            [n[-1] for n in grid.nodes]
        box = [[lo[a], hi[a]] for a in range(3)]
    return np.array(box, dtype=np.float64)


def stage_picture(canvas, grid, path):
    """The metal (blue) and lumped (red) edges around the feed, through
    stagedraw, given the stage of the nodes near the box only."""
    box = stage_box(grid)
    nodes = stage_nodes(grid, box)
    stage = stage_values(grid, nodes)
    xs, ys, zs = (np.ascontiguousarray(n[s], dtype=np.float64) for n, s in zip(grid.nodes, nodes))
    canvas.begin(box[:, 0] - 1.0, box[:, 1] + 1.0, tilt=62.0, turn=-30.0)
    canvas.flat()
    GL.glLineWidth(2.0)
    lines = stagedraw.stagedraw(box, stage, xs, ys, zs, STAGE_METAL, STAGE_LUMPED, "line")
    canvas.save(path)
    return {"lines": lines}


def s11_plot(path, freqs, s11_db, width, height, title, marks=()):
    """|S11| in dB over frequency (GHz), with `marks`: (frequency, label) lines."""
    dpi = 100
    size = max(4.0, min(width / 60, height / 40))
    fig = Figure(figsize=(width / dpi, height / dpi), dpi=dpi)
    ax = fig.add_axes([0.14, 0.14, 0.82, 0.76])
    ax.plot(np.asarray(freqs) / 1e9, s11_db, color="tab:blue", lw=1.2)
    for (f, label), colour in zip(marks, ("tab:red", "tab:green", "tab:purple")):
        ax.axvline(f / 1e9, color=colour, lw=0.8, ls="--", label=label)
    if marks:
        ax.legend(fontsize=size * 0.8, loc="lower left")
    ax.set_xlabel("frequency (GHz)", fontsize=size)
    ax.set_ylabel("|S11| (dB)", fontsize=size)
    ax.set_title(title, fontsize=size)
    ax.tick_params(labelsize=size * 0.85)
    ax.grid(True, lw=0.4, alpha=0.6)
    fig.savefig(path, dpi=dpi, facecolor="white")
