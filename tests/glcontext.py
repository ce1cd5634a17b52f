"""A headless OpenGL context for drawing tests, benchmarks and pictures.

Mesa's surfaceless EGL platform with llvmpipe gives a desktop GL context with
immediate mode (4.5 compatibility profile) and no window: the context is made
current without a surface and draws into a framebuffer object of its own.
`blockdraw` and `stagedraw` reach it through libGL's dispatch like any context
the host makes current.

    with HeadlessGL(64, 64) as gl:
        gl.ortho(0, 2, 0, 2)
        ... draw ...
        pixels = gl.read_rgb()    # uint8 [height][width][3], row 0 at the top
"""
import ctypes
import os

os.environ.setdefault("EGL_PLATFORM", "surfaceless")
os.environ.setdefault("PYOPENGL_PLATFORM", "egl")

import numpy as np  # noqa: E402
from OpenGL import EGL, GL  # noqa: E402

# Not every PyOpenGL release names these EGL 1.5 / KHR_create_context values.
_CONTEXT_MAJOR_VERSION = 0x3098
_CONTEXT_MINOR_VERSION = 0x30FB
_CONTEXT_OPENGL_PROFILE_MASK = 0x30FD
_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT = 0x2


class HeadlessGL:
    """An EGL context on the surfaceless platform, current on the calling
    thread, drawing into a `width` x `height` RGBA8 framebuffer with depth."""

    def __init__(self, width=64, height=64):
        self.width, self.height = width, height
        self.display = EGL.eglGetDisplay(EGL.EGL_DEFAULT_DISPLAY)
        major, minor = EGL.EGLint(), EGL.EGLint()
        if not EGL.eglInitialize(self.display, ctypes.pointer(major), ctypes.pointer(minor)):
            raise RuntimeError("eglInitialize failed")
        config = EGL.EGLConfig()
        found = EGL.EGLint()
        attribs = (EGL.EGLint * 5)(EGL.EGL_RENDERABLE_TYPE, EGL.EGL_OPENGL_BIT,
                                   EGL.EGL_SURFACE_TYPE, 0, EGL.EGL_NONE)
        if not EGL.eglChooseConfig(self.display, attribs, ctypes.pointer(config), 1,
                                   ctypes.pointer(found)) or found.value < 1:
            raise RuntimeError("no EGL config for desktop OpenGL")
        EGL.eglBindAPI(EGL.EGL_OPENGL_API)
        ctx_attribs = (EGL.EGLint * 7)(
            _CONTEXT_MAJOR_VERSION, 4, _CONTEXT_MINOR_VERSION, 5,
            _CONTEXT_OPENGL_PROFILE_MASK, _CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT,
            EGL.EGL_NONE)
        self.context = EGL.eglCreateContext(self.display, config, EGL.EGL_NO_CONTEXT, ctx_attribs)
        if not self.context:
            raise RuntimeError("eglCreateContext failed")
        if not EGL.eglMakeCurrent(self.display, EGL.EGL_NO_SURFACE, EGL.EGL_NO_SURFACE,
                                  self.context):
            raise RuntimeError("eglMakeCurrent without a surface failed")
        self.framebuffer = GL.glGenFramebuffers(1)
        GL.glBindFramebuffer(GL.GL_FRAMEBUFFER, self.framebuffer)
        self.colour, self.depth = GL.glGenRenderbuffers(2)
        for buffer, fmt, attachment in ((self.colour, GL.GL_RGBA8, GL.GL_COLOR_ATTACHMENT0),
                                        (self.depth, GL.GL_DEPTH_COMPONENT24,
                                         GL.GL_DEPTH_ATTACHMENT)):
            GL.glBindRenderbuffer(GL.GL_RENDERBUFFER, buffer)
            GL.glRenderbufferStorage(GL.GL_RENDERBUFFER, fmt, width, height)
            GL.glFramebufferRenderbuffer(GL.GL_FRAMEBUFFER, attachment, GL.GL_RENDERBUFFER,
                                         buffer)
        if GL.glCheckFramebufferStatus(GL.GL_FRAMEBUFFER) != GL.GL_FRAMEBUFFER_COMPLETE:
            raise RuntimeError("framebuffer incomplete")
        GL.glViewport(0, 0, width, height)

    @property
    def version(self):
        return GL.glGetString(GL.GL_VERSION).decode()

    def clear(self, rgb=(0.0, 0.0, 0.0)):
        GL.glClearColor(*rgb, 1.0)
        GL.glClear(GL.GL_COLOR_BUFFER_BIT | GL.GL_DEPTH_BUFFER_BIT)

    def ortho(self, left, right, bottom, top, near=-100.0, far=100.0):
        """Orthographic view along -z with identity model-view."""
        GL.glMatrixMode(GL.GL_PROJECTION)
        GL.glLoadIdentity()
        GL.glOrtho(left, right, bottom, top, near, far)
        GL.glMatrixMode(GL.GL_MODELVIEW)
        GL.glLoadIdentity()

    def flat_light(self):
        """Lighting whose result is the material colour itself: no light
        source, a white global ambient, so every lit pixel shows the
        ambient-and-diffuse colour exactly."""
        GL.glEnable(GL.GL_LIGHTING)
        GL.glDisable(GL.GL_LIGHT0)
        GL.glLightModelfv(GL.GL_LIGHT_MODEL_AMBIENT, (1.0, 1.0, 1.0, 1.0))
        GL.glLightModeli(GL.GL_LIGHT_MODEL_TWO_SIDE, GL.GL_TRUE)
        GL.glDisable(GL.GL_DEPTH_TEST)

    def read_rgb(self):
        GL.glFinish()
        data = GL.glReadPixels(0, 0, self.width, self.height, GL.GL_RGB, GL.GL_UNSIGNED_BYTE)
        image = np.frombuffer(data, np.uint8).reshape(self.height, self.width, 3)
        return image[::-1].copy()

    def close(self):
        GL.glDeleteRenderbuffers(2, [self.colour, self.depth])
        GL.glDeleteFramebuffers(1, [self.framebuffer])
        EGL.eglMakeCurrent(self.display, EGL.EGL_NO_SURFACE, EGL.EGL_NO_SURFACE,
                           EGL.EGL_NO_CONTEXT)
        EGL.eglDestroyContext(self.display, self.context)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
