// Module fieldplot: the wrappers parse and test the arguments, check every
// array against the window, and hand typed views to the kernels.
#include "checks.hpp"
#include "frame.hpp"
#include "hold.hpp"
#include "incidence.hpp"
#include "plane.hpp"

#include <algorithm>

namespace {

using fieldplot::Index;

const char* const coord_names[3] = {"coords[0]", "coords[1]", "coords[2]"};

// Items 0, 1 and 2 of `coords`, tested as arrays in that order.
enum class Items { arrays, not_arrays, failed };

Items fetch_coords(PyObject* coords, frame::Ref (&items)[3])
{
    for (int a = 0; a < 3; ++a) {
        items[a].reset(PySequence_GetItem(coords, a));
        if (!items[a]) {
            PyErr_Clear();
            frame::fail("Sequence expected");
            return Items::failed;
        }
        if (!frame::is_array(items[a].get())) return Items::not_arrays;
    }
    return Items::arrays;
}

bool axes_permute(int normal_axis, int u_axis, int v_axis)
{
    auto valid = [](int a) { return a >= 0 && a <= 2; };
    return valid(normal_axis) && valid(u_axis) && valid(v_axis) && normal_axis != u_axis &&
           normal_axis != v_axis && u_axis != v_axis;
}

bool require_dims(PyArrayObject* a, const char* name, int ndim)
{
    if (PyArray_NDIM(a) >= ndim) return true;
    frame::fail_arg("Wrong number of dimensions", name);
    return false;
}

fieldplot::Strided1 view1(PyArrayObject* a)
{
    return {static_cast<char*>(PyArray_DATA(a)), PyArray_NDIM(a) > 0 ? PyArray_STRIDE(a, 0) : 0};
}

fieldplot::Strided2 view2(PyArrayObject* a)
{
    const int n = PyArray_NDIM(a);
    return {static_cast<char*>(PyArray_DATA(a)), n > 0 ? PyArray_STRIDE(a, 0) : 0,
            n > 1 ? PyArray_STRIDE(a, 1) : 0};
}

fieldplot::Strided3 view3(PyArrayObject* a)
{
    const int n = PyArray_NDIM(a);
    return {static_cast<char*>(PyArray_DATA(a)), n > 0 ? PyArray_STRIDE(a, 0) : 0,
            n > 1 ? PyArray_STRIDE(a, 1) : 0, n > 2 ? PyArray_STRIDE(a, 2) : 0};
}

PyObject* inzidenz(PyObject* args)
{
    int normal_axis, u_axis, v_axis, plane, u_begin, u_end, v_begin, v_end, surface_only;
    PyObject *coords, *boxes_obj, *incidence_obj;
    if (!frame::parse(args, "iiiiiiiiOOOi", &normal_axis, &u_axis, &v_axis, &plane, &u_begin,
                      &u_end, &v_begin, &v_end, &coords, &boxes_obj, &incidence_obj,
                      &surface_only))
        return nullptr;
    if (!PySequence_Check(coords)) return frame::fail("Sequence expected");
    if (!frame::require_arrays({boxes_obj, incidence_obj})) return nullptr;
    frame::Ref items[3];
    switch (fetch_coords(coords, items)) {
    case Items::failed: return nullptr;
    case Items::not_arrays: return frame::none();
    case Items::arrays: break;
    }
    if (!axes_permute(normal_axis, u_axis, v_axis)) return frame::fail("Axes not a permutation");

    fieldplot::IncidenceJob job{};
    job.normal_axis = normal_axis;
    job.u_axis = u_axis;
    job.v_axis = v_axis;
    job.plane = plane;
    job.u_begin = u_begin;
    job.u_end = u_end;
    job.v_begin = v_begin;
    job.v_end = v_end;
    job.surface_only = surface_only != 0;

    // Nodes outside a coordinate array are simply not covered, so each array
    // is read only up to its own length.
    for (int a = 0; a < 3; ++a) {
        PyArrayObject* c = frame::array(items[a].get());
        if (!require_dims(c, coord_names[a], 1)) return nullptr;
        job.coord_length[a] = PyArray_DIM(c, 0);
        if (!frame::check_strided(c, coord_names[a], 8, {job.coord_length[a]})) return nullptr;
        job.coords[a] = view1(c);
    }

    // An odd last column has no partner and is ignored.
    PyArrayObject* boxes = frame::array(boxes_obj);
    if (!require_dims(boxes, "boxes", 2)) return nullptr;
    job.box_count = PyArray_DIM(boxes, 1) / 2;
    if (!frame::check_strided(boxes, "boxes", 4, {3, 2 * job.box_count})) return nullptr;
    job.boxes = view2(boxes);

    PyArrayObject* incidence = frame::array(incidence_obj);
    if (u_begin < u_end && v_begin < v_end) {
        if (u_begin < 0) return frame::fail_arg("Negative index", "u_begin");
        if (v_begin < 0) return frame::fail_arg("Negative index", "v_begin");
        if (!frame::check_strided(incidence, "incidence", 1, {u_end, v_end}) ||
            !frame::check_writeable(incidence, "incidence"))
            return nullptr;
    }
    job.incidence = view2(incidence);

    if (!fieldplot::mark_incidence(job)) return PyErr_NoMemory();
    return frame::none();
}

PyObject* glarr(PyObject* args)
{
    int normal_axis, u_axis, v_axis, plane, u_first, u_last, v_first, v_last, contour_levels,
        arrows;
    PyObject *coords, *cell_mask_obj, *colour_obj, *height_obj, *normals_obj, *positions_obj,
        *colours_obj, *counts_obj, *nodes_obj, *vectors_obj;
    double height_scale, alpha, arrow_scale;
    if (!frame::parse(args, "iiiiiiiiOOOOOOOOdOidiOd", &normal_axis, &u_axis, &v_axis, &plane,
                      &u_first, &u_last, &v_first, &v_last, &coords, &cell_mask_obj, &colour_obj,
                      &height_obj, &normals_obj, &positions_obj, &colours_obj, &counts_obj,
                      &height_scale, &nodes_obj, &contour_levels, &alpha, &arrows, &vectors_obj,
                      &arrow_scale))
        return nullptr;
    if (!PySequence_Check(coords)) return frame::fail("Sequence expected");
    if (!frame::require_arrays({cell_mask_obj, colour_obj, height_obj, normals_obj, positions_obj,
                                colours_obj, counts_obj, nodes_obj}))
        return nullptr;
    if (arrows != 0 && !frame::require_arrays({vectors_obj})) return nullptr;
    frame::Ref items[3];
    switch (fetch_coords(coords, items)) {
    case Items::failed: return nullptr;
    case Items::not_arrays: return frame::none();
    case Items::arrays: break;
    }
    if (!axes_permute(normal_axis, u_axis, v_axis)) return frame::fail("Axes not a permutation");
    if (contour_levels < 0) return frame::fail_arg("Negative value", "contour_levels");

    fieldplot::PlaneJob job{};
    job.geometry = arrows != 0           ? fieldplot::Geometry::arrows
                   : contour_levels != 0 ? fieldplot::Geometry::contour
                                         : fieldplot::Geometry::surface;
    const bool surface = job.geometry == fieldplot::Geometry::surface;
    const bool contour = job.geometry == fieldplot::Geometry::contour;

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
    reach[normal_axis] = plane + Index(1);
    reach[u_axis] = u_last + Index(1);
    reach[v_axis] = v_last + Index(1);
    for (int a = 0; a < 3; ++a) {
        PyArrayObject* c = frame::array(items[a].get());
        if (any_node && !frame::check_strided(c, coord_names[a], 8, {reach[a]})) return nullptr;
        job.coords[a] = view1(c);
    }

    PyArrayObject* cell_mask = frame::array(cell_mask_obj);
    // Surface strips and arrows read column u_last too, contours only cells.
    const Index mask_u = contour ? (any_cell ? Index(u_last) : 0) : (any_row ? u_last + Index(1) : 0);
    if (!frame::check_strided(cell_mask, "cell_mask", 1, {mask_u, any_row ? Index(v_last) : 0}))
        return nullptr;

    PyArrayObject* colour_values = frame::array(colour_obj);
    if (any_node && !frame::check_strided(colour_values, "colour_values", 4, {nu, nv}))
        return nullptr;

    PyArrayObject* height_values = frame::array(height_obj);
    const bool heights_read = any_node && (height_scale != 0 || (contour && any_cell));
    if (heights_read && !frame::check_strided(height_values, "height_values", 4, {nu, nv}))
        return nullptr;

    PyArrayObject* positions = frame::array(positions_obj);
    if (!require_dims(positions, "out_positions", 1)) return nullptr;
    job.capacity = PyArray_DIM(positions, 0);
    // Rows a vertex may be written to: 0 to capacity - 10.
    const Index rows = std::max<Index>(job.capacity - 9, 0);
    if (!frame::check_strided(positions, "out_positions", 4, {rows, 3})) return nullptr;
    if (rows > 0 && !frame::check_writeable(positions, "out_positions")) return nullptr;
    PyArrayObject* normals = frame::array(normals_obj);
    PyArrayObject* colours = frame::array(colours_obj);
    if (!contour) {
        if (!frame::check_strided(normals, "out_normals", 4, {rows, 3})) return nullptr;
        if (rows > 0 && !frame::check_writeable(normals, "out_normals")) return nullptr;
        if (!frame::check_strided(colours, "out_colours", 4, {rows, 4})) return nullptr;
        if (rows > 0 && !frame::check_writeable(colours, "out_colours")) return nullptr;
    }

    PyArrayObject* counts = frame::array(counts_obj);
    if (!require_dims(counts, "out_counts", 1)) return nullptr;
    job.counts_length = PyArray_DIM(counts, 0);
    if (!frame::check_strided(counts, "out_counts", 4, {1}) ||
        !frame::check_writeable(counts, "out_counts"))
        return nullptr;

    PyArrayObject* nodes = frame::array(nodes_obj);
    if (any_node &&
        (!frame::check_strided(nodes, "nodes", 4, {u_last + Index(1), v_last + Index(1), 10}) ||
         !frame::check_writeable(nodes, "nodes")))
        return nullptr;

    if (!surface && !contour && any_row) {
        PyArrayObject* vectors = frame::array(vectors_obj);
        if (!frame::check_strided(vectors, "vectors", 4, {3, nu, nv - 1})) return nullptr;
        job.vectors = view3(vectors);
    }

    job.normal_axis = normal_axis;
    job.u_axis = u_axis;
    job.v_axis = v_axis;
    job.plane = plane;
    job.u_first = u_first;
    job.u_last = u_last;
    job.v_first = v_first;
    job.v_last = v_last;
    job.cell_mask = view2(cell_mask);
    job.colour_values = view2(colour_values);
    job.height_values = view2(height_values);
    job.out_normals = view2(normals);
    job.out_positions = view2(positions);
    job.out_colours = view2(colours);
    job.out_counts = view1(counts);
    job.height_scale = height_scale;
    job.nodes = view3(nodes);
    job.contour_levels = contour_levels;
    job.alpha = alpha;
    job.arrow_scale = arrow_scale;
    job.packed_rows = job.nodes.s2 == 4 && job.out_positions.s1 == 4 &&
                      job.out_normals.s1 == 4 && job.out_colours.s1 == 4;
    return PyLong_FromSsize_t(fieldplot::fill_plane(job));
}

PyMethodDef moduleMethods[] = {
    {"inzidenz", frame::method<inzidenz>, METH_VARARGS, nullptr},
    {"glarr", frame::method<glarr>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "fieldplot", nullptr, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_fieldplot()
{
    return frame::create(&module_def, {frame::Variant::lookup, nullptr, "Array expected", false});
}
