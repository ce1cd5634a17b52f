#include "formulas.hpp"
