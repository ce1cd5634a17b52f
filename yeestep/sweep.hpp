// The half-step sweeps over z-planes of a plan, and the field energy of a plane.
#pragma once

#include "plan.hpp"

namespace yeestep {

// H^{n+1/2} from E^n on the planes [k0, k1). Reads E of plane k1 (the halo
// when k1 is nz); writes only H of its own planes and their split state.
void sweep_h(Plan& plan, float* fields, int k0, int k1);

// E^{n+1} from H^{n+1/2} on the planes [k0, k1): the records' updates, then
// the skin edges of these planes, then the perfectly conducting low faces.
// Reads H of plane k0 - 1; writes only E of its own planes and their state.
void sweep_e(Plan& plan, float* fields, int k0, int k1);

// Half the sum over plane k of (V / K) F^2 for every updated edge outside the
// split-loss cells: the field energy divided by the time step, in double
// precision, summed in a fixed order.
double plane_energy(const Plan& plan, const float* fields, int k);

}  // namespace yeestep
