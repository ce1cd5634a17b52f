// Face incidence of a set of boxes on a window of one grid plane.
#pragma once

#include "view.hpp"

#include <cstdint>

namespace fieldplot {

using frame::Index;
using frame::load;
using frame::store;

struct IncidenceJob {
    int normal_axis, u_axis, v_axis;  // a permutation of 0, 1, 2
    Index plane;
    Index u_begin, u_end, v_begin, v_end;  // faces u_begin <= i < u_end, v_begin <= j < v_end
    frame::Unaligned<const double, 1> coords[3];  // node coordinates per axis
    Index coord_length[3];
    frame::Unaligned<const float, 2> boxes;  // [axis][2 * box + corner]
    Index box_count;
    frame::Unaligned<std::uint8_t, 2> incidence;  // one per face, absolute indices
    bool surface_only;
};

// Writes 1 or 0 into every face of the window. Returns false, having written
// nothing, when its scratch memory cannot be allocated.
bool mark_incidence(const IncidenceJob& job);

}  // namespace fieldplot
