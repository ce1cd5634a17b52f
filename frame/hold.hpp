// Small owners for references and scratch memory, so that every path out of a
// method, the error paths included, releases what the call took.
#pragma once

#include "frame.hpp"

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace frame {

// Owns one strong reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release()
    {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject* owned = nullptr)
    {
        PyObject* old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// Scratch memory of `count` elements from the C heap, released on scope exit;
// null when the heap is exhausted (the caller raises).
template <class T>
using Scratch = std::unique_ptr<T[], FreeDeleter>;

template <class T>
Scratch<T> scratch(std::size_t count, bool zeroed = false)
{
    if (count > SIZE_MAX / sizeof(T)) return Scratch<T>();
    void* p = zeroed ? std::calloc(count ? count : 1, sizeof(T))
                     : std::malloc((count ? count : 1) * sizeof(T));
    return Scratch<T>(static_cast<T*>(p));
}

}  // namespace frame
