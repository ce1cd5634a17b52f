// An RLE array type for the unit tests, standing in for the host's, and a
// builder of arrays from dense values.
#pragma once

#include "rle.hpp"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace rle_fixture {

inline void dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    std::free(reinterpret_cast<cellcoef::RleArray*>(self)->data);
    type->tp_free(self);
    Py_DECREF(type);
}

// The interpreter, started once, and a type of exactly the layout's size.
inline PyTypeObject* rle_type()
{
    static PyTypeObject* type = [] {
        if (!Py_IsInitialized()) Py_InitializeEx(0);
        static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)}, {0, nullptr}};
        static PyType_Spec type_spec = {"test.RleArray", static_cast<int>(sizeof(cellcoef::RleArray)), 0,
                                   Py_TPFLAGS_DEFAULT, slots};
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    }();
    return type;
}

// Owns one array of the test type.
struct Array {
    cellcoef::RleArray* a;
    explicit Array(cellcoef::RleArray* owned) : a(owned) {}
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array() { Py_XDECREF(reinterpret_cast<PyObject*>(a)); }
    cellcoef::RleArray* operator->() const { return a; }
};

inline cellcoef::RleArray* make(std::vector<std::int32_t> dims)
{
    return cellcoef::rle_new(static_cast<int>(dims.size()), dims.data(), rle_type());
}

// An array compressed exactly from row-major values, with tables of its own.
inline cellcoef::RleArray* build(std::vector<std::int32_t> dims, std::vector<float> values)
{
    cellcoef::RleArray* a = make(dims);
    cellcoef::RleTables tables;
    if (!tables.allocate()) std::abort();
    const std::int32_t length = cellcoef::rle_line_length(a);
    std::vector<cellcoef::RleRun> runbuf(length + 1);
    std::int32_t idx[cellcoef::RLE_MAXDIM] = {};
    for (std::size_t line = 0;; ++line) {
        if (cellcoef::rle_compress(a, cellcoef::rle_entry(a, idx), runbuf.data(),
                                   values.data() + line * length, tables, false) != nullptr)
            std::abort();
        if (!cellcoef::rle_next(a, idx)) break;
    }
    return a;
}

}  // namespace rle_fixture
