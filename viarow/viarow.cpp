// Linear interpolation of complex coefficients, given at ascending positions
// along a row, to other positions. `viarow` stores its arrays' data in the
// module variables below and runs `calc_p` on them.
#include "checks.hpp"
#include "frame.hpp"

#include <cstddef>

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
// by other routes and so give the same bracket, on ascending tables only.
bool ascending(const double* table, npy_intp n)
{
    for (npy_intp j = 1; j < n; ++j)
        if (!(table[j - 1] <= table[j])) return false;  // NaNs fail too
    return true;
}

// Branch-free lower bound over table[1 .. n-1], clamped to n - 1.
npy_intp first_not_below(const double* table, npy_intp n, double xi)
{
    const double* base = table + 1;
    npy_intp len = n - 1;
    while (len > 1) {
        const npy_intp half = len / 2;
        base = base[half] < xi ? base + half : base;
        len -= half;
    }
    const npy_intp j = (base - table) + (*base < xi);
    return j < n ? j : n - 1;
}

// Starts from the previous bracket: positions that follow each other closely
// are found a few entries on, anything else by the full search.
npy_intp first_not_below_from(const double* table, npy_intp n, double xi, npy_intp b)
{
    constexpr int max_walk = 4;
    for (int step = 0; b < n - 1 && table[b] < xi; ++step, ++b)
        if (step == max_walk) return first_not_below(table, n, xi);
    // Now b is n - 1 or table[b] is not below xi.
    for (int step = 0; b > 1 && !(table[b - 1] < xi); ++step, --b)
        if (step == max_walk) return first_not_below(table, n, xi);
    return b;
}

void calc_p()
{
    const npy_intp n = N;
    // A single entry brackets every position with a = b = 0.
    const bool guided = n >= 2 && ascending(pos, n);
    npy_intp a = 0, b = n >= 2 ? 1 : 0;
    for (npy_intp i = 0; i < n; ++i) {
        const double xi = x[i];
        if (n >= 2) {
            b = guided ? first_not_below_from(pos, n, xi, b) : bisect(pos, n, xi);
            a = b - 1;
        }
        const double xa = pos[a];
        const double width = pos[b] - xa;
        // Not clamped: positions outside the table are extrapolated from the
        // first or last interval.
        const double fact = width == 0 ? 0.0 : (xi - xa) / width;
        p[i].re = (1 - fact) * cf[a].re + fact * cf[b].re;
        p[i].im = (1 - fact) * cf[a].im + fact * cf[b].im;
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
    if (!frame::check_flat(x_arr, "_x", sizeof(double), N) ||
        !frame::check_flat(p_arr, "_p", sizeof(Complex), N) ||
        !frame::check_flat(cf_arr, "_cf", sizeof(Complex), N) ||
        !frame::check_flat(pos_arr, "_pos", sizeof(double), N))
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
