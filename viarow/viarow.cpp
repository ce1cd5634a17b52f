// Linear interpolation of complex coefficients, given at ascending positions
// along a row, to other positions. `viarow` stores its arrays' data in the
// module variables below and runs `calc_p` on them.
#include "checks.hpp"
#include "frame.hpp"
#include "unaligned.hpp"

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

// Set by every accepted call, read by calc_p; they keep the last call's
// addresses afterwards. attr and dvia are stored and never read.
int N;
double* x;
Complex* cf;
double* pos;
Complex* p;
void* attr;
double dvia;

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

// Whether the output shares memory with the n doubles from `in`.
bool writes_into(const double* in, npy_intp n)
{
    const auto out_first = reinterpret_cast<std::uintptr_t>(p);
    const auto in_first = reinterpret_cast<std::uintptr_t>(in);
    return out_first < in_first + n * sizeof(double) && in_first < out_first + n * sizeof(Complex);
}

// Position i on the table interval from a to b.
void interpolate(npy_intp i, npy_intp a, npy_intp b)
{
    const double xa = pos[a];
    const double width = pos[b] - xa;
    // Not clamped: positions outside the table are extrapolated from the
    // first or last interval.
    const double fact = width == 0 ? 0.0 : (x[i] - xa) / width;
    p[i].re = (1 - fact) * cf[a].re + fact * cf[b].re;
    p[i].im = (1 - fact) * cf[a].im + fact * cf[b].im;
}

void calc_p()
{
    const npy_intp n = N;
    if (n == 1) {
        // A single entry brackets every position with a = b = 0.
        interpolate(0, 0, 0);
        return;
    }
    if (n < 2) return;
    // The searches below bracket a block of positions before any of its
    // results is written, on a table checked once: an output over the
    // positions or the table would change them under way. There, as on
    // tables not ascending, each position is bisected in turn.
    if (writes_into(x, n) || writes_into(pos, n) || !ascending(pos, n)) {
        for (npy_intp i = 0; i < n; ++i) {
            const npy_intp b = bisect(pos, n, x[i]);
            interpolate(i, b - 1, b);
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
        for (int j = 0; j < count; ++j) interpolate(start + j, bracket[j] - 1, bracket[j]);
    }
}

PyObject* viarow(PyObject* args)
{
    PyObject *x_obj, *cf_obj, *pos_obj, *p_obj, *attr_obj;
    if (!frame::parse(args, "iOOOOOd", &N, &x_obj, &cf_obj, &pos_obj, &p_obj, &attr_obj, &dvia))
        return nullptr;
    if (!frame::require_arrays({x_obj, p_obj, cf_obj, pos_obj, attr_obj})) return nullptr;
    PyArrayObject* x_arr = frame::array(x_obj);
    PyArrayObject* p_arr = frame::array(p_obj);
    PyArrayObject* cf_arr = frame::array(cf_obj);
    PyArrayObject* pos_arr = frame::array(pos_obj);
    // The entries are read and written as doubles, so they must be aligned.
    auto check = [](PyArrayObject* a, const char* name, int itemsize) {
        return frame::check_flat(a, name, itemsize, N) &&
               (N <= 0 || frame::check_aligned(a, name));
    };
    if (!check(x_arr, "_x", sizeof(double)) || !check(p_arr, "_p", sizeof(Complex)) ||
        (N > 0 && !frame::check_writeable(p_arr, "_p")) ||
        !check(cf_arr, "_cf", sizeof(Complex)) || !check(pos_arr, "_pos", sizeof(double)))
        return nullptr;

    x = static_cast<double*>(PyArray_DATA(x_arr));
    p = static_cast<Complex*>(PyArray_DATA(p_arr));
    cf = static_cast<Complex*>(PyArray_DATA(cf_arr));
    pos = static_cast<double*>(PyArray_DATA(pos_arr));
    attr = PyArray_DATA(frame::array(attr_obj));
    calc_p();
    return PyLong_FromLong(1);
}

PyMethodDef moduleMethods[] = {
    {"viarow", frame::method<viarow>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "viarow", nullptr, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_viarow()
{
    return frame::create(&module_def, {frame::Variant::direct, "Error Parsing Args", "Array Expected", false});
}
