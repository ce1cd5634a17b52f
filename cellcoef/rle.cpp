#include "rle.hpp"
