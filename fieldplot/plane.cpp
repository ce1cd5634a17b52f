#include "plane.hpp"

#include <cmath>

namespace fieldplot {
namespace {

// Node record components.
constexpr int position = 0, normal = 3, colour = 6, alpha_component = 9;

double node_value(const PlaneJob& job, Index u, Index v, int k)
{
    return load<float>(job.nodes.at(u, v, k));
}

void set_node(const PlaneJob& job, Index u, Index v, int k, double value)
{
    store<float>(job.nodes.at(u, v, k), static_cast<float>(value));
}

// Positions lifted by the scaled height; colours from the ramp of |colour
// value|, doubled for arrows, unless contours leave them alone.
void node_pass(const PlaneJob& job)
{
    const double base = load<double>(job.coords[job.normal_axis].at(job.plane));
    for (Index v = job.v_first; v <= job.v_last; ++v) {
        const double pv = load<double>(job.coords[job.v_axis].at(v));
        for (Index u = job.u_first; u <= job.u_last; ++u) {
            const Index wu = u - job.u_first, wv = v - job.v_first;
            const double h =
                job.height_scale != 0 ? double(load<float>(job.height_values.at(wu, wv))) : 0.0;
            set_node(job, u, v, position + job.u_axis, load<double>(job.coords[job.u_axis].at(u)));
            set_node(job, u, v, position + job.v_axis, pv);
            set_node(job, u, v, position + job.normal_axis, job.height_scale * h + base);

            const double c = std::fabs(double(load<float>(job.colour_values.at(wu, wv))));
            if (job.contour_levels != 0) continue;
            double rgb[3];
            if (c < 0.5) {
                rgb[0] = 0;
                rgb[1] = 2 * c;
                rgb[2] = 2 * (0.5 - c);
            } else {
                rgb[0] = 2 * (c - 0.5);
                rgb[1] = 2 * (1 - c);
                rgb[2] = 0;
            }
            const double gain = job.geometry == Geometry::arrows ? 2 : 1;
            for (int k = 0; k < 3; ++k) set_node(job, u, v, colour + k, rgb[k] * gain);
            set_node(job, u, v, alpha_component, job.alpha);
        }
    }
}

// Unit normals that never point to the positive side of the normal axis. The
// last column copies from its left neighbour, the last row from the node
// below, both computed earlier in the loop order; where that neighbour lies
// outside the window, or the difference vectors span no area, the plane's own
// normal stands in.
void normal_pass(const PlaneJob& job)
{
    for (Index v = job.v_first; v <= job.v_last; ++v) {
        for (Index u = job.u_first; u <= job.u_last; ++u) {
            double n[3] = {0, 0, 0};
            bool flat = false;
            if (u == job.u_last || v == job.v_last) {
                const bool along_u = u == job.u_last;
                const bool outside = along_u ? u == job.u_first : v == job.v_first;
                if (outside) {
                    flat = true;
                } else {
                    const Index su = along_u ? u - 1 : u, sv = along_u ? v : v - 1;
                    for (int k = 0; k < 3; ++k) n[k] = node_value(job, su, sv, normal + k);
                }
            } else {
                double du[3], dv[3];
                for (int k = 0; k < 3; ++k) {
                    const double p = node_value(job, u, v, position + k);
                    du[k] = node_value(job, u + 1, v, position + k) - p;
                    dv[k] = node_value(job, u, v + 1, position + k) - p;
                }
                for (int m = 0; m < 3; ++m) {
                    const int a = (m + 1) % 3, b = (m + 2) % 3;
                    n[m] = du[a] * dv[b] - du[b] * dv[a];
                }
            }
            double s = n[0] * n[0] + n[1] * n[1] + n[2] * n[2];
            if (flat || s == 0) {
                n[0] = n[1] = n[2] = 0;
                n[job.normal_axis] = -1;
                s = 1;
            }
            const double f = 1 / std::sqrt(s);
            if (n[job.normal_axis] > 0)
                for (double& x : n) x = -x;
            for (int k = 0; k < 3; ++k) set_node(job, u, v, normal + k, n[k] * f);
        }
    }
}

void copy_components(const PlaneJob& job, Index u, Index v, int first, int count,
                     const Strided2& out, Index row)
{
    for (int k = 0; k < count; ++k)
        store<float>(out.at(row, k), load<float>(job.nodes.at(u, v, first + k)));
}

bool emit_node(const PlaneJob& job, Emission& out, Index u, Index v)
{
    const Index row = out.next_row();
    if (row < 0) return false;
    copy_components(job, u, v, position, 3, job.out_positions, row);
    copy_components(job, u, v, normal, 3, job.out_normals, row);
    copy_components(job, u, v, colour, 4, job.out_colours, row);
    return true;
}

bool selected(const PlaneJob& job, Index u, Index v) { return *job.cell_mask.at(u, v) != 0; }

// One triangle strip per run of node columns that touch a selected cell.
bool emit_surface(const PlaneJob& job, Emission& out)
{
    for (Index v = job.v_first; v < job.v_last; ++v) {
        for (Index u = job.u_first; u <= job.u_last; ++u) {
            const bool belongs = selected(job, u, v) || (u > job.u_first && selected(job, u - 1, v));
            if (belongs) {
                if (!emit_node(job, out, u, v) || !emit_node(job, out, u, v + 1)) return false;
            } else if (!out.close_group()) {
                return false;
            }
        }
        if (!out.close_group()) return false;
    }
    return true;
}

struct Edge {
    int du1, dv1, du2, dv2;
};
constexpr Edge cell_edges[4] = {{0, 0, 1, 0}, {0, 0, 0, 1}, {1, 1, 1, 0}, {1, 1, 0, 1}};

// Crossings of every level with the edges of the selected cells, as one group
// of points.
bool emit_contours(const PlaneJob& job, Emission& out)
{
    auto magnitude = [&](Index u, Index v) {
        return std::fabs(double(load<float>(job.height_values.at(u - job.u_first, v - job.v_first))));
    };
    const double step = 1.0 / job.contour_levels;
    for (double level = step / 2.0; level < 1.0; level += step) {
        for (Index v = job.v_first; v < job.v_last; ++v) {
            for (Index u = job.u_first; u < job.u_last; ++u) {
                if (!selected(job, u, v)) continue;
                for (const Edge& e : cell_edges) {
                    const Index u1 = u + e.du1, v1 = v + e.dv1, u2 = u + e.du2, v2 = v + e.dv2;
                    const double a = magnitude(u1, v1), b = magnitude(u2, v2);
                    if (a == b) continue;
                    const double t = (level - b) / (a - b);
                    if (!(0 <= t && t <= 1)) continue;
                    const Index row = out.next_row();
                    if (row < 0) return false;
                    for (int k = 0; k < 3; ++k) {
                        const double p = t * node_value(job, u1, v1, position + k) +
                                         (1 - t) * node_value(job, u2, v2, position + k);
                        store<float>(job.out_positions.at(row, k), static_cast<float>(p));
                    }
                }
            }
        }
    }
    return out.close_group();
}

}  // namespace

Index fill_plane(const PlaneJob& job)
{
    if (job.u_first <= job.u_last && job.v_first <= job.v_last) {
        node_pass(job);
        if (job.geometry == Geometry::surface) normal_pass(job);
    }
    Emission out(job);
    switch (job.geometry) {
    case Geometry::surface: emit_surface(job, out); break;
    case Geometry::contour: emit_contours(job, out); break;
    case Geometry::arrows: emit_arrows(job, out); break;
    }
    return out.finish();
}

}  // namespace fieldplot
