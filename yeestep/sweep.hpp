// The half-step sweeps over z-planes of a plan, one set of loops per
// instruction set, chosen at run time.
//
// sweep.cpp is compiled once per instruction set (meson.build), each time into
// a namespace of that name, so the same source gives the SSE2 baseline and the
// AVX2 loops. The arithmetic is the same element by element (no fused
// multiply-add, no reassociation), so every set gives the same fields bit for
// bit; only the width of the vectors differs.
#pragma once

#include "plan.hpp"

#include <cstddef>
#include <cstdint>

namespace yeestep {

// A value subtracted from an H field right after its line's update (a
// magnetic current source), for lines j in ascending order.
struct LineAdd {
    std::int64_t j;
    std::int64_t offset;
    double value;
};

struct Sweeps {
    const char* name;

    // H^{n+1/2} from E^n on the planes [k0, k1). Reads E of plane k1 (the
    // halo when k1 is nz); writes only H of its own planes and their state.
    void (*sweep_h)(Plan& plan, float* fields, int k0, int k1);

    // E^{n+1} from H^{n+1/2} on the planes [k0, k1): the records' updates,
    // then the skin edges of these planes, then the perfectly conducting low
    // faces. Reads H of plane k0 - 1; writes only E of its own planes and
    // their state.
    void (*sweep_e)(Plan& plan, float* fields, int k0, int k1);

    // A whole step of plane k in one pass, line by line: H of the line (then
    // its `adds`), then its E, which needs H of this line, of the line before
    // and of plane k - 1 after this step. Needs E of plane k + 1 before this
    // step. Values equal those of sweep_h then sweep_e, bit for bit.
    void (*plane_step)(Plan& plan, float* fields, int k, const LineAdd* adds, std::size_t count);
};

// The instruction sets this machine runs, the SSE2 baseline first and the
// widest last; `count` of them.
const Sweeps* const* machine_sweeps(int& count);

// The set named `name` among those, or null.
const Sweeps* sweeps_named(const char* name);

// Half the sum over plane k of (V / K) F^2 for every updated edge outside the
// split-loss cells: the field energy divided by the time step, in double
// precision, summed in a fixed order.
double plane_energy(const Plan& plan, const float* fields, int k);

}  // namespace yeestep
