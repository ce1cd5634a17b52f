// Display arrays of a field plane: the node table, then surface strips,
// contour points or arrows.
//
// Elements are loaded and stored byte-wise: an array's data need not be
// aligned for its element type, and the host may pass overlapping arrays.
#pragma once

#include "view.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace fieldplot {

using frame::Index;
using frame::load;
using frame::store;

// The record of a node in the node table, ten floats in this order.
struct NodeRecord {
    float position[3];
    float normal[3];
    float colour[3];  // the ramp's red, green, blue, followed by
    float alpha;      // the alpha of the call: a vertex copies four colour floats
};
constexpr int NODE_FLOATS = sizeof(NodeRecord) / sizeof(float);
constexpr int NODE_POSITION = offsetof(NodeRecord, position) / sizeof(float);
constexpr int NODE_NORMAL = offsetof(NodeRecord, normal) / sizeof(float);
constexpr int NODE_COLOUR = offsetof(NodeRecord, colour) / sizeof(float);
constexpr int NODE_ALPHA = offsetof(NodeRecord, alpha) / sizeof(float);
static_assert(NODE_FLOATS == 10 && NODE_NORMAL == 3 && NODE_COLOUR == 6 && NODE_ALPHA == 9,
              "NodeRecord layout");

enum class Geometry { surface, contour, arrows };

struct PlaneJob {
    int normal_axis, u_axis, v_axis;  // a permutation of 0, 1, 2
    Index plane;
    Index u_first, u_last, v_first, v_last;  // window nodes, both ends inclusive
    frame::Unaligned<const double, 1> coords[3];       // node coordinates per axis
    frame::Unaligned<const std::uint8_t, 2> cell_mask;  // [u][v] absolute
    frame::Unaligned<const float, 2> colour_values, height_values;  // window-relative
    frame::Unaligned<float, 2> out_normals, out_positions, out_colours;  // rows
    frame::Unaligned<std::int32_t, 1> out_counts;  // group lengths
    Index counts_length;
    Index capacity;  // rows of out_positions
    double height_scale;
    frame::Unaligned<float, 3> nodes;  // [u][v][NODE_FLOATS] absolute
    int contour_levels;
    double alpha;
    Geometry geometry;
    frame::Unaligned<const float, 3> vectors;  // [axis][u][v] window-relative, arrows only
    double arrow_scale;
    // The node record and the output rows are packed floats: a vertex is
    // three block copies.
    bool packed_rows;
    // No array written shares memory with another array of the call, so the
    // order in which elements are written does not change what is read.
    bool unshared;
};

// Fills the node table and emits the geometry; returns the number of rows written.
Index fill_plane(const PlaneJob& job);

// The colour ramp of |colour value| c, times `gain`, as stored: red, green, blue.
inline void ramp(double c, double gain, float rgb[3])
{
    // Both halves computed, then selected: colour values are rarely ordered,
    // and loops over nodes vectorise.
    const bool low = c < 0.5;
    const double rising = 2 * (c - 0.5), falling = 2 * (1 - c);
    const double doubled = 2 * c, rest = 2 * (0.5 - c);
    const double red = low ? 0 : rising;
    const double green = low ? doubled : falling;
    const double blue = low ? rest : 0;
    rgb[0] = static_cast<float>(red * gain);
    rgb[1] = static_cast<float>(green * gain);
    rgb[2] = static_cast<float>(blue * gain);
}

// The stored normal of the product or copy n: n normalised and turned away
// from the positive side of the normal axis; the plane's own normal, -1
// along that axis, where n spans no area or `flat` asks for it.
// Written with selects, not branches, so that loops over nodes vectorise.
inline void unit_normal(const double (&product)[3], bool flat, int normal_axis, float out[3])
{
    const double sum = product[0] * product[0] + product[1] * product[1] + product[2] * product[2];
    const bool plane = flat | (sum == 0);
    double n[3];
    for (int k = 0; k < 3; ++k) n[k] = plane ? (k == normal_axis ? -1.0 : 0.0) : product[k];
    const double f = 1 / std::sqrt(plane ? 1.0 : sum);
    const bool up = n[normal_axis] > 0;
    for (int k = 0; k < 3; ++k) out[k] = static_cast<float>((up ? -n[k] : n[k]) * f);
}

// Rows of the output written, groups closed into out_counts. A vertex goes to
// row `count` only while count <= capacity - 10, and a group's entry only while
// one entry stays free for the closing 0; past either limit emission stops.
class Emission {
public:
    // Emission from `count` rows and `groups` closed groups on, no group open.
    explicit Emission(const PlaneJob& job, Index count = 0, Index groups = 0)
        : capacity_(job.capacity), counts_(job.out_counts), counts_length_(job.counts_length),
          count_(count), groups_(groups)
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
    frame::Unaligned<std::int32_t, 1> counts_;
    Index counts_length_;
    Index count_, open_ = 0, groups_;
};

// Surface mode from row v_from of cells on: one triangle strip per run of node
// columns that touch a selected cell. Returns false once emission stops.
bool emit_surface(const PlaneJob& job, Emission& out, Index v_from);

// Surface mode in tiles of the window, split over the cores: the node table,
// rows and group lengths of fill_plane's passes, bit for bit, for a packed
// node table and packed rows (packed_rows, unshared) of a window with at least
// one node. Returns the rows written, or -1, having written nothing, when its
// scratch memory cannot be had.
Index fill_surface_tiles(const PlaneJob& job);

// Arrow mode: one pyramid per selected node. Returns false once emission stops.
bool emit_arrows(const PlaneJob& job, Emission& out);

}  // namespace fieldplot
