#include "plane.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace fieldplot {
namespace {

double node_value(const PlaneJob& job, Index u, Index v, int k)
{
    return load<float>(job.nodes.at(u, v, k));
}

// One row u of the node table: positions lifted by the scaled height, and
// colours from the ramp of |colour value|, doubled for arrows, unless contours
// leave them alone.
void node_row(const PlaneJob& job, Index u, double base)
{
    const Index s1 = job.nodes.step[1], s2 = job.nodes.step[2];
    const Index wu = u - job.u_first;
    const double pu = load<double>(job.coords[job.u_axis].at(u));
    const bool colours = job.contour_levels == 0;
    const double gain = job.geometry == Geometry::arrows ? 2 : 1;
    const float alpha = static_cast<float>(job.alpha);
    auto put = [s2](char* node, int k, double value) {
        store<float>(node + k * s2, static_cast<float>(value));
    };
    char* node = job.nodes.at(u, job.v_first, 0);
    for (Index v = job.v_first; v <= job.v_last; ++v, node += s1) {
        const Index wv = v - job.v_first;
        const double h =
            job.height_scale != 0 ? double(load<float>(job.height_values.at(wu, wv))) : 0.0;
        put(node, NODE_POSITION + job.u_axis, pu);
        put(node, NODE_POSITION + job.v_axis, load<double>(job.coords[job.v_axis].at(v)));
        put(node, NODE_POSITION + job.normal_axis, job.height_scale * h + base);

        const double c = std::fabs(double(load<float>(job.colour_values.at(wu, wv))));
        if (!colours) continue;
        float rgb[3];
        ramp(c, gain, rgb);
        for (int k = 0; k < 3; ++k) store<float>(node + (NODE_COLOUR + k) * s2, rgb[k]);
        store<float>(node + NODE_ALPHA * s2, alpha);
    }
}

// Unit normals of one row u, which never point to the positive side of the
// normal axis. The last column copies from its left neighbour, the last row
// from the node below; where that neighbour lies outside the window, or the
// difference vectors span no area, the plane's own normal stands in. A row
// needs the positions of the next row and, for the copies, normals of this row
// and of the row before.
void normal_row(const PlaneJob& job, Index u)
{
    const Index s0 = job.nodes.step[0], s1 = job.nodes.step[1], s2 = job.nodes.step[2];
    auto get = [s2](const char* node, int k) { return double(load<float>(node + k * s2)); };
    char* node = job.nodes.at(u, job.v_first, 0);
    for (Index v = job.v_first; v <= job.v_last; ++v, node += s1) {
        double n[3] = {0, 0, 0};
        bool flat = false;
        if (u == job.u_last || v == job.v_last) {
            const bool along_u = u == job.u_last;
            const bool outside = along_u ? u == job.u_first : v == job.v_first;
            if (outside) {
                flat = true;
            } else {
                const char* source = node - (along_u ? s0 : s1);
                for (int k = 0; k < 3; ++k) n[k] = get(source, NODE_NORMAL + k);
            }
        } else {
            double du[3], dv[3];
            for (int k = 0; k < 3; ++k) {
                const double p = get(node, NODE_POSITION + k);
                du[k] = get(node + s0, NODE_POSITION + k) - p;
                dv[k] = get(node + s1, NODE_POSITION + k) - p;
            }
            for (int m = 0; m < 3; ++m) {
                const int a = (m + 1) % 3, b = (m + 2) % 3;
                n[m] = du[a] * dv[b] - du[b] * dv[a];
            }
        }
        float unit[3];
        unit_normal(n, flat, job.normal_axis, unit);
        for (int k = 0; k < 3; ++k) store<float>(node + (NODE_NORMAL + k) * s2, unit[k]);
    }
}

// The node pass, and in surface mode the normal pass. Each node's values
// depend only on the inputs and on the nodes named above, so the two passes
// run row by row, a row's normals right after the next row's positions, while
// both rows are in cache.
void fill_nodes(const PlaneJob& job)
{
    const double base = load<double>(job.coords[job.normal_axis].at(job.plane));
    const bool normals = job.geometry == Geometry::surface;
    for (Index u = job.u_first; u <= job.u_last; ++u) {
        node_row(job, u, base);
        if (normals && u > job.u_first) normal_row(job, u - 1);
    }
    if (normals) normal_row(job, job.u_last);
}

// A surface vertex: position, normal and colour of node (u, v).
void write_node(const PlaneJob& job, Index u, Index v, Index row)
{
    const char* node = job.nodes.at(u, v, 0);
    if (job.packed_rows) {
        std::memcpy(job.out_positions.at(row, 0), node + NODE_POSITION * 4, 12);
        std::memcpy(job.out_normals.at(row, 0), node + NODE_NORMAL * 4, 12);
        std::memcpy(job.out_colours.at(row, 0), node + NODE_COLOUR * 4, 16);
        return;
    }
    auto get = [&](int k) { return load<float>(node + k * job.nodes.step[2]); };
    for (int k = 0; k < 3; ++k) {
        store<float>(job.out_positions.at(row, k), get(NODE_POSITION + k));
        store<float>(job.out_normals.at(row, k), get(NODE_NORMAL + k));
    }
    for (int k = 0; k < 4; ++k) store<float>(job.out_colours.at(row, k), get(NODE_COLOUR + k));
}

bool selected(const PlaneJob& job, Index u, Index v) { return *job.cell_mask.at(u, v) != 0; }

// Node column u belongs to the strip of row v when it touches a selected cell
// on its right or on its left.
bool in_strip(const PlaneJob& job, Index u, Index v)
{
    return selected(job, u, v) || (u > job.u_first && selected(job, u - 1, v));
}

}  // namespace

