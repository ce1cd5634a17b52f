"""Draws a small voxel model with blockdraw into the headless context, lit,
from an oblique view, and saves it as docs/model.png.

    .venv/bin/python docs/model.py [output.png]
"""
import os
import sys

import numpy as np
from PIL import Image

import blockdraw
from fdtdhost.gl import Canvas
from OpenGL import GL

HERE = os.path.dirname(os.path.abspath(__file__))

WIDTH, HEIGHT, SUPERSAMPLE = 640, 440, 2


def model():
    """[N2][N1][N0] = 10 x 20 x 28 cells of 1 x 1 x 0.5: a substrate with a
    ground layer, a bent trace with a via, a block of marked material and a
    dome, in air."""
    n0, n1, n2 = 28, 20, 10
    z, y, x = np.mgrid[0:n2, 0:n1, 0:n0]
    vox = np.zeros((n2, n1, n0), np.uint8)
    vox[z < 1] = 2                                                     # ground
    vox[(z >= 1) & (z < 4)] = 1                                        # substrate
    trace = (z == 4) & (((np.abs(y - 5) <= 1) & (x >= 2) & (x <= 18)) |
                        ((np.abs(x - 18) <= 1) & (y >= 5) & (y <= 16)))
    vox[trace] = 3
    vox[(np.abs(x - 18) <= 1) & (np.abs(y - 16) <= 1) & (z < 5)] = 4   # via
    vox[(x >= 4) & (x < 10) & (y >= 10) & (y < 16) & (z >= 4) & (z < 7)] = 5  # marked block
    vox[((x - 24) ** 2 + (y - 7) ** 2 + (z - 4) ** 2 < 12) & (z >= 4)] = 6  # dome
    table = np.zeros((8, 32), np.float32)
    table[0, 0] = 0.5  # air: hidden
    colours = {1: (0.25, 0.6, 0.35), 2: (0.55, 0.55, 0.6), 3: (0.85, 0.5, 0.2),
               4: (0.95, 0.85, 0.25), 5: (0.2, 0.2, 0.9), 6: (0.3, 0.45, 0.95)}
    for r, rgb in colours.items():
        table[r, 0], table[r, 4:7] = 5.0, rgb
    table[5, 0] = 1.0  # drawn in the marked grey 0.6
    return (n0, n1, n2), (1.0, 1.0, 0.5), vox, table


def render(path):
    counts, spacing, vox, table = model()
    w, h = WIDTH * SUPERSAMPLE, HEIGHT * SUPERSAMPLE
    with Canvas(w, h) as gl:
        gl.clear((1.0, 1.0, 1.0))
        GL.glMatrixMode(GL.GL_PROJECTION)
        GL.glLoadIdentity()
        aspect = w / h
        GL.glFrustum(-0.5 * aspect, 0.5 * aspect, -0.5, 0.5, 1.5, 200.0)
        GL.glMatrixMode(GL.GL_MODELVIEW)
        GL.glLoadIdentity()
        GL.glEnable(GL.GL_LIGHTING)
        GL.glEnable(GL.GL_LIGHT0)
        GL.glEnable(GL.GL_DEPTH_TEST)
        GL.glLightModelfv(GL.GL_LIGHT_MODEL_AMBIENT, (0.35, 0.35, 0.35, 1.0))
        GL.glLightfv(GL.GL_LIGHT0, GL.GL_POSITION, (-0.4, 0.5, 1.0, 0.0))
        GL.glLightfv(GL.GL_LIGHT0, GL.GL_DIFFUSE, (0.75, 0.75, 0.75, 1.0))
        # Oblique view: from the front left, above the board, z up.
        GL.glTranslated(0.0, 1.5, -44.0)
        GL.glRotated(-58.0, 1.0, 0.0, 0.0)
        GL.glRotated(-32.0, 0.0, 0.0, 1.0)
        GL.glTranslated(-counts[0] * spacing[0] / 2, -counts[1] * spacing[1] / 2, 0.0)
        quads = blockdraw.blockdraw(None, 1.0, -1.0, np.array(counts, np.int32),
                                    np.array(spacing), vox, table, 1.0)
        image = Image.fromarray(gl.read())
    image.resize((WIDTH, HEIGHT), Image.LANCZOS).save(path)
    return quads


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "model.png")
    print(out, render(out), "quads")
