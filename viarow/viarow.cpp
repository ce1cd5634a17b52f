// Linear interpolation of complex coefficients, given at ascending positions
// along a row, to other positions. `viarow` takes its count and arrays into
// one Row, records them in the module variables below and runs `calc_p` on
// the Row.
#include "frame.hpp"
#include "unlocked.hpp"
#include "view.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

struct Complex {
    double re;
    double im;
};
static_assert(sizeof(Complex) == 16, "a complex entry is two float64");
static_assert(offsetof(Complex, re) == 0 && offsetof(Complex, im) == 8, "real part first");

// One call's count and arrays, taken once its arguments have parsed and its
// arrays have passed their checks. The kernel reads nothing else, so a pitch
// whose conversion to float runs Python code (which may call viarow again)
// cannot change what this call works on.
struct Row {
    npy_intp n;             // positions and table entries
    const double* x;        // the positions to interpolate at
    const Complex* cf;      // the table values
    const double* pos;      // the table positions, ascending
    Complex* p;             // the results
};

// The module's record of the last call: N and dvia once its arguments have
// parsed, the data addresses once its arrays have passed their checks. Nothing
// reads them; attr and dvia never reach the interpolation.
namespace last_call {
int N;
const double* x;
const Complex* cf;
const double* pos;
Complex* p;
const void* attr;
double dvia;
}  // namespace last_call

// The upper end of the bracket, as the bisection of calc_p finds it:
// a = 0, b = N - 1; while b - a > 1, m = (a + b) / 2 replaces a if
// pos[m] < xi and b otherwise. N >= 2.
npy_intp bisect(const double* table, npy_intp n, double xi)
{
    npy_intp a = 0, b = n - 1;
    while (b - a > 1) {
        const npy_intp m = (a + b) / 2;
        if (table[m] < xi)
            a = m;
        else
            b = m;
    }
    return b;
}

// On an ascending table `table[j] < xi` is true up to some index and false
// after it, and the bisection ends with b at the first index from 1 on where
// it is false (N - 1 if there is none). The searches below find that index
// by other routes and so give the same bracket, on ascending tables only;
// on others calc_p bisects.
bool ascending(const double* table, npy_intp n)
{
    for (npy_intp j = 1; j < n; ++j)
        if (!(table[j - 1] <= table[j])) return false;  // NaNs fail too
    return true;
}

// Two float64 lanes: GCC and Clang compile these vector types to SIMD
// instructions where the target has them and to plain code elsewhere.
typedef double Lanes __attribute__((vector_size(16)));
typedef long long LaneMask __attribute__((vector_size(16)));

constexpr int window = 8;

// How many of the `window` entries from `from` on are below xi. On an
// ascending table those come first, so this is how far to walk.
npy_intp count_below(const double* from, double xi)
{
    const Lanes limit = {xi, xi};
    LaneMask total = {0, 0};
    for (int k = 0; k < window; k += 2) {
        const Lanes entries = frame::load<Lanes>(from + k);
        total += (LaneMask)(entries < limit);  // a true lane is -1
    }
    return -(total[0] + total[1]);
}

// Starts from a previous bracket b: positions that follow each other closely
// are found a few windows further on. Returns -1 for any other.
npy_intp near(const double* table, npy_intp n, double xi, npy_intp b)
{
    constexpr int max_windows = 4;
    // Read before the walk, so that its address does not wait for it.
    const bool before_below = table[b - 1] < xi;
    npy_intp j = b;
    for (int w = 1;; ++w) {
        if (j + window > n - 1) {
            while (j < n - 1 && table[j] < xi) ++j;
            break;
        }
        const npy_intp below = count_below(table + j, xi);
        j += below;
        if (below < window) break;
        if (w == max_windows) return -1;
    }
    // j is N - 1 or not below xi. Without a step, the entry before it may be
    // neither (a position further back); computed without branches, since
    // whether a step was taken is hard to predict.
    if ((j == b) & (b > 1) & !before_below) return -1;
    return j;
}

// Positions are bracketed `block` at a time, and those that are not near
// their hint are searched together.
constexpr int block = 64;

// Branch-free lower bound over table[1 .. n-1], clamped to n - 1, for the
// positions xs[which[q]]; run in step, so that their loads from the table
// overlap.
void search_together(const double* table, npy_intp n, const double* xs, const int* which,
                     int count, npy_intp* bracket)
{
    const double* base[block];
    double xv[block];
    for (int q = 0; q < count; ++q) {
        base[q] = table + 1;
        xv[q] = xs[which[q]];
    }
    for (npy_intp len = n - 1; len > 1;) {
        const npy_intp half = len / 2;
        for (int q = 0; q < count; ++q) base[q] = base[q][half] < xv[q] ? base[q] + half : base[q];
        len -= half;
    }
    for (int q = 0; q < count; ++q) {
        const npy_intp j = (base[q] - table) + (*base[q] < xv[q]);
        bracket[which[q]] = j < n ? j : n - 1;
    }
}

// Whether the results share memory with the n doubles from `in`.
bool writes_into(const Row& row, const double* in)
{
    const auto out_first = reinterpret_cast<std::uintptr_t>(row.p);
    const auto in_first = reinterpret_cast<std::uintptr_t>(in);
    return out_first < in_first + row.n * sizeof(double) &&
           in_first < out_first + row.n * sizeof(Complex);
}

