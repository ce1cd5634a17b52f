"""Times fieldplot beside a vectorised NumPy computation of the same work.

  glarr, surface mode, 2000 x 2000 window: the node table (positions, colour
      ramp, normals) and the strips of every cell; NumPy builds the node table.
      The full emission writes 480 MB (the 160 MB node table and 320 MB of
      vertex rows): its floor is the time this machine takes to copy as many
      bytes (np.copyto, a memmove), measured here in the same run.
      glarr splits a large window over the cores; it is timed on one core too.
  inzidenz, 1000 x 1000 window, 100 boxes: NumPy ORs one separable box mask
      (a u interval times a v interval) per box into a node table.
  Both methods run without the interpreter lock: two calls from two threads
  at once against the same two calls one after the other.

Prints the best wall time of a few runs for each, the rates and the ratios.
Run: .venv/bin/python bench/fieldplot.py
"""
import os
import sys

import numpy as np

# This script bears the module's name: keep its own folder off the path so that
# the import below finds the extension module.
_here = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _here]
sys.path.append(_here)
import fieldplot  # noqa: E402
from timing import alternate, best_of, report_threads, two_threads  # noqa: E402

F32 = np.float32


def numpy_node_table(coords, height, colour, height_scale, plane):
    """Node table of the normal axis 2, u axis 0, v axis 1, as surface mode builds it."""
    nu, nv = height.shape
    nodes = np.empty((nu, nv, 10), F32)
    nodes[:, :, 0] = coords[0][:nu, None]
    nodes[:, :, 1] = coords[1][None, :nv]
    nodes[:, :, 2] = height_scale * height.astype(np.float64) + coords[2][plane]
    c = np.abs(colour.astype(np.float64))
    low = c < 0.5
    nodes[:, :, 6] = np.where(low, 0, 2 * (c - 0.5))
    nodes[:, :, 7] = np.where(low, 2 * c, 2 * (1 - c))
    nodes[:, :, 8] = np.where(low, 2 * (0.5 - c), 0)
    nodes[:, :, 9] = 1.0
    p = nodes[:, :, :3].astype(np.float64)
    n = np.cross(p[1:, :-1] - p[:-1, :-1], p[:-1, 1:] - p[:-1, :-1])
    n *= (1 / np.sqrt((n * n).sum(axis=2)))[:, :, None]
    n[n[:, :, 2] > 0] *= -1
    nodes[:-1, :-1, 3:6] = n
    nodes[:-1, -1, 3:6] = nodes[:-1, -2, 3:6]
    nodes[-1, :, 3:6] = nodes[-2, :, 3:6]
    return nodes


def glarr_outputs(n):
    """The arrays glarr writes, written once, so that no call pays for their
    first touch."""
    vertices = 2 * n * (n - 1)
    return (np.ones((vertices + 10, 3), F32), np.ones((vertices + 10, 3), F32),
            np.ones((vertices + 10, 4), F32), np.ones(n + 1, np.int32),
            np.ones((n, n, 10), F32))


def one_core(fn):
    """fn() with this process bound to one of its cores."""
    allowed = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(allowed)})
    try:
        return fn()
    finally:
        os.sched_setaffinity(0, allowed)


