#include "plane.hpp"

#include <cmath>

namespace fieldplot {
namespace {

struct Vec {
    double x[3];
    double operator[](int k) const { return x[k]; }
};

Vec operator+(const Vec& a, const Vec& b) { return {{a[0] + b[0], a[1] + b[1], a[2] + b[2]}}; }
Vec operator-(const Vec& a, const Vec& b) { return {{a[0] - b[0], a[1] - b[1], a[2] - b[2]}}; }
Vec operator*(double s, const Vec& a) { return {{s * a[0], s * a[1], s * a[2]}}; }
double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double length(const Vec& a) { return std::sqrt(dot(a, a)); }

// Component m is a[m+1] b[m+2] - a[m+2] b[m+1], indices modulo 3.
Vec cross(const Vec& a, const Vec& b)
{
    return {{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]}};
}

Vec unit(const Vec& a)
{
    const double l = length(a);
    return {{a[0] / l, a[1] / l, a[2] / l}};
}

// Two unit vectors spanning the plane perpendicular to the unit vector d: the
// normalised products of d with the axes, skipping those within about 2.9
// degrees of d; the second is the first later one perpendicular to the first
// within 0.05, or else d x b0.
void base_vectors(const Vec& d, Vec& b0, Vec& b1)
{
    Vec candidates[3];
    int found = 0;
    for (int t = 0; t < 3; ++t) {
        Vec e{{0, 0, 0}};
        e.x[t] = 1;
        const Vec c = cross(d, e);
        const double l = length(c);
        if (l <= 0.05) continue;
        candidates[found++] = {{c[0] / l, c[1] / l, c[2] / l}};
    }
    b0 = candidates[0];
    for (int k = 1; k < found; ++k) {
        if (std::fabs(dot(candidates[k], b0)) <= 0.05) {
            b1 = candidates[k];
            return;
        }
    }
    b1 = unit(cross(d, b0));
}

}  // namespace

bool emit_arrows(const PlaneJob& job, Emission& out)
{
    for (Index v = job.v_first; v < job.v_last; ++v) {
        for (Index u = job.u_first; u <= job.u_last; ++u) {
            if (*job.cell_mask.at(u, v) == 0) continue;
            const Index wu = u - job.u_first, wv = v - job.v_first;
            Vec q, p;
            for (int k = 0; k < 3; ++k) {
                q.x[k] = load<float>(job.vectors.at(k, wu, wv));
                p.x[k] = load<float>(job.nodes.at(u, v, k));
            }
            const double norm = length(q);
            if (norm == 0) continue;
            const double f = load<float>(job.colour_values.at(wu, wv));
            const double l = (0.8 * f + 0.2) * job.arrow_scale;
            if (l == 0) continue;
            const double h = 0.5 * l, w = 0.15 * l;
            const Vec d{{q[0] / norm, q[1] / norm, q[2] / norm}};
            Vec b0, b1;
            base_vectors(d, b0, b1);

            const Vec back = p - h * d;
            const Vec a = back - w * b0 - w * b1;
            const Vec b = back - w * b0 + w * b1;
            const Vec c = back + w * b0 + w * b1;
            const Vec dd = back + w * b0 - w * b1;
            const Vec t = p + h * d;

            struct Group {
                Vec normal;
                const Vec* corners[4];
                int size;
            };
            const Group groups[5] = {
                {unit(cross(b - a, dd - a)), {&a, &b, &dd, &c}, 4},
                {unit(cross(c - dd, t - dd)), {&dd, &t, &c}, 3},
                {unit(cross(b - c, t - c)), {&c, &t, &b}, 3},
                {unit(cross(a - b, t - b)), {&b, &t, &a}, 3},
                {unit(cross(dd - a, t - a)), {&a, &t, &dd}, 3},
            };
            for (const Group& g : groups) {
                for (int i = 0; i < g.size; ++i) {
                    const Index row = out.next_row();
                    if (row < 0) return false;
                    for (int k = 0; k < 3; ++k) {
                        store<float>(job.out_positions.at(row, k), static_cast<float>((*g.corners[i])[k]));
                        store<float>(job.out_normals.at(row, k), static_cast<float>(g.normal[k]));
                    }
                    for (int k = 0; k < 4; ++k)
                        store<float>(job.out_colours.at(row, k), load<float>(job.nodes.at(u, v, NODE_COLOUR + k)));
                }
                if (!out.close_group()) return false;
            }
        }
    }
    return true;
}

}  // namespace fieldplot
