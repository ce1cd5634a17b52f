// blockdraw: the boundary faces of the voxel model as lit, coloured quads, in
// OpenGL 1.1 immediate mode into the caller's current context.
#include "frame.hpp"
#include "unlocked.hpp"
#include "view.hpp"

#include <GL/gl.h>

#include <cstdint>
#include <cstring>

namespace {

// Elements of a material row that the renderer reads or writes.
constexpr int ROW_FLOATS = 32;
constexpr int VALUE0 = 0, VALUE1 = 1, RED = 4, GREEN = 5, BLUE = 6;

constexpr float UNSET_VALUE = 1234.0f;
constexpr float UNSET_GREY = 0.7f;
constexpr float MARKED_GREY = 0.6f;

// The voxel grid: cells per axis, cell size per axis, and the byte step of
// the material index along each axis.
struct Grid {
    npy_intp n[3];
    double h[3];
    const unsigned char* voxels;
    npy_intp step[3];
};

struct Look {
    float* table;  // rows of ROW_FLOATS, written back with the defaults
    unsigned top;  // the last row, checked to lie in the table
    double threshold0;
    double threshold1;
    float alpha;
};

// The row of a material index. The index was read under the checks, but the
// lock is released while drawing and another thread may change the cells
// meanwhile: an index past the table's last row reads that row instead.
inline float* row_of(const Look& look, unsigned index)
{
    return look.table + ROW_FLOATS * (index < look.top ? index : look.top);
}

inline bool shown(const float* row, const Look& look)
{
    return static_cast<double>(row[VALUE0]) >= look.threshold0 &&
           static_cast<double>(row[VALUE1]) >= look.threshold1;
}

// Writes only an element that differs, bit for bit: once its defaults are in
// place a table is only read, so threads drawing at once may share it.
inline void put(float* element, float value)
{
    if (std::memcmp(element, &value, sizeof value) != 0) *element = value;
}

inline void set_grey(float* row, float grey)
{
    put(row + RED, grey);
    put(row + GREEN, grey);
    put(row + BLUE, grey);
}

// The unset defaults: a zero (or NaN) first value is only looked for on the
// before side of a face, a negative (or NaN) one only on the after side.
inline void default_before(float* row)
{
    if (!(row[VALUE0] < 0.0f || row[VALUE0] > 0.0f)) {
        put(row + VALUE0, UNSET_VALUE);
        set_grey(row, UNSET_GREY);
    }
}

inline void default_after(float* row)
{
    if (!(row[VALUE0] >= 0.0f)) {
        put(row + VALUE0, UNSET_VALUE);
        set_grey(row, UNSET_GREY);
    }
}

// The first cell index from k on, below n, whose material differs from
// `value` along a line of cells `step` bytes apart; n if there is none.
inline npy_intp next_change(const unsigned char* line, npy_intp step, npy_intp k, npy_intp n,
                            unsigned value)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (step == 1) {  // eight cells at a time
        const std::uint64_t pattern = 0x0101010101010101ull * value;
        for (; k + 8 <= n; k += 8) {
            std::uint64_t word;
            std::memcpy(&word, line + k, sizeof word);
            if (word != pattern) return k + (__builtin_ctzll(word ^ pattern) >> 3);
        }
    }
#endif
    const unsigned char* cell = line + k * step;
    for (; k < n && *cell == value; ++k) cell += step;
    return k;
}

