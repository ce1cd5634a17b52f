// Display arrays of a field plane: the node table, then surface strips,
// contour points or arrows.
#pragma once

#include "views.hpp"

namespace fieldplot {

enum class Geometry { surface, contour, arrows };

struct PlaneJob {
    int normal_axis, u_axis, v_axis;  // a permutation of 0, 1, 2
    Index plane;
    Index u_first, u_last, v_first, v_last;  // window nodes, both ends inclusive
    Strided1 coords[3];                      // float64 node coordinates per axis
    Strided2 cell_mask;                      // one byte, [u][v] absolute
    Strided2 colour_values, height_values;   // float32, window-relative
    Strided2 out_normals, out_positions, out_colours;  // float32 rows
    Strided1 out_counts;                     // int32 group lengths
    Index counts_length;
    Index capacity;  // rows of out_positions
    double height_scale;
    Strided3 nodes;  // float32 [u][v][10] absolute
    int contour_levels;
    double alpha;
    Geometry geometry;
    Strided3 vectors;  // float32 [axis][u][v] window-relative, arrows only
    double arrow_scale;
    // The node record and the output rows are packed floats: a vertex is
    // three block copies.
    bool packed_rows;
};

// Fills the node table and emits the geometry; returns the number of rows written.
Index fill_plane(const PlaneJob& job);

// Rows of the output written, groups closed into out_counts. A vertex goes to
// row `count` only while count <= capacity - 10, and a group's entry only while
// one entry stays free for the closing 0; past either limit emission stops.
class Emission {
public:
    explicit Emission(const PlaneJob& job)
        : capacity_(job.capacity), counts_(job.out_counts), counts_length_(job.counts_length)
    {
    }

    // The row for the next vertex, or -1 when the output is full.
    Index next_row()
    {
        if (count_ > capacity_ - 10) return -1;
        ++open_;
        return count_++;
    }

    // Writes the open group's length; false when out_counts has no room for it.
    bool close_group()
    {
        if (open_ == 0) return true;
        if (groups_ + 1 >= counts_length_) return false;
        store<std::int32_t>(counts_.at(groups_), static_cast<std::int32_t>(open_));
        ++groups_;
        open_ = 0;
        return true;
    }

    // Closes the list with 0 and returns the rows written; an open group stays
    // without entry.
    Index finish()
    {
        store<std::int32_t>(counts_.at(groups_), 0);
        return count_;
    }

private:
    Index capacity_;
    Strided1 counts_;
    Index counts_length_;
    Index count_ = 0, open_ = 0, groups_ = 0;
};

// Arrow mode: one pyramid per selected node. Returns false once emission stops.
bool emit_arrows(const PlaneJob& job, Emission& out);

}  // namespace fieldplot
