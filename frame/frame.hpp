// The module frame shared by every extension module: initialisation, the error
// class, argument parsing and the array test, and the guard that keeps C++
// exceptions out of the interpreter.
#pragma once

#include "numpy.hpp"

#include <initializer_list>
#include <new>

namespace frame {

// The lookup variant resolves None and the error class in __main__ at import;
// the direct variant uses the interpreter's own objects.
enum class Variant { lookup, direct };

struct ModuleSpec {
    Variant variant;
    // Message for arguments that do not parse; nullptr keeps the parser's error.
    const char* parse_message;
    // Message for an argument that is not an ndarray.
    const char* array_message;
    // When set, the array message is followed by " N", N counting the array
    // tests of a method from 0.
    bool numbered_array_messages;
};

// A number the module shares with its callers, added as a module attribute.
struct Constant {
    const char* name;
    long value;
};

// Creates the module, sets up the frame state and adds the constants. Returns
// the module, or null with the error set (NumPy missing, lookup in __main__
// failing).
PyObject* create(PyModuleDef* def, const ModuleSpec& conventions,
                 std::initializer_list<Constant> constants = {});

// Adds `api`, a C interface for other extension modules, to `module` as the
// capsule attribute `attribute` named `capsule_name` (the pattern of NumPy's
// _ARRAY_API: consumers take it with PyCapsule_Import(capsule_name, 0)).
// False with the error set when it cannot.
bool add_capsule(PyObject* module, const char* attribute, const char* capsule_name, const void* api);

// Raises the module's error with `message`; returns null for `return fail(...)`.
PyObject* fail(const char* message);

// Raises the module's error with "<what>: <name>", e.g. "Array too small: runs".
PyObject* fail_arg(const char* what, const char* name);

// A new reference to the None object the frame resolved.
PyObject* none();

// Parses `args` with `format`; on failure replaces the parser's error with the
// module's parse message (unless the module keeps the parser's error).
bool parse(PyObject* args, const char* format, ...);

// The array test: exact type identity with ndarray, subclasses fail.
inline bool is_array(PyObject* o) { return o != nullptr && Py_TYPE(o) == &PyArray_Type; }

inline PyArrayObject* array(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }

// Tests `objects` in order with the array test; the first that fails raises the
// module's array message (numbered from `first_index` where the module numbers
// them). Returns false after raising.
bool require_arrays(std::initializer_list<PyObject*> objects, int first_index = 0);

// An internal consistency check that failed: its condition text and the source
// name and line under which it is known to consumers.
struct Check {
    const char* condition;
    const char* source;
    int line;
};

// Reports a failed check on stderr and raises the module's error with its
// condition text. Returns null.
PyObject* report(const Check& check);

// Wraps a method so that no C++ exception reaches the interpreter.
template <PyObject* (*Impl)(PyObject* args)>
PyObject* method(PyObject* /*self*/, PyObject* args) noexcept
{
    try {
        return Impl(args);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        return fail("Internal error");
    }
}

}  // namespace frame