// Draws the faces of one pass: faces perpendicular to axis w, in rows of
// faces (l along a, m along u) with face positions k along w. Every count is
// at least 1.
npy_intp draw_pass(const Grid& g, const Look& look, int a)
{
    const int u = (a + 1) % 3, w = (a + 2) % 3;
    const npy_intp na = g.n[a], nu = g.n[u], nw = g.n[w];
    const npy_intp step_w = g.step[w];
    const float* last_row = nullptr;  // colour last sent in this pass
    int last_sign = 0;                // normal last sent in this pass
    npy_intp quads = 0;
    float corner[4][3];
    float normal[3] = {0.0f, 0.0f, 0.0f};

    // Position k between materials `before` and `after` (0 outside the grid).
    auto visit = [&](npy_intp k, unsigned before, unsigned after, bool before_outside,
                     bool after_outside) {
        float* b = row_of(look, before);
        float* f = row_of(look, after);
        default_before(b);
        default_after(f);
        const bool before_shown = !before_outside && shown(b, look);
        const bool after_shown = !after_outside && shown(f, look);
        if (before_shown == after_shown) return;
        ++quads;
        float* row = before_shown ? b : f;
        if (row[VALUE0] == 1.0f) set_grey(row, MARKED_GREY);
        if (row != last_row) {
            const float colour[4] = {row[RED], row[GREEN], row[BLUE], look.alpha};
            glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE, colour);
            last_row = row;
        }
        const int sign = before_shown ? 1 : -1;
        if (sign != last_sign) {
            normal[w] = static_cast<float>(sign);
            glNormal3fv(normal);
            last_sign = sign;
        }
        const float cw = static_cast<float>(static_cast<double>(k) * g.h[w]);
        for (auto& c : corner) c[w] = cw;
        for (const auto& c : corner) glVertex3fv(c);
    };

    for (npy_intp l = 0; l < na; ++l) {
        const float a0 = static_cast<float>(static_cast<double>(l) * g.h[a]);
        const float a1 = static_cast<float>(static_cast<double>(l + 1) * g.h[a]);
        corner[0][a] = corner[3][a] = a0;
        corner[1][a] = corner[2][a] = a1;
        for (npy_intp m = 0; m < nu; ++m) {
            const float u0 = static_cast<float>(static_cast<double>(m) * g.h[u]);
            const float u1 = static_cast<float>(static_cast<double>(m + 1) * g.h[u]);
            corner[0][u] = corner[1][u] = u0;
            corner[2][u] = corner[3][u] = u1;
            glBegin(GL_QUADS);
            const unsigned char* line = g.voxels + l * g.step[a] + m * g.step[u];
            unsigned before = line[0];
            visit(0, 0, before, true, false);
            // Equal neighbours inside the grid are passed over before their
            // row is looked at.
            for (npy_intp k = 1; (k = next_change(line, step_w, k, nw, before)) < nw; ++k) {
                const unsigned after = line[k * step_w];
                visit(k, before, after, false, false);
                before = after;
            }
            visit(nw, before, 0, false, true);
            glEnd();
        }
    }
    return quads;
}

npy_intp draw_hull(const Grid& g, const Look& look)
{
    npy_intp quads = 0;
    for (int a = 0; a < 3; ++a) quads += draw_pass(g, look, a);
    return quads;
}

// With a count of 0 no face exists. Where exactly one count is 0, the rows of
// faces of one pass still hold a position with both sides outside, where row 0
// meets both default tests; nothing else would happen, so the brackets are not
// sent (they could be as many as the product of the two other counts).
void touch_empty_grid(const npy_intp n[3], float* table)
{
    const int zeros = (n[0] == 0) + (n[1] == 0) + (n[2] == 0);
    if (zeros != 1) return;
    default_before(table);
    default_after(table);
}

// Greatest material index among the cells the passes read.
unsigned max_material(const Grid& g)
{
    unsigned top = 0;
    for (npy_intp p2 = 0; p2 < g.n[2]; ++p2)
        for (npy_intp p1 = 0; p1 < g.n[1]; ++p1) {
            const unsigned char* line = g.voxels + p2 * g.step[2] + p1 * g.step[1];
            unsigned char line_top = 0;
            if (g.step[0] == 1) {
                for (npy_intp p0 = 0; p0 < g.n[0]; ++p0)
                    line_top = line[p0] > line_top ? line[p0] : line_top;
            } else {
                for (npy_intp p0 = 0; p0 < g.n[0]; ++p0, line += g.step[0])
                    line_top = *line > line_top ? *line : line_top;
            }
            if (line_top > top) top = line_top;
        }
    return top;
}

// The lowest and one past the highest byte that the passes read of `voxels`.
void voxel_span(const Grid& g, std::uintptr_t& low, std::uintptr_t& high)
{
    low = high = reinterpret_cast<std::uintptr_t>(g.voxels);
    for (int d = 0; d < 3; ++d) {
        const npy_intp reach = (g.n[d] - 1) * g.step[d];
        if (reach < 0)
            low += reach;
        else
            high += reach;
    }
    high += 1;
}

