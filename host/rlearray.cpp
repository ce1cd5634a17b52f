// The host's RLE array type: float32 values of up to 10 dimensions, every line
// along the last dimension held as runs, lines with identical runs sharing
// one list. Arrays made by cellcoef.last are of this type too.
#include "frame.hpp"
#include "hold.hpp"
#include "rle.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <new>

using cellcoef::RleArray;
using cellcoef::RleEntry;
using cellcoef::RLE_MAXDIM;

namespace {

RleArray* as_rle(PyObject* self) { return reinterpret_cast<RleArray*>(self); }

// Compresses the C-contiguous float32 `values` into a new array of `type`.
PyObject* compress_values(PyTypeObject* type, PyArrayObject* values)
{
    const int ndim = PyArray_NDIM(values);
    const npy_intp* shape = PyArray_DIMS(values);
    std::int64_t wide[RLE_MAXDIM] = {};
    std::int32_t dims[RLE_MAXDIM];
    std::int32_t strides[RLE_MAXDIM];
    std::int32_t nbytes;
    for (int d = 0; d < ndim; ++d) wide[d] = shape[d];
    if (!cellcoef::rle_layout(ndim, wide, strides, &nbytes)) {
        PyErr_Format(PyExc_ValueError,
                     "RleArray dimensions do not fit: each at least 1, lines of at most %d "
                     "values, at most %d lines",
                     cellcoef::RLE_MAXLINE, static_cast<int>(INT32_MAX / sizeof(RleEntry)));
        return nullptr;
    }
    for (int d = 0; d < ndim; ++d) dims[d] = static_cast<std::int32_t>(shape[d]);

    const auto* data = static_cast<const float*>(PyArray_DATA(values));
    const npy_intp count = PyArray_SIZE(values);
    for (npy_intp i = 0; i < count; ++i)
        if (!std::isfinite(data[i])) {
            PyErr_SetString(PyExc_ValueError, "RleArray values must be finite");
            return nullptr;
        }

    const std::int32_t length = dims[ndim - 1];
    auto line = frame::scratch<float>(length);
    auto runbuf = frame::scratch<cellcoef::RleRun>(static_cast<std::size_t>(length) + 1);
    cellcoef::RleTables tables;
    if (!line || !runbuf || !tables.allocate()) return PyErr_NoMemory();
    frame::Ref result(reinterpret_cast<PyObject*>(cellcoef::rle_new(ndim, dims, type)));
    if (!result) return nullptr;

    RleArray* a = as_rle(result.get());
    std::int32_t idx[RLE_MAXDIM] = {};
    const float* source = data;
    do {
        // The compressor flushes its line in place; the caller's values stay.
        std::copy(source, source + length, line.get());
        source += length;
        if (const frame::Check* failed = cellcoef::rle_compress(
                a, cellcoef::rle_entry(a, idx), runbuf.get(), line.get(), tables, false))
            return frame::report(*failed);
    } while (cellcoef::rle_next(a, idx));
    return result.release();
}

PyObject* rlearray_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept
{
    static const char* keywords[] = {"values", nullptr};
    PyObject* source;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:RleArray", const_cast<char**>(keywords), &source))
        return nullptr;
    frame::Ref values(PyArray_FromAny(source, PyArray_DescrFromType(NPY_FLOAT32), 0, 0,
                                      NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
    if (!values) return nullptr;
    const int ndim = PyArray_NDIM(frame::array(values.get()));
    if (ndim < 1 || ndim > RLE_MAXDIM) {
        PyErr_Format(PyExc_ValueError, "RleArray takes 1 to %d dimensions, not %d", RLE_MAXDIM, ndim);
        return nullptr;
    }
    try {
        return compress_values(type, frame::array(values.get()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// Frees the entry area only: run lists may be borrowed by other arrays.
void rlearray_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    std::free(as_rle(self)->data);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* toarray_impl(PyObject* self)
{
    const RleArray* a = as_rle(self);
    npy_intp shape[RLE_MAXDIM];
    for (int d = 0; d <= a->nouter; ++d) shape[d] = a->dims[d];
    frame::Ref out(PyArray_SimpleNew(a->nouter + 1, shape, NPY_FLOAT32));
    if (!out) return nullptr;
    auto* dest = static_cast<float*>(PyArray_DATA(frame::array(out.get())));
    const std::int32_t length = cellcoef::rle_line_length(a);
    std::int32_t idx[RLE_MAXDIM] = {};
    do {
        cellcoef::rle_get_line(a, idx, dest);
        dest += length;
    } while (cellcoef::rle_next(a, idx));
    return out.release();
}

PyObject* rlearray_toarray(PyObject* self, PyObject*) noexcept { return toarray_impl(self); }

// NumPy 2 passes dtype and copy; NumPy 1 passes dtype alone.
PyObject* rlearray_array(PyObject* self, PyObject* args, PyObject* kwds) noexcept
{
    static const char* keywords[] = {"dtype", "copy", nullptr};
    PyObject* dtype = Py_None;
    PyObject* copy = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:__array__", const_cast<char**>(keywords),
                                     &dtype, &copy))
        return nullptr;
    if (copy == Py_False) {
        PyErr_SetString(PyExc_ValueError, "an RleArray is expanded into a new array: copy=False cannot be met");
        return nullptr;
    }
    frame::Ref out(toarray_impl(self));
    if (!out || dtype == Py_None) return out.release();
    PyArray_Descr* descr = nullptr;
    if (!PyArray_DescrConverter(dtype, &descr)) return nullptr;
    return PyArray_CastToType(frame::array(out.get()), descr, 0);  // steals descr
}

// entry(index): (max, fresh, runs) of the line at the outer index tuple.
PyObject* rlearray_entry(PyObject* self, PyObject* index) noexcept
{
    const RleArray* a = as_rle(self);
    frame::Ref items(PySequence_Check(index) ? PySequence_Tuple(index) : Py_BuildValue("(O)", index));
    if (!items) return nullptr;
    if (PyTuple_GET_SIZE(items.get()) != a->nouter) {
        PyErr_Format(PyExc_IndexError, "entry takes %d outer indices", a->nouter);
        return nullptr;
    }
    std::int32_t idx[RLE_MAXDIM] = {};
    for (int d = 0; d < a->nouter; ++d) {
        const Py_ssize_t i = PyNumber_AsSsize_t(PyTuple_GET_ITEM(items.get(), d), PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        const Py_ssize_t at = i < 0 ? i + a->dims[d] : i;
        if (at < 0 || at >= a->dims[d]) {
            PyErr_Format(PyExc_IndexError, "index %zd out of range for dimension %d of size %d", i,
                         d, a->dims[d]);
            return nullptr;
        }
        idx[d] = static_cast<std::int32_t>(at);
    }
    const RleEntry* e = cellcoef::rle_entry(a, idx);
    frame::Ref runs(PyList_New(e->nrec));
    if (!runs) return nullptr;
    for (int k = 0; k < e->nrec; ++k) {
        PyObject* run = Py_BuildValue("(di)", static_cast<double>(e->run_list[k].run_value),
                                      e->run_list[k].start);
        if (run == nullptr) return nullptr;
        PyList_SET_ITEM(runs.get(), k, run);
    }
    return Py_BuildValue("(diN)", static_cast<double>(e->max), static_cast<int>(e->fresh),
                         runs.release());
}

PyObject* get_shape(PyObject* self, void*) noexcept
{
    const RleArray* a = as_rle(self);
    frame::Ref shape(PyTuple_New(a->nouter + 1));
    if (!shape) return nullptr;
    for (int d = 0; d <= a->nouter; ++d) {
        PyObject* n = PyLong_FromLong(a->dims[d]);
        if (n == nullptr) return nullptr;
        PyTuple_SET_ITEM(shape.get(), d, n);
    }
    return shape.release();
}

PyObject* get_ndim(PyObject* self, void*) noexcept { return PyLong_FromLong(as_rle(self)->nouter + 1); }
PyObject* get_nlines(PyObject* self, void*) noexcept { return PyLong_FromLong(as_rle(self)->nlines); }
PyObject* get_nbytes(PyObject* self, void*) noexcept { return PyLong_FromLong(as_rle(self)->nbytes); }
PyObject* get_used_bytes(PyObject* self, void*) noexcept { return PyLong_FromLong(as_rle(self)->used_bytes); }
PyObject* get_shared_lines(PyObject* self, void*) noexcept { return PyLong_FromLong(as_rle(self)->shared_lines); }

PyMethodDef rlearray_methods[] = {
    {"toarray", rlearray_toarray, METH_NOARGS,
     "toarray($self, /)\n--\n\nExpands the array into a new float32 ndarray."},
    {"__array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rlearray_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__array__($self, dtype=None, copy=None)\n--\n\n"
     "The expanded values as a new ndarray, cast to dtype if given; copy=False is refused."},
    {"entry", rlearray_entry, METH_O,
     "entry($self, index, /)\n--\n\n"
     "(max, fresh, runs): the entry of the line at the outer index tuple; runs lists "
     "(run_value, start), the terminator included."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rlearray_getset[] = {
    {"shape", get_shape, nullptr, "dimensions, the line length last", nullptr},
    {"ndim", get_ndim, nullptr, "number of dimensions", nullptr},
    {"nlines", get_nlines, nullptr, "number of lines", nullptr},
    {"nbytes", get_nbytes, nullptr, "bytes of the entry area", nullptr},
    {"used_bytes", get_used_bytes, nullptr, "entry area plus the run lists stored for this array", nullptr},
    {"shared_lines", get_shared_lines, nullptr, "lines that borrowed a stored run list", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rlearray_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(rlearray_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(rlearray_new)},
    {Py_tp_methods, rlearray_methods},
    {Py_tp_getset, rlearray_getset},
    {Py_tp_doc, const_cast<char*>(
        "RleArray(values)\n--\n\n"
        "Run-length encoded float32 values of 1 to 10 dimensions: `values`, any array-like,\n"
        "is converted to float32 and every line along the last dimension compressed exactly\n"
        "into runs, lines with identical runs sharing one list. Raises ValueError for other\n"
        "dimension counts, dimensions that do not fit and non-finite values.")},
    {0, nullptr},
};

PyType_Spec rlearray_spec = {"rlearray.RleArray", static_cast<int>(sizeof(RleArray)), 0,
                             Py_TPFLAGS_DEFAULT, rlearray_slots};

PyDoc_STRVAR(module_doc,
"The host's RLE array type: RleArray(values) compresses float32 values of 1\n"
"to 10 dimensions line by line into runs; cellcoef.last makes arrays of the\n"
"same type.");

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "rlearray", module_doc, -1, nullptr,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_rlearray()
{
    PyObject* module = frame::create(&module_def, {frame::Variant::direct, "Error parsing args", "Array expected", false});
    if (module == nullptr) return nullptr;
    PyObject* type = PyType_FromSpec(&rlearray_spec);
    if (type == nullptr || PyModule_AddObject(module, "RleArray", type) < 0) {
        Py_XDECREF(type);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
