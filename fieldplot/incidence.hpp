// Face incidence of a set of boxes on a window of one grid plane.
#pragma once

#include "views.hpp"

namespace fieldplot {

struct IncidenceJob {
    int normal_axis, u_axis, v_axis;  // a permutation of 0, 1, 2
    Index plane;
    Index u_begin, u_end, v_begin, v_end;  // faces u_begin <= i < u_end, v_begin <= j < v_end
    Strided1 coords[3];                    // float64 node coordinates per axis
    Index coord_length[3];
    Strided2 boxes;  // float32 [axis][2 * box + corner]
    Index box_count;
    Strided2 incidence;  // one byte per face, absolute indices
    bool surface_only;
};

// Writes 1 or 0 into every face of the window. Returns false, having written
// nothing, when its scratch memory cannot be allocated.
bool mark_incidence(const IncidenceJob& job);

}  // namespace fieldplot
