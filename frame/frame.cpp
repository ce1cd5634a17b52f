#define FRAME_IMPORTS_ARRAY
#include "frame.hpp"

#include <cstdarg>
#include <cstdio>

namespace frame {
namespace {

// Written once during the import, read-only afterwards; held for the life of
// the process.
ModuleSpec module_spec{};
PyObject* none_object = nullptr;
PyObject* error_object = nullptr;

// Evaluates `name` in the namespace of __main__ (new reference, or null).
PyObject* eval_in_main(const char* name)
{
    PyObject* main = PyImport_AddModule("__main__");  // borrowed
    if (main == nullptr) return nullptr;
    PyObject* dict = PyModule_GetDict(main);  // borrowed
    return PyRun_String(name, Py_eval_input, dict, dict);
}

// NumPy's own import of its API table; unlike the import_array macro this
// leaves the error of a failed numpy import in place, so the module's import
// fails with it.
int import_numpy() { return _import_array(); }

}  // namespace

PyObject* create(PyModuleDef* def, const ModuleSpec& conventions,
                 std::initializer_list<Constant> constants)
{
    module_spec = conventions;
    PyObject* module = PyModule_Create(def);
    if (module == nullptr) return nullptr;
    for (const Constant& c : constants) {
        if (PyModule_AddIntConstant(module, c.name, c.value) < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    if (import_numpy() < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    if (conventions.variant == Variant::direct) {
        none_object = Py_None;
        error_object = PyExc_Exception;
        return module;
    }
    none_object = eval_in_main("None");
    if (none_object == nullptr) {
        Py_DECREF(module);
        return nullptr;
    }
    error_object = eval_in_main("StandardError");
    if (error_object == nullptr) {
        // Python 3 has no StandardError: unless the host bound one in __main__,
        // the module raises the built-in Exception.
        if (!PyErr_ExceptionMatches(PyExc_NameError)) {
            Py_DECREF(module);
            return nullptr;
        }
        PyErr_Clear();
        Py_INCREF(PyExc_Exception);
        error_object = PyExc_Exception;
    }
    return module;
}

bool add_capsule(PyObject* module, const char* attribute, const char* capsule_name, const void* api)
{
    PyObject* capsule = PyCapsule_New(const_cast<void*>(api), capsule_name, nullptr);
    if (capsule == nullptr) return false;
    if (PyModule_AddObject(module, attribute, capsule) < 0) {
        Py_DECREF(capsule);
        return false;
    }
    return true;
}

PyObject* fail(const char* message)
{
    PyErr_SetString(error_object, message);
    return nullptr;
}

PyObject* fail_arg(const char* what, const char* name)
{
    PyErr_Format(error_object, "%s: %s", what, name);
    return nullptr;
}

PyObject* none()
{
    Py_INCREF(none_object);
    return none_object;
}

bool parse(PyObject* args, const char* format, ...)
{
    va_list va;
    va_start(va, format);
    int ok = PyArg_VaParse(args, format, va);
    va_end(va);
    if (ok) return true;
    if (module_spec.parse_message != nullptr) fail(module_spec.parse_message);
    return false;
}

bool require_arrays(std::initializer_list<PyObject*> objects, int first_index)
{
    int index = first_index;
    for (PyObject* o : objects) {
        if (!is_array(o)) {
            if (module_spec.numbered_array_messages)
                PyErr_Format(error_object, "%s %d", module_spec.array_message, index);
            else
                fail(module_spec.array_message);
            return false;
        }
        ++index;
    }
    return true;
}

PyObject* report(const Check& check)
{
    std::fprintf(stderr, "%s:%d: Assertion `%s' failed.\n", check.source, check.line,
                 check.condition);
    std::fflush(stderr);
    return fail(check.condition);
}

}  // namespace frame
