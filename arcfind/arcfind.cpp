// Decides whether a chain of 2-D points lies on one circular arc: the circle
// through every three consecutive points must agree with the previous one
// within a tolerance. The result is the mean centre and radius.
#include "frame.hpp"
#include "unlocked.hpp"
#include "view.hpp"

#include <cmath>

namespace {

// One chord of the chain: its unit direction and the constant of its
// perpendicular bisector, direction . (X, Y) = bisector.
struct Chord {
    double ux, uy;
    double bisector;
    bool degenerate;
};

Chord chord(double x1, double y1, double x2, double y2)
{
    const double mx = (x1 + x2) * 0.5, my = (y1 + y2) * 0.5;
    double ux = x2 - x1, uy = y2 - y1;
    const double length = std::sqrt(ux * ux + uy * uy);
    if (length == 0.0) return {0.0, 0.0, 0.0, true};
    ux = ux / length;
    uy = uy / length;
    return {ux, uy, ux * mx + uy * my, false};
}

struct Arc {
    double x, y, r;
};

// False as soon as a triple's circle strays more than `tol` from the last
// accepted one; otherwise `mean` holds the mean over the accepted triples
// (0/0 when there were none).
bool arc_kernel(const double* points, npy_intp count, double tol, Arc& mean)
{
    double prev_x = 0.0, prev_y = 0.0, prev_r = -1.0;
    double sum_x = 0.0, sum_y = 0.0, sum_r = 0.0;
    npy_intp accepted = 0;
    // The second chord of one triple is the first chord of the next: the
    // midpoint sum commutes exactly, so each chord is computed once.
    Chord u = count >= 2 ? chord(points[0], points[1], points[2], points[3]) : Chord{};
    for (npy_intp i = 0; i + 2 < count; ++i) {
        const double* p = points + 2 * i;
        const Chord v = chord(p[2], p[3], p[4], p[5]);
        if (!u.degenerate && !v.degenerate) {
            const double det = u.ux * v.uy - v.ux * u.uy;
            const double cx = (u.bisector * v.uy - u.uy * v.bisector) / det;
            const double cy = (u.ux * v.bisector - v.ux * u.bisector) / det;
            const double dx = cx - p[2], dy = cy - p[3];
            const double r = std::sqrt(dx * dx + dy * dy);
            if (prev_r != -1.0) {
                if (std::fabs(cx - prev_x) > tol || std::fabs(cy - prev_y) > tol ||
                    std::fabs(r - prev_r) > tol)
                    return false;
            }
            prev_x = cx;
            prev_y = cy;
            prev_r = r;
            sum_x += cx;
            sum_y += cy;
            sum_r += r;
            ++accepted;
        }
        u = v;
    }
    mean = {sum_x / accepted, sum_y / accepted, sum_r / accepted};
    return true;
}

PyObject* arcfind(PyObject* args)
{
    PyObject* points_obj;
    double tol;
    if (!frame::parse(args, "Od", &points_obj, &tol)) return nullptr;
    if (!frame::require_arrays({points_obj})) return nullptr;

    // The point count comes from the first extent alone; an odd last entry
    // is ignored. Fewer than 3 points are not read.
    const npy_intp* entries = frame::extents_of(points_obj, "points", 1);
    if (entries == nullptr) return nullptr;
    const npy_intp count = entries[0] / 2 >= 3 ? entries[0] / 2 : 0;
    frame::Contiguous<const double> points;
    if (!frame::view(points, points_obj, "points", 2 * count)) return nullptr;

    Arc mean;
    bool on_arc;
    {
        frame::Unlocked unlocked(count);
        on_arc = arc_kernel(points.data, count, tol, mean);
    }
    if (!on_arc) return frame::none();
    return Py_BuildValue("(ddd)", mean.x, mean.y, mean.r);
}

PyDoc_STRVAR(module_doc,
"Recognises a chain of 2-D points as one circular arc. Refusals raise the\n"
"module's error (Exception, or the StandardError bound in __main__ at\n"
"import).");

PyDoc_STRVAR(arcfind_doc,
"arcfind(points, tol, /)\n"
"--\n"
"\n"
"Whether the chain of points (float64, C-contiguous, x and y interleaved)\n"
"lies on one arc: the circle through every three consecutive points may move\n"
"its centre and radius by at most tol from the previous one.\n"
"\n"
"Returns (x, y, r), the mean centre and radius, or None. Raises the module's\n"
"error for points of another element size, not contiguous, misaligned or\n"
"0-dimensional.");

PyMethodDef moduleMethods[] = {
    {"arcfind", frame::method<arcfind>, METH_VARARGS, arcfind_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "arcfind", module_doc, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_arcfind()
{
    return frame::create(&module_def, {frame::Variant::lookup, "Error Parsing Args", "Array Expected", false});
}