// Position i on the table interval from a to b.
void interpolate(const Row& row, npy_intp i, npy_intp a, npy_intp b)
{
    const double xa = row.pos[a];
    const double width = row.pos[b] - xa;
    // Not clamped: positions outside the table are extrapolated from the
    // first or last interval.
    const double fact = width == 0 ? 0.0 : (row.x[i] - xa) / width;
    row.p[i].re = (1 - fact) * row.cf[a].re + fact * row.cf[b].re;
    row.p[i].im = (1 - fact) * row.cf[a].im + fact * row.cf[b].im;
}

void calc_p(const Row& row)
{
    const npy_intp n = row.n;
    const double* const x = row.x;
    const double* const pos = row.pos;
    if (n == 1) {
        // A single entry brackets every position with a = b = 0.
        interpolate(row, 0, 0, 0);
        return;
    }
    if (n < 2) return;
    // The searches below bracket a block of positions before any of its
    // results is written, on a table checked once: an output over the
    // positions or the table would change them under way. There, as on
    // tables not ascending, each position is bisected in turn.
    if (writes_into(row, x) || writes_into(row, pos) || !ascending(pos, n)) {
        for (npy_intp i = 0; i < n; ++i) {
            const npy_intp b = bisect(pos, n, x[i]);
            interpolate(row, i, b - 1, b);
        }
        return;
    }
    // Even and odd positions start from separate hints, so that two walks
    // that do not wait for each other are under way at any time. Which hint
    // a search starts from does not change the bracket it finds.
    npy_intp hint_even = 1, hint_odd = 1;
    for (npy_intp start = 0; start < n; start += block) {
        const int count = static_cast<int>(std::min<npy_intp>(block, n - start));
        npy_intp bracket[block];
        int far[block];
        int far_count = 0;
        auto place = [&](int j, npy_intp& hint) {
            const npy_intp b = near(pos, n, x[start + j], hint);
            if (b < 0)
                far[far_count++] = j;
            else
                hint = bracket[j] = b;
        };
        for (int j = 0; j < count; j += 2) {
            place(j, hint_even);
            if (j + 1 < count) place(j + 1, hint_odd);
        }
        search_together(pos, n, x + start, far, far_count, bracket);
        hint_even = hint_odd = bracket[count - 1];
        for (int j = 0; j < count; ++j) interpolate(row, start + j, bracket[j] - 1, bracket[j]);
    }
}

PyObject* viarow(PyObject* args)
{
    int count;
    double pitch;
    PyObject *x_obj, *cf_obj, *pos_obj, *p_obj, *attr_obj;
    if (!frame::parse(args, "iOOOOOd", &count, &x_obj, &cf_obj, &pos_obj, &p_obj, &attr_obj,
                      &pitch))
        return nullptr;
    last_call::N = count;
    last_call::dvia = pitch;
    if (!frame::require_arrays({x_obj, p_obj, cf_obj, pos_obj, attr_obj})) return nullptr;
    frame::Contiguous<const double> x_view, pos_view;
    frame::Contiguous<const Complex> cf_view;
    frame::Contiguous<Complex> p_view;
    if (!frame::view(x_view, x_obj, "_x", count) ||
        !frame::view(p_view, p_obj, "_p", count, frame::Access::write) ||
        !frame::view(cf_view, cf_obj, "_cf", count) || !frame::view(pos_view, pos_obj, "_pos", count))
        return nullptr;

    const Row row{count, x_view.data, cf_view.data, pos_view.data, p_view.data};
    last_call::x = row.x;
    last_call::p = row.p;
    last_call::cf = row.cf;
    last_call::pos = row.pos;
    last_call::attr = PyArray_DATA(frame::array(attr_obj));
    {
        // The kernel reads only the Row: a second thread may record its own
        // call in the module variables meanwhile.
        frame::Unlocked unlocked(row.n);
        calc_p(row);
    }
    return PyLong_FromLong(1);
}

PyDoc_STRVAR(module_doc,
"Linear interpolation of complex coefficients, given at ascending positions\n"
"along a row, to other positions. Refusals raise Exception.");

PyDoc_STRVAR(viarow_doc,
"viarow(N, _x, _cf, _pos, _p, _attr, dvia, /)\n"
"--\n"
"\n"
"Interpolates the table (_pos, _cf) linearly at the N positions _x into _p.\n"
"\n"
"_x and _pos: float64, _cf and _p: complex128, each C-contiguous with at\n"
"least N entries. A position is bracketed by bisection of _pos; outside the\n"
"table the end intervals are extended. _attr and dvia are not used. Returns\n"
"1 (also for N <= 0, writing nothing). Raises Exception for arrays too small,\n"
"of another element size, not contiguous, misaligned, or a read-only _p.");

PyMethodDef moduleMethods[] = {
    {"viarow", frame::method<viarow>, METH_VARARGS, viarow_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "viarow", module_doc, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_viarow()
{
    return frame::create(&module_def, {frame::Variant::direct, "Error Parsing Args", "Array Expected", false});
}
