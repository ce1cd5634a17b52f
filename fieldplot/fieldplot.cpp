// Module fieldplot: the wrappers parse and test the arguments, take a view of
// every array the window reaches, and hand the job to the kernels.
#include "frame.hpp"
#include "hold.hpp"
#include "incidence.hpp"
#include "plane.hpp"
#include "unlocked.hpp"
#include "view.hpp"

#include <algorithm>
#include <initializer_list>

namespace {

using fieldplot::Index;

const char* const coord_names[3] = {"coords[0]", "coords[1]", "coords[2]"};

bool axes_permute(int normal_axis, int u_axis, int v_axis)
{
    auto valid = [](int a) { return a >= 0 && a <= 2; };
    return valid(normal_axis) && valid(u_axis) && valid(v_axis) && normal_axis != u_axis &&
           normal_axis != v_axis && u_axis != v_axis;
}

// What both methods take after their array tests: items 0, 1 and 2 of
// `coords`, tested as arrays in that order, then the axes.
enum class Plane {
    go,
    none,    // an item is not an array: the method returns None, writing nothing
    failed,  // the error is set
};

Plane take_plane(PyObject* coords, int normal_axis, int u_axis, int v_axis,
                 frame::Ref (&items)[3])
{
    for (int a = 0; a < 3; ++a) {
        items[a].reset(PySequence_GetItem(coords, a));
        if (!items[a]) {
            PyErr_Clear();
            frame::fail("Sequence expected");
            return Plane::failed;
        }
        if (!frame::is_array(items[a].get())) return Plane::none;
    }
    if (!axes_permute(normal_axis, u_axis, v_axis)) {
        frame::fail("Axes not a permutation");
        return Plane::failed;
    }
    return Plane::go;
}

// Whether no array of `written` shares memory with another one or with an
// array of `read`.
bool written_apart(std::initializer_list<PyObject*> written, std::initializer_list<PyObject*> read)
{
    for (auto w = written.begin(); w != written.end(); ++w) {
        for (auto o = w + 1; o != written.end(); ++o)
            if (frame::may_share_memory(frame::array(*w), frame::array(*o))) return false;
        for (PyObject* o : read)
            if (frame::may_share_memory(frame::array(*w), frame::array(o))) return false;
    }
    return true;
}

PyObject* inzidenz(PyObject* args)
{
    fieldplot::IncidenceJob job{};
    int plane, u_begin, u_end, v_begin, v_end, surface_only;
    PyObject *coords, *boxes_obj, *incidence_obj;
    if (!frame::parse(args, "iiiiiiiiOOOi", &job.normal_axis, &job.u_axis, &job.v_axis, &plane,
                      &u_begin, &u_end, &v_begin, &v_end, &coords, &boxes_obj, &incidence_obj,
                      &surface_only))
        return nullptr;
    if (!PySequence_Check(coords)) return frame::fail("Sequence expected");
    if (!frame::require_arrays({boxes_obj, incidence_obj})) return nullptr;
    frame::Ref items[3];
    switch (take_plane(coords, job.normal_axis, job.u_axis, job.v_axis, items)) {
    case Plane::failed: return nullptr;
    case Plane::none: return frame::none();
    case Plane::go: break;
    }
    job.plane = plane;
    job.u_begin = u_begin;
    job.u_end = u_end;
    job.v_begin = v_begin;
    job.v_end = v_end;
    job.surface_only = surface_only != 0;

    // Nodes outside a coordinate array are simply not covered, so each array
    // is read only up to its own length.
    for (int a = 0; a < 3; ++a) {
        const Index* length = frame::extents_of(items[a].get(), coord_names[a], 1);
        if (length == nullptr) return nullptr;
        job.coord_length[a] = length[0];
        if (!frame::view(job.coords[a], items[a].get(), coord_names[a], {length[0]}))
            return nullptr;
    }

    // An odd last column has no partner and is ignored.
    const Index* columns = frame::extents_of(boxes_obj, "boxes", 2);
    if (columns == nullptr) return nullptr;
    job.box_count = columns[1] / 2;
    if (!frame::view(job.boxes, boxes_obj, "boxes", {3, 2 * job.box_count})) return nullptr;

    if (u_begin < u_end && v_begin < v_end) {
        if (u_begin < 0) return frame::fail_arg("Negative index", "u_begin");
        if (v_begin < 0) return frame::fail_arg("Negative index", "v_begin");
        if (!frame::view(job.incidence, incidence_obj, "incidence", {u_end, v_end},
                         frame::Access::write))
            return nullptr;
    }

    bool marked;
    {
        const Index faces = std::max<Index>(Index(u_end) - u_begin, 0) *
                            std::max<Index>(Index(v_end) - v_begin, 0);
        frame::Unlocked unlocked(faces + job.box_count);
        marked = fieldplot::mark_incidence(job);
    }
    if (!marked) return PyErr_NoMemory();
    return frame::none();
}

PyObject* glarr(PyObject* args)
{
    fieldplot::PlaneJob job{};
    int plane, u_first, u_last, v_first, v_last, arrows;
    PyObject *coords, *cell_mask_obj, *colour_obj, *height_obj, *normals_obj, *positions_obj,
        *colours_obj, *counts_obj, *nodes_obj, *vectors_obj;
    if (!frame::parse(args, "iiiiiiiiOOOOOOOOdOidiOd", &job.normal_axis, &job.u_axis, &job.v_axis,
                      &plane, &u_first, &u_last, &v_first, &v_last, &coords, &cell_mask_obj,
                      &colour_obj, &height_obj, &normals_obj, &positions_obj, &colours_obj,
                      &counts_obj, &job.height_scale, &nodes_obj, &job.contour_levels, &job.alpha,
                      &arrows, &vectors_obj, &job.arrow_scale))
        return nullptr;
    if (!PySequence_Check(coords)) return frame::fail("Sequence expected");
    if (!frame::require_arrays({cell_mask_obj, colour_obj, height_obj, normals_obj, positions_obj,
                                colours_obj, counts_obj, nodes_obj}))
        return nullptr;
    if (arrows != 0 && !frame::require_arrays({vectors_obj})) return nullptr;
    frame::Ref items[3];
    switch (take_plane(coords, job.normal_axis, job.u_axis, job.v_axis, items)) {
    case Plane::failed: return nullptr;
    case Plane::none: return frame::none();
    case Plane::go: break;
    }
    if (job.contour_levels < 0) return frame::fail_arg("Negative value", "contour_levels");

    job.geometry = arrows != 0                 ? fieldplot::Geometry::arrows
                   : job.contour_levels != 0 ? fieldplot::Geometry::contour
                                             : fieldplot::Geometry::surface;
    const bool surface = job.geometry == fieldplot::Geometry::surface;
    const bool contour = job.geometry == fieldplot::Geometry::contour;
    job.plane = plane;
    job.u_first = u_first;
    job.u_last = u_last;
    job.v_first = v_first;
    job.v_last = v_last;

    // Window extents in nodes and in rows of cells; indices are absolute in
    // nodes and cell_mask, relative to the window in the value arrays.
    const Index nu = Index(u_last) - u_first + 1, nv = Index(v_last) - v_first + 1;
    const bool any_node = nu > 0 && nv > 0;
    const bool any_row = any_node && nv > 1;
    const bool any_cell = any_row && nu > 1;
    if (any_node) {
        if (u_first < 0) return frame::fail_arg("Negative index", "u_first");
        if (v_first < 0) return frame::fail_arg("Negative index", "v_first");
        if (plane < 0) return frame::fail_arg("Negative index", "plane");
    }

    // Coordinate entries read along each axis.
    Index reach[3];
    reach[job.normal_axis] = plane + Index(1);
    reach[job.u_axis] = u_last + Index(1);
    reach[job.v_axis] = v_last + Index(1);
    for (int a = 0; a < 3; ++a)
        if (any_node && !frame::view(job.coords[a], items[a].get(), coord_names[a], {reach[a]}))
            return nullptr;

    // Surface strips and arrows read column u_last too, contours only cells.
    const Index mask_u = contour ? (any_cell ? Index(u_last) : 0) : (any_row ? u_last + Index(1) : 0);
    if (!frame::view(job.cell_mask, cell_mask_obj, "cell_mask",
                     {mask_u, any_row ? Index(v_last) : 0}))
        return nullptr;
    if (any_node && !frame::view(job.colour_values, colour_obj, "colour_values", {nu, nv}))
        return nullptr;
    const bool heights_read = any_node && (job.height_scale != 0 || (contour && any_cell));
    if (heights_read && !frame::view(job.height_values, height_obj, "height_values", {nu, nv}))
        return nullptr;

    const Index* capacity = frame::extents_of(positions_obj, "out_positions", 1);
    if (capacity == nullptr) return nullptr;
    job.capacity = capacity[0];
    // Rows a vertex may be written to: 0 to capacity - 10.
    const Index rows = std::max<Index>(job.capacity - 9, 0);
    if (!frame::view(job.out_positions, positions_obj, "out_positions", {rows, 3},
                     frame::Access::write))
        return nullptr;
    if (!contour && (!frame::view(job.out_normals, normals_obj, "out_normals", {rows, 3},
                                  frame::Access::write) ||
                     !frame::view(job.out_colours, colours_obj, "out_colours", {rows, 4},
                                  frame::Access::write)))
        return nullptr;

    const Index* counts_length = frame::extents_of(counts_obj, "out_counts", 1);
    if (counts_length == nullptr) return nullptr;
    job.counts_length = counts_length[0];
    if (!frame::view(job.out_counts, counts_obj, "out_counts", {1}, frame::Access::write))
        return nullptr;

    if (any_node && !frame::view(job.nodes, nodes_obj, "nodes",
                                 {u_last + Index(1), v_last + Index(1), fieldplot::NODE_FLOATS},
                                 frame::Access::write))
        return nullptr;
    if (!surface && !contour && any_row &&
        !frame::view(job.vectors, vectors_obj, "vectors", {3, nu, nv - 1}))
        return nullptr;

    job.packed_rows = job.nodes.step[2] == 4 && job.out_positions.step[1] == 4 &&
                      job.out_normals.step[1] == 4 && job.out_colours.step[1] == 4;
    // Surface strips of a window with nodes read no vectors.
    job.unshared = surface && any_node &&
                   written_apart({nodes_obj, positions_obj, normals_obj, colours_obj, counts_obj},
                                 {items[0].get(), items[1].get(), items[2].get(), cell_mask_obj,
                                  colour_obj, height_obj});
    Index rows_written;
    {
        // A contour call may also step through its levels one addition each.
        const Index nodes = any_node ? nu * nv : 0;
        frame::Unlocked unlocked(contour ? std::max<Index>(nodes, job.contour_levels) : nodes);
        rows_written = fieldplot::fill_plane(job);
    }
    return PyLong_FromSsize_t(rows_written);
}

PyDoc_STRVAR(module_doc,
"Display arrays of a field plane: the faces a set of boxes covers on a window\n"
"of the plane (inzidenz), and vertex, normal, colour and group-length arrays\n"
"of relief strips, contour points or arrows (glarr). Axes 0, 1, 2 are x, y,\n"
"z; coords holds one float64 array of node coordinates per axis. Bad arrays\n"
"raise the module's error (Exception, or the StandardError bound in __main__\n"
"at import) before anything is written; arguments that do not parse keep\n"
"Python's own TypeError. NODE_FLOATS is the width of a node record.");

PyDoc_STRVAR(inzidenz_doc,
"inzidenz(normal_axis, u_axis, v_axis, plane, u_begin, u_end, v_begin, v_end,\n"
"         coords, boxes, incidence, surface_only, /)\n"
"--\n"
"\n"
"Marks the faces of plane `plane` (a node index along normal_axis) that the\n"
"boxes cover.\n"
"\n"
"Reads coords and boxes (float32, 3 rows of lower and upper corners, two\n"
"columns per box); writes 1 or 0 into the one-byte incidence[i, j] of every\n"
"face u_begin <= i < u_end, v_begin <= j < v_end. With surface_only a face\n"
"covered on both sides of the plane is 0. Returns None, also at once without\n"
"writing when an item of coords is not an array. Raises the module's error\n"
"for axes that are not a permutation, a negative window start or arrays that\n"
"do not hold what the window reaches.");

PyDoc_STRVAR(glarr_doc,
"glarr(normal_axis, u_axis, v_axis, plane, u_first, u_last, v_first, v_last,\n"
"      coords, cell_mask, colour_values, height_values, out_normals,\n"
"      out_positions, out_colours, out_counts, height_scale, nodes,\n"
"      contour_levels, alpha, arrows, vectors, arrow_scale, /)\n"
"--\n"
"\n"
"Vertex arrays of the window u_first..u_last, v_first..v_last of a plane.\n"
"\n"
"Fills the node table nodes[u, v] (float32, NODE_FLOATS per node: position,\n"
"normal, colour, alpha) from coords, the float32 colour_values and\n"
"height_values (lifted by height_scale), then emits, for the cells selected\n"
"in the one-byte cell_mask, relief strips (contour_levels 0, arrows 0),\n"
"contour points of |height_values| (contour_levels > 0) or arrows along the\n"
"float32 vectors (arrows nonzero, scaled by arrow_scale) into the float32\n"
"rows of out_positions, out_normals and out_colours, and the group lengths,\n"
"closed by 0, into the int32 out_counts. Returns the number of rows written.\n"
"Raises the module's error before anything is written for arrays that do not\n"
"hold what the window reaches or that are read-only where written.");

PyMethodDef moduleMethods[] = {
    {"inzidenz", frame::method<inzidenz>, METH_VARARGS, inzidenz_doc},
    {"glarr", frame::method<glarr>, METH_VARARGS, glarr_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "fieldplot", module_doc, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_fieldplot()
{
    return frame::create(&module_def, {frame::Variant::lookup, nullptr, "Array expected", false},
                         {{"NODE_FLOATS", fieldplot::NODE_FLOATS}});
}
