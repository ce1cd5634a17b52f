// The loops of each instruction set this build holds, and the ones this
// machine runs. meson.build compiles sweep.cpp once per set and names the sets
// it built in YEESTEP_ISAS, baseline first.
#include "sweep.hpp"

#include <cstring>

namespace yeestep {

#define YEESTEP_DECLARE(isa) \
    namespace isa {          \
    extern const Sweeps sweeps; \
    }
YEESTEP_ISAS(YEESTEP_DECLARE)
#undef YEESTEP_DECLARE

namespace {

// The baseline runs everywhere; a wider set where the processor (and the
// system, for the wider registers) supports it.
bool runs_here(const Sweeps& s)
{
#if defined(__x86_64__)
    if (std::strcmp(s.name, "avx2") == 0) return __builtin_cpu_supports("avx2");
#endif
    static_cast<void>(s);
    return true;
}

struct Machine {
    const Sweeps* sets[8];
    int count = 0;

    Machine()
    {
#define YEESTEP_ADD(isa) \
    if (runs_here(isa::sweeps)) sets[count++] = &isa::sweeps;
        YEESTEP_ISAS(YEESTEP_ADD)
#undef YEESTEP_ADD
    }
};

const Machine& machine()
{
    static const Machine m;
    return m;
}

}  // namespace

const Sweeps* const* machine_sweeps(int& count)
{
    count = machine().count;
    return machine().sets;
}

const Sweeps* sweeps_named(const char* name)
{
    int count = 0;
    const Sweeps* const* sets = machine_sweeps(count);
    for (int n = 0; n < count; ++n)
        if (std::strcmp(sets[n]->name, name) == 0) return sets[n];
    return nullptr;
}

}  // namespace yeestep
