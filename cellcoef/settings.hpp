// Settings of cellcoef that live for the process: the relative tolerance of the
// compressor and the store, the run length limit of dispatch, the debug mask.
#pragma once

#include <cmath>

namespace cellcoef {

extern float rel_tol;     // settol; default 1e-6
extern int run_limit;     // setrun; default 1000, never below 1
extern int debug_mask;    // QUORAN_DEBUG_ORGA, read once at import

// Reads QUORAN_DEBUG_ORGA as hexadecimal into debug_mask; unset or unparsable
// leaves it 0.
void read_debug_mask();

// The relative comparison shared by the compressor and the store.
inline bool rel_close(double a, double b)
{
    const float s = static_cast<float>(std::fabs(a) + std::fabs(b));
    if (s == 0.0f) return a == b;
    return std::fabs(a - b) / s < rel_tol;
}

}  // namespace cellcoef
