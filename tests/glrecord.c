/* Stands in for libGL's immediate-mode entry points when loaded ahead of it
 * (LD_PRELOAD), so a process's drawing calls can be checked or timed without a
 * context. Each call counts itself for the calling thread
 * (`glrecord_count(kind)`, kinds as in the enum below). With GLRECORD_DIGEST
 * set it also folds its kind and argument bits into a digest of that thread
 * (`glrecord_digest`), so threads that draw at once can each check their own
 * sequence; with GLRECORD_FILE set it writes one line per call to that file:
 * the name, then the arguments, integers in hex and floats as exact hex
 * floats ("%a"). */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef unsigned int GLenum;
typedef float GLfloat;
typedef double GLdouble;

enum { BEGIN, END, MATERIAL, NORMAL, VERTEX3F, VERTEX3D, CALL_KINDS };
static __thread long calls[CALL_KINDS];

long glrecord_count(int kind) { return kind >= 0 && kind < CALL_KINDS ? calls[kind] : -1; }

static FILE *out;
static int digesting;
static pthread_once_t opened = PTHREAD_ONCE_INIT;

static void open_sink(void)
{
    const char *path = getenv("GLRECORD_FILE");
    if (path && *path) out = fopen(path, "w");
    const char *digest = getenv("GLRECORD_DIGEST");
    digesting = digest && *digest;
}

static FILE *sink(void)
{
    pthread_once(&opened, open_sink);
    return out;
}

__attribute__((destructor)) static void close_sink(void)
{
    if (out) fclose(out);
}

/* FNV-1a, a 32-bit word at a time, over the calls of this thread since its
 * last reset. */
static __thread unsigned long long digest = 14695981039346656037ull;

unsigned long long glrecord_digest(void) { return digest; }

void glrecord_reset(void) { digest = 14695981039346656037ull; }

static void fold(int kind, const void *args, size_t words)
{
    if (!digesting) return;
    digest = (digest ^ (unsigned)kind) * 1099511628211ull;
    for (size_t i = 0; i < words; ++i) {
        unsigned word;
        memcpy(&word, (const char *)args + 4 * i, 4);
        digest = (digest ^ word) * 1099511628211ull;
    }
}

static void count(int kind, const void *args, size_t words)
{
    ++calls[kind];
    sink();
    fold(kind, args, words);
}

void glBegin(GLenum mode)
{
    count(BEGIN, &mode, 1);
    if (sink()) fprintf(out, "glBegin %#x\n", mode);
}

void glEnd(void)
{
    count(END, NULL, 0);
    if (sink()) fputs("glEnd\n", out);
}

void glMaterialfv(GLenum face, GLenum name, const GLfloat *p)
{
    GLenum head[2] = {face, name};
    count(MATERIAL, head, 2);
    fold(MATERIAL, p, 4);
    if (sink())
        fprintf(out, "glMaterialfv %#x %#x %a %a %a %a\n", face, name, p[0], p[1], p[2], p[3]);
}

void glNormal3fv(const GLfloat *p)
{
    count(NORMAL, p, 3);
    if (sink()) fprintf(out, "glNormal3fv %a %a %a\n", p[0], p[1], p[2]);
}

void glVertex3fv(const GLfloat *p)
{
    count(VERTEX3F, p, 3);
    if (sink()) fprintf(out, "glVertex3fv %a %a %a\n", p[0], p[1], p[2]);
}

void glVertex3dv(const GLdouble *p)
{
    count(VERTEX3D, p, 6);
    if (sink()) fprintf(out, "glVertex3dv %a %a %a\n", p[0], p[1], p[2]);
}
