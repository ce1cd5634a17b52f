#include "lowmem.hpp"