bool emit_surface(const PlaneJob& job, Emission& out, Index v_from)
{
    for (Index v = v_from; v < job.v_last; ++v) {
        for (Index u = job.u_first; u <= job.u_last; ++u) {
            if (in_strip(job, u, v)) {
                for (Index w = v; w <= v + 1; ++w) {
                    const Index row = out.next_row();
                    if (row < 0) return false;
                    write_node(job, u, w, row);
                }
            } else if (!out.close_group()) {
                return false;
            }
        }
        if (!out.close_group()) return false;
    }
    return true;
}

namespace {

struct Edge {
    int du1, dv1, du2, dv2;
};
constexpr Edge cell_edges[4] = {{0, 0, 1, 0}, {0, 0, 0, 1}, {1, 1, 1, 0}, {1, 1, 0, 1}};

// Crossings of every level with the edges of the selected cells, as one group
// of points. The levels rise and each edge's t moves monotonically with them,
// so a pass leaves every edge crossing, past for good (t beyond the far end,
// or NaN), or ahead: then it first crosses at its smaller end, or, rounded,
// within about 2^-52 of its span below it, far inside the margin taken here.
// Levels below every edge ahead are skipped, their sum still taken step by
// step, and the loop ends when no edge lies ahead: a huge contour_levels costs
// one pass per level that finds a point, not one per level.
bool emit_contours(const PlaneJob& job, Emission& out)
{
    auto magnitude = [&](Index u, Index v) {
        return std::fabs(double(load<float>(job.height_values.at(u - job.u_first, v - job.v_first))));
    };
    const double step = 1.0 / job.contour_levels;
    double resume = -HUGE_VAL;
    for (double level = step / 2.0; level < 1.0; level += step) {
        if (level < resume) continue;
        bool crossing = false;
        double ahead = HUGE_VAL;
        for (Index v = job.v_first; v < job.v_last; ++v) {
            for (Index u = job.u_first; u < job.u_last; ++u) {
                if (!selected(job, u, v)) continue;
                for (const Edge& e : cell_edges) {
                    const Index u1 = u + e.du1, v1 = v + e.dv1, u2 = u + e.du2, v2 = v + e.dv2;
                    const double a = magnitude(u1, v1), b = magnitude(u2, v2);
                    if (a == b) continue;
                    const double t = (level - b) / (a - b);
                    if (!(0 <= t && t <= 1)) {
                        if (a > b ? t < 0 : t > 1) {
                            const double margin = std::fabs(a - b) * 1e-12 + 1e-12;
                            ahead = std::min(ahead, std::min(a, b) - margin);
                        }
                        continue;
                    }
                    crossing = true;
                    const Index row = out.next_row();
                    if (row < 0) return false;
                    for (int k = 0; k < 3; ++k) {
                        const double p = t * node_value(job, u1, v1, NODE_POSITION + k) +
                                         (1 - t) * node_value(job, u2, v2, NODE_POSITION + k);
                        store<float>(job.out_positions.at(row, k), static_cast<float>(p));
                    }
                }
            }
        }
        if (!crossing && !(ahead < 1.0)) break;
        resume = crossing ? -HUGE_VAL : ahead;
    }
    return out.close_group();
}

}  // namespace

Index fill_plane(const PlaneJob& job)
{
    const bool any_node = job.u_first <= job.u_last && job.v_first <= job.v_last;
    if (any_node && job.geometry == Geometry::surface && job.packed_rows && job.unshared) {
        const Index rows = fill_surface_tiles(job);
        if (rows >= 0) return rows;
    }
    if (any_node) fill_nodes(job);
    Emission out(job);
    switch (job.geometry) {
    case Geometry::surface: emit_surface(job, out, job.v_first); break;
    case Geometry::contour: emit_contours(job, out); break;
    case Geometry::arrows: emit_arrows(job, out); break;
    }
    return out.finish();
}

}  // namespace fieldplot