PyObject* blockdraw(PyObject* args)
{
    PyObject *ignored, *counts_obj, *spacing_obj, *voxels_obj, *materials_obj;
    double threshold0, threshold1, alpha;
    if (!frame::parse(args, "OddOOOOd", &ignored, &threshold0, &threshold1, &counts_obj,
                      &spacing_obj, &voxels_obj, &materials_obj, &alpha))
        return nullptr;
    if (!frame::require_arrays({counts_obj, spacing_obj, voxels_obj, materials_obj})) return nullptr;

    Grid g;
    frame::UnalignedContiguous<const std::int32_t> counts;
    if (!frame::view(counts, counts_obj, "counts", 3)) return nullptr;
    for (int d = 0; d < 3; ++d) {
        g.n[d] = counts.load(d);
        if (g.n[d] < 0) return frame::fail_arg("Negative count", "counts");
    }
    frame::UnalignedContiguous<const double> spacing;
    if (!frame::view(spacing, spacing_obj, "spacing", 3)) return nullptr;
    for (int d = 0; d < 3; ++d) g.h[d] = spacing.load(d);
    frame::Strided<const unsigned char, 3> voxels;
    if (!frame::view(voxels, voxels_obj, "voxels", {g.n[2], g.n[1], g.n[0]})) return nullptr;
    g.voxels = voxels.at(0, 0, 0);
    g.step[0] = voxels.step[2];
    g.step[1] = voxels.step[1];
    g.step[2] = voxels.step[0];
    const bool cells = g.n[0] > 0 && g.n[1] > 0 && g.n[2] > 0;
    // Row 0 stands for the outside and is always consulted; every index that
    // occurs needs its row.
    const npy_intp rows = 1 + (cells ? max_material(g) : 0);
    frame::Contiguous<float> materials;
    if (!frame::view(materials, materials_obj, "materials", rows * ROW_FLOATS, frame::Access::write))
        return nullptr;
    float* table = materials.data;
    if (!cells) {
        touch_empty_grid(g.n, table);
        return PyLong_FromSsize_t(0);
    }
    // The defaults written into the table must not change the cells read.
    std::uintptr_t low, high;
    voxel_span(g, low, high);
    const auto table_low = reinterpret_cast<std::uintptr_t>(table);
    const auto table_high = table_low + std::uintptr_t(rows) * ROW_FLOATS * sizeof(float);
    if (low < table_high && table_low < high) return frame::fail_arg("Arrays overlap", "materials");

    // GL calls need only the context current on this thread, never the
    // interpreter, so the drawing runs without the lock.
    const Look look{table, static_cast<unsigned>(rows - 1), threshold0, threshold1,
                    static_cast<float>(alpha)};
    npy_intp quads;
    {
        frame::Unlocked unlocked(g.n[0] * g.n[1] * g.n[2]);
        quads = draw_hull(g, look);
    }
    return PyLong_FromSsize_t(quads);
}

PyDoc_STRVAR(module_doc,
"Draws the boundary faces of a voxel model with OpenGL 1.1 immediate-mode\n"
"calls into the context current on the calling thread. Refusals raise\n"
"Exception before any GL call. MATERIAL_ROW_FLOATS is the width of a row of\n"
"the material table.");

PyDoc_STRVAR(blockdraw_doc,
"blockdraw(ignored, threshold0, threshold1, counts, spacing, voxels, materials,\n"
"          alpha, /)\n"
"--\n"
"\n"
"Draws, as lit quads, every face between a shown and a hidden cell.\n"
"\n"
"counts: three int32 cell counts (N0, N1, N2); spacing: three float64 cell\n"
"sizes; voxels: one-byte material index per cell, [N2][N1][N0]; materials:\n"
"float32 rows of MATERIAL_ROW_FLOATS per material, a row shown when element 0\n"
"is at least threshold0 and element 1 at least threshold1, coloured by\n"
"elements 4 to 6 with `alpha`; unset rows get defaults written back. Returns\n"
"the number of quads drawn. Raises Exception (\"Array expected N\" and\n"
"the refusals of the README's blockdraw section) before any GL call.");

PyMethodDef moduleMethods[] = {
    {"blockdraw", frame::method<blockdraw>, METH_VARARGS, blockdraw_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "blockdraw", module_doc, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_blockdraw()
{
    return frame::create(&module_def,
                         {frame::Variant::direct, "Error parsing args", "Array expected", true},
                         {{"MATERIAL_ROW_FLOATS", ROW_FLOATS}});
}
