/* Stands in for libGL's immediate-mode entry points when loaded ahead of it
 * (LD_PRELOAD), so a process's drawing calls can be checked or timed without a
 * context. Each call only counts itself in `glrecord_calls`, indexed like
 * `names` below; with GLRECORD_FILE set it also writes one line per call to
 * that file: the name, then the arguments, integers in hex and floats as
 * exact hex floats ("%a"). */
#include <stdio.h>
#include <stdlib.h>

typedef unsigned int GLenum;
typedef float GLfloat;
typedef double GLdouble;

enum { BEGIN, END, MATERIAL, NORMAL, VERTEX3F, VERTEX3D, CALL_KINDS };
long glrecord_calls[CALL_KINDS];

static FILE *out;
static int opened;

static FILE *sink(void)
{
    if (!opened) {
        const char *path = getenv("GLRECORD_FILE");
        opened = 1;
        if (path && *path) out = fopen(path, "w");
    }
    return out;
}

__attribute__((destructor)) static void close_sink(void)
{
    if (out) fclose(out);
}

void glBegin(GLenum mode)
{
    ++glrecord_calls[BEGIN];
    if (sink()) fprintf(out, "glBegin %#x\n", mode);
}

void glEnd(void)
{
    ++glrecord_calls[END];
    if (sink()) fputs("glEnd\n", out);
}

void glMaterialfv(GLenum face, GLenum name, const GLfloat *p)
{
    ++glrecord_calls[MATERIAL];
    if (sink())
        fprintf(out, "glMaterialfv %#x %#x %a %a %a %a\n", face, name, p[0], p[1], p[2], p[3]);
}

void glNormal3fv(const GLfloat *p)
{
    ++glrecord_calls[NORMAL];
    if (sink()) fprintf(out, "glNormal3fv %a %a %a\n", p[0], p[1], p[2]);
}

void glVertex3fv(const GLfloat *p)
{
    ++glrecord_calls[VERTEX3F];
    if (sink()) fprintf(out, "glVertex3fv %a %a %a\n", p[0], p[1], p[2]);
}

void glVertex3dv(const GLdouble *p)
{
    ++glrecord_calls[VERTEX3D];
    if (sink()) fprintf(out, "glVertex3dv %a %a %a\n", p[0], p[1], p[2]);
}
