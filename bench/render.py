"""blockdraw on a 200 x 200 x 100 voxel model.

1. Into the headless llvmpipe context: quads per second, drawing included.
2. With GL entry points that only count (tests/glrecord.c preloaded in a
   child process): the module's own face finding.
Both beside a vectorised NumPy count of the same boundary faces, timed in
the same process, with the ratio. blockdraw draws without the interpreter
lock: in the child, two calls from two threads at once (each with a table of
its own) against the same two one after the other.

    .venv/bin/python bench/render.py
"""
import ctypes
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

N0, N1, N2 = 200, 200, 100
REPEAT = 7


def model():
    """Material per cell [N2][N1][N0]: a substrate slab, a ground layer, two
    traces, a via and a sphere in air (material 0, hidden)."""
    z, y, x = np.mgrid[0:N2, 0:N1, 0:N0]
    vox = np.zeros((N2, N1, N0), np.uint8)
    vox[(z >= 10) & (z < 30)] = 1                                    # substrate
    vox[(z >= 8) & (z < 10)] = 2                                     # ground
    vox[(z >= 30) & (z < 33) & (np.abs(y - 60) < 6) & (x >= 20) & (x < 180)] = 3
    vox[(z >= 30) & (z < 33) & (np.abs(x - 140) < 6) & (y >= 60) & (y < 170)] = 3
    vox[((x - 140) ** 2 + (y - 60) ** 2 < 25) & (z >= 8) & (z < 33)] = 4  # via
    vox[(x - 80) ** 2 + (y - 130) ** 2 + (z - 65) ** 2 < 22 ** 2] = 5    # sphere
    table = np.zeros((8, 32), np.float32)
    table[0, 0] = -1.0  # air: defaulted to 1234 on first sight, hidden by threshold0
    for r, rgb in enumerate([(0.2, 0.6, 0.3), (0.8, 0.5, 0.2), (0.9, 0.8, 0.2),
                             (0.7, 0.7, 0.7), (0.3, 0.4, 0.9)], start=1):
        table[r, 0], table[r, 4:7] = 2000.0, rgb
    return vox, table


ARGS = dict(threshold0=1500.0, threshold1=-1.0)


def call(vox, table):
    import blockdraw
    return blockdraw.blockdraw(None, ARGS["threshold0"], ARGS["threshold1"],
                               np.array([N0, N1, N2], np.int32), np.ones(3), vox, table, 1.0)


def numpy_faces(vox, table):
    """Faces between shown and not shown cells, the outside not shown."""
    shown = (table[:, 0] >= ARGS["threshold0"]) & (table[:, 1] >= ARGS["threshold1"])
    s = np.pad(shown[vox], 1)
    return (np.count_nonzero(s[1:] != s[:-1]) + np.count_nonzero(s[:, 1:] != s[:, :-1]) +
            np.count_nonzero(s[:, :, 1:] != s[:, :, :-1]))


def best(fn, *args):
    times = []
    for _ in range(REPEAT):
        t = time.perf_counter()
        result = fn(*args)
        times.append(time.perf_counter() - t)
    return min(times), result


def measure(label, draw):
    vox, table = model()
    call(vox, table)  # settles the defaults written into the table
    t_module, quads = best(draw, vox, table)
    t_numpy, faces = best(numpy_faces, vox, table)
    assert quads == faces, (quads, faces)
    print(f"{label:<34} {quads:>7} quads  {t_module * 1e3:8.2f} ms  "
          f"{quads / t_module / 1e6:7.2f} Mquads/s | NumPy count {t_numpy * 1e3:6.2f} ms | "
          f"ratio {t_module / t_numpy:5.2f}")


def headless():
    from fdtdhost.gl import Canvas
    from OpenGL import GL
    with Canvas(512, 512) as gl:
        gl.ortho(-20, 220, -20, 220, -500, 500)
        GL.glEnable(GL.GL_LIGHTING)
        GL.glEnable(GL.GL_LIGHT0)
        GL.glEnable(GL.GL_DEPTH_TEST)

        def draw(vox, table):
            gl.clear()
            quads = call(vox, table)
            GL.glFinish()
            return quads
        measure("blockdraw into llvmpipe", draw)


def counting():
    count = ctypes.CDLL(None).glrecord_count
    count.restype = ctypes.c_long
    before = [count(kind) for kind in range(6)]
    measure("blockdraw, GL calls that only count", call)
    made = [count(kind) - b for kind, b in enumerate(before)]
    names = ["glBegin", "glEnd", "glMaterialfv", "glNormal3fv", "glVertex3fv"]
    print("  calls per run:", ", ".join(f"{n} {c // (REPEAT + 1)}" for n, c in zip(names, made)))
    from timing import alternate, report_threads, two_threads
    vox, table = model()
    call(vox, table)
    tables = alternate((vox, table), (vox, table.copy()))
    report_threads("blockdraw, GL calls that only count", *two_threads(call, tables, REPEAT))


def main():
    if sys.argv[1:] == ["--counting"]:
        counting()
        return
    headless()
    import glrecord
    with tempfile.TemporaryDirectory() as tmp:
        library = glrecord.build(tmp)
        env = dict(os.environ, LD_PRELOAD=library)
        env.pop("GLRECORD_FILE", None)
        subprocess.run([sys.executable, os.path.abspath(__file__), "--counting"], env=env,
                       check=True)


if __name__ == "__main__":
    main()
