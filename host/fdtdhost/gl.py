"""A headless OpenGL canvas: EGL on Mesa's surfaceless platform, read back as RGB.

The drawing modules draw into whatever context is current, so the canvas
makes one current for the calling thread, with a pbuffer of the picture's
size, a depth buffer and the fixed-function lighting of a compatibility profile.
"""
import ctypes
import os

os.environ.setdefault("PYOPENGL_PLATFORM", "egl")
os.environ.setdefault("EGL_PLATFORM", "surfaceless")

import numpy as np  # noqa: E402
from OpenGL import EGL, GL  # noqa: E402
from PIL import Image  # noqa: E402


class CanvasError(RuntimeError):
    """No headless OpenGL context could be made."""


class Canvas:
    """A current OpenGL context with a width x height RGB frame and depth buffer."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.full_size = (width, height)        # the pbuffer; width, height: the frame drawn
        try:
            self._make_current(width, height)
        except EGL.EGLError as err:
            raise CanvasError(f"EGL: {err.baseOperation.__name__} failed: {err.err!r}") from None

    def _make_current(self, width, height):
        display = EGL.eglGetDisplay(EGL.EGL_DEFAULT_DISPLAY)
        if not display or not EGL.eglInitialize(display, None, None):
            raise CanvasError("EGL: no display")
        attributes = (EGL.EGLint * 13)(
            EGL.EGL_SURFACE_TYPE, EGL.EGL_PBUFFER_BIT,
            EGL.EGL_RED_SIZE, 8, EGL.EGL_GREEN_SIZE, 8, EGL.EGL_BLUE_SIZE, 8,
            EGL.EGL_DEPTH_SIZE, 24, EGL.EGL_RENDERABLE_TYPE, EGL.EGL_OPENGL_BIT,
            EGL.EGL_NONE)
        config, found = EGL.EGLConfig(), EGL.EGLint()
        if not EGL.eglChooseConfig(display, attributes, ctypes.pointer(config), 1,
                                   ctypes.pointer(found)) or found.value < 1:
            raise CanvasError("EGL: no RGB configuration with a depth buffer")
        size = (EGL.EGLint * 5)(EGL.EGL_WIDTH, width, EGL.EGL_HEIGHT, height, EGL.EGL_NONE)
        surface = EGL.eglCreatePbufferSurface(display, config, size)
        if not surface:
            raise CanvasError("EGL: no pbuffer surface")
        EGL.eglBindAPI(EGL.EGL_OPENGL_API)
        context = EGL.eglCreateContext(display, config, EGL.EGL_NO_CONTEXT, None)
        if not context:
            raise CanvasError("EGL: no OpenGL context")
        if not EGL.eglMakeCurrent(display, surface, surface, context):
            raise CanvasError("EGL: cannot make the context current")
        self._display, self._surface, self._context = display, surface, context

    def close(self):
        EGL.eglMakeCurrent(self._display, EGL.EGL_NO_SURFACE, EGL.EGL_NO_SURFACE,
                           EGL.EGL_NO_CONTEXT)
        EGL.eglDestroyContext(self._display, self._context)
        EGL.eglDestroySurface(self._display, self._surface)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def clear(self, background=(0.0, 0.0, 0.0)):
        """Clears the frame to `background` (RGB) and its depth buffer."""
        GL.glViewport(0, 0, self.width, self.height)
        GL.glClearColor(*background, 1.0)
        GL.glClear(GL.GL_COLOR_BUFFER_BIT | GL.GL_DEPTH_BUFFER_BIT)

    def ortho(self, left, right, bottom, top, near=-100.0, far=100.0):
        """An orthographic view along -z with an identity model-view."""
        GL.glMatrixMode(GL.GL_PROJECTION)
        GL.glLoadIdentity()
        GL.glOrtho(left, right, bottom, top, near, far)
        GL.glMatrixMode(GL.GL_MODELVIEW)
        GL.glLoadIdentity()

    def begin(self, lo, hi, tilt=55.0, turn=-35.0, background=(1.0, 1.0, 1.0)):
        """Clears the frame and sets an oblique orthographic view of the box lo..hi."""
        self.clear(background)
        GL.glEnable(GL.GL_DEPTH_TEST)
        view = _rotation(tilt, turn)
        lo, hi = np.asarray(lo, float), np.asarray(hi, float)
        centre = 0.5 * (lo + hi)
        corners = np.array([[x, y, z] for x in (lo[0], hi[0]) for y in (lo[1], hi[1])
                            for z in (lo[2], hi[2])]) - centre
        seen = corners @ view[:3, :3].T
        half = np.abs(seen).max(axis=0) * 1.08 + 1e-9
        aspect = self.width / self.height
        half_y = max(half[1], half[0] / aspect)
        GL.glMatrixMode(GL.GL_PROJECTION)
        GL.glLoadIdentity()
        GL.glOrtho(-half_y * aspect, half_y * aspect, -half_y, half_y,
                   -2 * half[2] - 1, 2 * half[2] + 1)
        GL.glMatrixMode(GL.GL_MODELVIEW)
        move = np.eye(4)
        move[:3, 3] = -centre
        GL.glLoadMatrixd((view @ move).T.astype(np.float64))

    def light(self, ambient=0.35, diffuse=0.75, colour_arrays=False):
        """One white light from the viewer's upper left, lit on both sides."""
        GL.glEnable(GL.GL_LIGHTING)
        GL.glEnable(GL.GL_LIGHT0)
        GL.glEnable(GL.GL_NORMALIZE)
        GL.glLightModeli(GL.GL_LIGHT_MODEL_TWO_SIDE, GL.GL_TRUE)
        GL.glLightModelfv(GL.GL_LIGHT_MODEL_AMBIENT, (ambient, ambient, ambient, 1.0))
        GL.glPushMatrix()
        GL.glLoadIdentity()                      # a light fixed to the viewer
        GL.glLightfv(GL.GL_LIGHT0, GL.GL_POSITION, (-0.4, 0.5, 1.0, 0.0))
        GL.glPopMatrix()
        GL.glLightfv(GL.GL_LIGHT0, GL.GL_DIFFUSE, (diffuse, diffuse, diffuse, 1.0))
        GL.glLightfv(GL.GL_LIGHT0, GL.GL_AMBIENT, (0.0, 0.0, 0.0, 1.0))
        if colour_arrays:
            GL.glColorMaterial(GL.GL_FRONT_AND_BACK, GL.GL_AMBIENT_AND_DIFFUSE)
            GL.glEnable(GL.GL_COLOR_MATERIAL)
        else:
            GL.glDisable(GL.GL_COLOR_MATERIAL)

    def flat(self):
        """Lighting that shows material colours as they are (for lines)."""
        GL.glEnable(GL.GL_LIGHTING)
        GL.glDisable(GL.GL_LIGHT0)
        GL.glDisable(GL.GL_COLOR_MATERIAL)
        GL.glLightModelfv(GL.GL_LIGHT_MODEL_AMBIENT, (1.0, 1.0, 1.0, 1.0))

    def read(self):
        """The frame as an RGB uint8 array [row][column], top row first."""
        GL.glFinish()
        GL.glPixelStorei(GL.GL_PACK_ALIGNMENT, 1)
        data = GL.glReadPixels(0, 0, self.width, self.height, GL.GL_RGB, GL.GL_UNSIGNED_BYTE)
        image = np.frombuffer(data, dtype=np.uint8).reshape(self.height, self.width, 3)
        return image[::-1].copy()

    def save(self, path):
        Image.fromarray(self.read(), "RGB").save(path)


def _rotation(tilt, turn):
    """View matrix: turn the model about z, then tip it back by `tilt` (degrees)."""
    t, u = np.radians(tilt), np.radians(turn)
    rz = np.array([[np.cos(u), -np.sin(u), 0], [np.sin(u), np.cos(u), 0], [0, 0, 1]])
    rx = np.array([[1, 0, 0], [0, np.cos(t), np.sin(t)], [0, -np.sin(t), np.cos(t)]])
    m = np.eye(4)
    m[:3, :3] = rx @ rz
    return m