def bench_glarr(n=2000):
    rng = np.random.default_rng(1)
    coords = [np.arange(n) * 0.01, np.arange(n) * 0.02, np.array([0.0, 0.5])]
    height = rng.random((n, n), dtype=np.float32)
    colour = rng.random((n, n), dtype=np.float32)
    everything, nothing = np.ones((n, n), np.uint8), np.zeros((n, n), np.uint8)
    vertices = 2 * n * (n - 1)
    out = glarr_outputs(n)

    def run(mask, out=out):
        normals, positions, colours, counts, nodes = out
        return fieldplot.glarr(2, 0, 1, 1, 0, n - 1, 0, n - 1, coords, mask, colour, height,
                               normals, positions, colours, counts, 0.3, nodes, 0, 1.0, 0,
                               None, 1.0)

    assert run(everything) == vertices
    reference = numpy_node_table(coords, height, colour, 0.3, 1)
    np.testing.assert_allclose(out[4], reference, rtol=0, atol=1e-6)
    del reference
    t_numpy = best_of(lambda: numpy_node_table(coords, height, colour, 0.3, 1), repeat=3)
    t_full = best_of(lambda: run(everything), repeat=7)
    t_table = best_of(lambda: run(nothing), repeat=7)
    t_one_core = one_core(lambda: best_of(lambda: run(everything), repeat=5))

    written = out[0].nbytes + out[1].nbytes + out[2].nbytes + out[4].nbytes
    source, target = np.ones(written // 4, F32), np.zeros(written // 4, F32)
    t_floor = best_of(lambda: np.copyto(target, source), repeat=7)
    del source, target

    print(f"glarr surface {n} x {n}, every cell: {t_full * 1e3:6.1f} ms, "
          f"{vertices / t_full / 1e6:5.1f} M vertices/s, {n * n / t_full / 1e6:5.1f} M nodes/s")
    print(f"  on one core:                     {t_one_core * 1e3:6.1f} ms")
    print(f"  write floor: a copy of the {written / 1e6:.0f} MB written {t_floor * 1e3:6.1f} ms "
          f"({written / t_floor / 1e9:4.1f} GB/s)   ratio glarr/floor {t_full / t_floor:4.2f}")
    print(f"glarr surface {n} x {n}, no cell:    {t_table * 1e3:6.1f} ms (the node table alone)")
    print(f"  NumPy node table:                {t_numpy * 1e3:6.1f} ms   "
          f"ratio NumPy/glarr {t_numpy / t_table:5.1f}x (node table), "
          f"{t_numpy / t_full:5.1f}x (with the strips)")
    outputs = alternate((out,), (glarr_outputs(n),))
    for label, mask in (("every cell", everything), ("no cell", nothing)):
        serial, together = two_threads(lambda o: run(mask, o), outputs)
        report_threads(f"glarr {label}", serial, together)


def numpy_incidence(coords, boxes, plane, n, surface_only):
    pu = coords[0][:n + 1].astype(F32).astype(np.float64)
    pv = coords[1][:n + 1].astype(F32).astype(np.float64)
    lo = boxes[:, 0::2].astype(np.float64) - 0.01
    hi = boxes[:, 1::2].astype(np.float64) + 0.01

    def layer(k):
        cover = np.zeros((n + 1, n + 1), bool)
        if not 0 <= k < len(coords[2]):
            return cover
        pn = np.float64(F32(coords[2][k]))
        for b in np.flatnonzero((lo[2] <= pn) & (pn <= hi[2])):
            um = (lo[0, b] <= pu) & (pu <= hi[0, b])
            vm = (lo[1, b] <= pv) & (pv <= hi[1, b])
            cover[np.ix_(um, vm)] = True
        return cover

    good = layer(plane)
    if surface_only:
        good &= ~(layer(plane + 1) & layer(plane - 1))
    return (good[:-1, :-1] & good[:-1, 1:] & good[1:, :-1] & good[1:, 1:]).astype(np.uint8)


def bench_inzidenz(n=1000, boxes_count=100):
    rng = np.random.default_rng(2)
    coords = [np.arange(n + 1) * 0.1, np.arange(n + 1) * 0.1, np.arange(8) * 0.1]
    lo = rng.uniform(-5, 95, (3, boxes_count))
    size = rng.uniform(2, 30, (3, boxes_count))
    lo[2], size[2] = rng.uniform(-0.1, 0.5, boxes_count), rng.uniform(0, 0.4, boxes_count)
    boxes = np.empty((3, 2 * boxes_count), F32)
    boxes[:, 0::2], boxes[:, 1::2] = lo, lo + size
    incidence = np.empty((n, n), np.uint8)
    for surface_only in (0, 1):
        def run():
            fieldplot.inzidenz(2, 0, 1, 3, 0, n, 0, n, coords, boxes, incidence, surface_only)

        run()
        reference = numpy_incidence(coords, boxes, 3, n, surface_only)
        np.testing.assert_array_equal(incidence, reference)
        t_module = best_of(run)
        t_numpy = best_of(lambda: numpy_incidence(coords, boxes, 3, n, surface_only))
        print(f"inzidenz {n} x {n}, {boxes_count} boxes, surface_only={surface_only}: "
              f"{t_module * 1e3:6.1f} ms, {n * n / t_module / 1e6:6.1f} M faces/s "
              f"({reference.mean():.0%} incident)")
        print(f"  NumPy box masks:       {t_numpy * 1e3:6.1f} ms   ratio NumPy/inzidenz "
              f"{t_numpy / t_module:5.1f}x")

        def run_on(out):
            fieldplot.inzidenz(2, 0, 1, 3, 0, n, 0, n, coords, boxes, out, surface_only)
        outputs = alternate((np.ones((n, n), np.uint8),), (np.ones((n, n), np.uint8),))
        serial, together = two_threads(run_on, outputs, repeat=9)
        report_threads(f"inzidenz surface_only={surface_only}", serial, together)


if __name__ == "__main__":
    bench_glarr()
    bench_inzidenz()
