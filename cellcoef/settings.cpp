#include "settings.hpp"

#include <cstdio>
#include <cstdlib>

namespace cellcoef {

float rel_tol = 1e-6f;
int run_limit = 1000;
int debug_mask = 0;

void read_debug_mask()
{
    const char* value = std::getenv("QUORAN_DEBUG_ORGA");
    unsigned mask = 0;
    if (value != nullptr && std::sscanf(value, "%x", &mask) == 1)
        debug_mask = static_cast<int>(mask);
}

}  // namespace cellcoef
