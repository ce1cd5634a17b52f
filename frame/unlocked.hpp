// Releasing the interpreter lock while a kernel runs, so that other threads
// run Python (or other kernels) meanwhile.
//
// A wrapper releases the lock only after every check and only around code that
// touches no Python object: it reads the module state it needs first, then
//
//     {
//         frame::Unlocked unlocked(work);   // the elements the kernel touches
//         kernel(job);                      // raw memory only; no Py* call
//     }
//     return PyLong_FromSsize_t(...);       // result objects with the lock held
//
// The arrays stay alive through the call (the argument tuple holds them), and
// the kernel leaves memory it was not handed alone; what another thread
// writes into the same arrays meanwhile is the caller's business, as with
// NumPy's own loops. Destruction takes the lock back on every path, also while
// an exception unwinds to frame::method.
#pragma once

#include "frame.hpp"

namespace frame {

// Below this much work, counted in elements touched, a kernel keeps the lock:
// handing it over and taking it back costs about a microsecond when no other
// thread wants it, and up to the interpreter's switch interval when one does.
inline constexpr npy_intp unlock_work = 4096;

class Unlocked {
public:
    explicit Unlocked(npy_intp work)
        : state_(work >= unlock_work ? PyEval_SaveThread() : nullptr)
    {
    }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    ~Unlocked()
    {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }

private:
    PyThreadState* state_;
};

}  // namespace frame
