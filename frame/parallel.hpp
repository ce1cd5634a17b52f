// Splitting a kernel's work over the machine's cores: parts that touch
// disjoint memory run at once, each on a thread of its own.
#pragma once

#include <functional>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace frame {

// At most this many parts run at once.
inline constexpr int max_parts = 16;

// The number of parts worth running at once: the cores this process may run
// on (a process bound to fewer than the machine has gets as many parts), at
// least 1 and at most max_parts.
inline int cores()
{
    unsigned n = std::thread::hardware_concurrency();
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) n = unsigned(CPU_COUNT(&allowed));
#endif
    return n < 1 ? 1 : n > unsigned(max_parts) ? max_parts : int(n);
}

// Runs part(0) .. part(count - 1): part 0 on the calling thread, the others
// (up to max_parts in all) at the same time on threads of their own, and
// returns when all have ended. A part that gets no thread, or whose thread
// cannot be started, runs on the calling thread afterwards. The parts must not
// throw.
template <class Part>
void run_parts(int count, const Part& part)
{
    std::thread threads[max_parts];
    int started = 1;
    for (; started < count && started < max_parts; ++started) {
        try {
            threads[started] = std::thread(std::cref(part), started);
        } catch (...) {
            break;
        }
    }
    part(0);
    for (int p = started; p < count; ++p) part(p);
    for (int p = 1; p < started; ++p) threads[p].join();
}

}  // namespace frame
