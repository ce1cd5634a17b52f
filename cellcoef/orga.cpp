#include "orga.hpp"
