// stagedraw: the debugging view of one stage, every grid edge whose value lies
// in a range and which lies in a box, as one coloured line each, in OpenGL 1.1
// immediate mode into the caller's current context.
#include "frame.hpp"
#include "unlocked.hpp"
#include "view.hpp"

#include <GL/gl.h>

#include <cstring>

namespace {

// Edges stick out of the box by at most this much, in coordinate units.
constexpr double BOX_MARGIN = 1.0;

struct Stage {
    frame::Unaligned<const float, 4> values;  // (a, k, j, i): edge a leaving node (i, j, k)
    npy_intp n[3];                            // nodes along axes 0, 1, 2
    frame::UnalignedContiguous<const double> coord[3];  // node coordinates per axis
    double box[3][2];                                    // lower and upper bound per axis
    double lower;
    double upper;
};

inline double coordinate(const Stage& st, int axis, npy_intp index)
{
    return st.coord[axis].load(index);
}

// The coordinate at `index` along `axis` lies within the box widened by the margin.
inline bool node_in_box(const Stage& st, int axis, npy_intp index)
{
    const double c = coordinate(st, axis, index);
    return st.box[axis][0] <= c + BOX_MARGIN && st.box[axis][1] >= c - BOX_MARGIN;
}

npy_intp draw_stage(const Stage& st)
{
    npy_intp lines = 0;
    const double range = st.upper - st.lower;
    for (int a = 0; a < 3; ++a) {
        const int u = (a + 1) % 3, w = (a + 2) % 3;
        const npy_intp last = st.n[a] - 1;
        for (npy_intp j = 0; j < st.n[1]; ++j)
            for (npy_intp k = 0; k < st.n[2]; ++k)
                for (npy_intp i = 0; i < st.n[0]; ++i) {
                    const npy_intp node[3] = {i, j, k};
                    const npy_intp p = node[a];
                    if (!(p < last)) continue;
                    const double start = coordinate(st, a, p);
                    const double end = coordinate(st, a, p + 1);
                    if (!(st.box[a][0] <= start + BOX_MARGIN && st.box[a][1] >= end - BOX_MARGIN))
                        continue;
                    if (!node_in_box(st, u, node[u]) || !node_in_box(st, w, node[w])) continue;
                    const double v = st.values.load(a, k, j, i);
                    if (!(v <= st.upper) || !(v >= st.lower)) continue;

                    const double s = (v - st.lower) / range;
                    float colour[4] = {0.0f, 0.0f, 0.0f, 1.0f};
                    if (s < 0.5) {
                        colour[1] = static_cast<float>(2 * s);
                        colour[2] = static_cast<float>((0.5 - s) * 2);
                    } else {
                        colour[0] = static_cast<float>((s - 0.5) * 2);
                        colour[1] = static_cast<float>((1 - s) * 2);
                    }
                    double from[3] = {coordinate(st, 0, i), coordinate(st, 1, j),
                                      coordinate(st, 2, k)};
                    double to[3] = {from[0], from[1], from[2]};
                    to[a] = end;
                    glBegin(GL_LINES);
                    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE, colour);
                    glVertex3dv(from);
                    glVertex3dv(to);
                    glEnd();
                    ++lines;
                }
    }
    return lines;
}

PyObject* stagedraw(PyObject* args)
{
    PyObject *box_obj, *values_obj, *xs_obj, *ys_obj, *zs_obj;
    double lower, upper;
    const char* kind;
    if (!frame::parse(args, "OOOOOdds", &box_obj, &values_obj, &xs_obj, &ys_obj, &zs_obj, &lower,
                      &upper, &kind))
        return nullptr;
    if (!frame::require_arrays({values_obj, xs_obj, ys_obj, zs_obj, box_obj})) return nullptr;
    if (std::strcmp(kind, "vol") == 0 || std::strcmp(kind, "surf") == 0)
        return frame::fail("stagedraw: Only line/conc stages implemented");

    // The grid size comes from the stage values alone.
    const npy_intp* dims = frame::extents_of(values_obj, "stage_values", 4, frame::exact_rank);
    if (dims == nullptr) return nullptr;
    Stage st;
    st.n[0] = dims[3];
    st.n[1] = dims[2];
    st.n[2] = dims[1];
    if (!frame::view(st.values, values_obj, "stage_values", {3, st.n[2], st.n[1], st.n[0]},
                     frame::Access::read, frame::exact_rank))
        return nullptr;
    PyObject* const coords[3] = {xs_obj, ys_obj, zs_obj};
    static const char* const coord_names[3] = {"xs", "ys", "zs"};
    for (int d = 0; d < 3; ++d)
        if (!frame::view(st.coord[d], coords[d], coord_names[d], st.n[d])) return nullptr;
    frame::Unaligned<const double, 2> box;
    if (!frame::view(box, box_obj, "box", {3, 2}, frame::Access::read, frame::exact_rank))
        return nullptr;
    if (upper == lower) return frame::fail_arg("Empty value range", "upper");

    for (int d = 0; d < 3; ++d)
        for (int e = 0; e < 2; ++e) st.box[d][e] = box.load(d, e);
    st.lower = lower;
    st.upper = upper;
    // GL calls need only the context current on this thread, never the
    // interpreter, so the drawing runs without the lock.
    npy_intp lines;
    {
        frame::Unlocked unlocked(st.n[0] * st.n[1] * st.n[2]);
        lines = draw_stage(st);
    }
    return PyLong_FromSsize_t(lines);
}

PyDoc_STRVAR(module_doc,
"Draws the edges of one stage of the model for debugging, with OpenGL 1.1\n"
"immediate-mode calls into the context current on the calling thread.\n"
"Refusals raise Exception before any GL call.");

PyDoc_STRVAR(stagedraw_doc,
"stagedraw(box, stage_values, xs, ys, zs, lower, upper, stage_kind, /)\n"
"--\n"
"\n"
"Draws every grid edge whose value lies in [lower, upper] and which lies in\n"
"box (float64 [3][2], widened by 1) as a line coloured from blue to red.\n"
"\n"
"stage_values: float32 [3][NZ][NY][NX], element (a, k, j, i) for the edge\n"
"along axis a leaving node (i, j, k); xs, ys, zs: float64 node coordinates.\n"
"Returns the number of lines drawn. Raises Exception for stage kinds \"vol\"\n"
"and \"surf\", for arrays that do not fit the grid and for upper == lower.");

PyMethodDef moduleMethods[] = {
    {"stagedraw", frame::method<stagedraw>, METH_VARARGS, stagedraw_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "stagedraw", module_doc, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_stagedraw()
{
    return frame::create(&module_def, {frame::Variant::direct, "Error parsing args", "Array expected", true});
}
