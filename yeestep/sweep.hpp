// The half-step sweeps over z-planes of a plan, and the field energy of a plane.
#pragma once

#include "plan.hpp"

#include <cstddef>
#include <cstdint>

namespace yeestep {

// H^{n+1/2} from E^n on the planes [k0, k1). Reads E of plane k1 (the halo
// when k1 is nz); writes only H of its own planes and their split state.
void sweep_h(Plan& plan, float* fields, int k0, int k1);

// E^{n+1} from H^{n+1/2} on the planes [k0, k1): the records' updates, then
// the skin edges of these planes, then the perfectly conducting low faces.
// Reads H of plane k0 - 1; writes only E of its own planes and their state.
void sweep_e(Plan& plan, float* fields, int k0, int k1);

// A value subtracted from an H field right after its line's update (a
// magnetic current source), for lines in ascending order k * ny + j.
struct LineAdd {
    std::int64_t line;
    std::int64_t offset;
    double value;
};

// One whole step on the planes [k0, k1) in one pass, line by line: H of the
// line, then its E (which needs H of this line and of the lines before).
// The E of plane k0 is left for sweep_e(k0, k0 + 1) after the previous
// slab's H, as the H of plane k0 - 1 needs it unchanged. Values equal those
// of sweep_h then sweep_e, bit for bit.
void sweep_step(Plan& plan, float* fields, int k0, int k1, const LineAdd* adds, std::size_t count);

// Half the sum over plane k of (V / K) F^2 for every updated edge outside the
// split-loss cells: the field energy divided by the time step, in double
// precision, summed in a fixed order.
double plane_energy(const Plan& plan, const float* fields, int k);

}  // namespace yeestep
