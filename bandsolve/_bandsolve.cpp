// Banded linear systems by Gaussian elimination without pivoting: `gauss`
// factors the band in place and records the multipliers, `invmul` applies them
// to a right-hand side and solves by back substitution.
#include "checks.hpp"
#include "frame.hpp"

#include <algorithm>

namespace {

// A float64 matrix addressed through its two byte strides.
struct Matrix {
    char* data;
    npy_intp row_stride;
    npy_intp col_stride;

    double* row(npy_intp i) const { return reinterpret_cast<double*>(data + i * row_stride); }
    double& at(npy_intp i, npy_intp j) const
    {
        return *reinterpret_cast<double*>(data + i * row_stride + j * col_stride);
    }
};

// A float64 vector addressed through its byte stride.
struct Vector {
    char* data;
    npy_intp stride;

    double& operator[](npy_intp i) const { return *reinterpret_cast<double*>(data + i * stride); }
};

// Arrays the call does not touch were not checked and may have fewer axes.
npy_intp stride_or_zero(PyArrayObject* a, int axis)
{
    return axis < PyArray_NDIM(a) ? PyArray_STRIDE(a, axis) : 0;
}

Matrix matrix_of(PyArrayObject* a)
{
    return {PyArray_BYTES(a), stride_or_zero(a, 0), stride_or_zero(a, 1)};
}

Vector vector_of(PyArrayObject* a) { return {PyArray_BYTES(a), stride_or_zero(a, 0)}; }

// Band storage: row i, column j holds matrix entry (i, i - h + j). Within a
// row the entries after the first one used are taken 8 bytes apart, which the
// wrapper has made sure is the column stride wherever more than one is used.
void gauss_kernel(Matrix band, Matrix multipliers, npy_intp h, npy_intp n)
{
    for (npy_intp k = 0; k + 1 < n; ++k) {
        const double* pivot_row = band.row(k) + h;
        const npy_intp last = std::min(k + h + 1, n);
        for (npy_intp i = k + 1; i < last; ++i) {
            const npy_intp d = i - k;
            // The eliminated entry is updated like the others and keeps its
            // rounding residue.
            double* target = band.row(i) + (h - d);
            const double f = target[0] / pivot_row[0];
            multipliers.at(k, d) = f;
            for (npy_intp t = 0; t <= h; ++t) target[t] = target[t] - f * pivot_row[t];
        }
    }
}

void invmul_kernel(Matrix band, Matrix multipliers, Vector rhs, Vector solution,
                   const char* active, npy_intp active_stride, npy_intp h, npy_intp n,
                   bool remove_mean)
{
    auto is_active = [&](npy_intp t) { return active[t * active_stride] != 0; };

    for (npy_intp t = 0; t < n; ++t)
        if (!is_active(t)) rhs[t] = 0.0;

    for (npy_intp k = 0; k + 1 < n; ++k) {
        const npy_intp count = std::min(k + h + 1, n) - 1 - k;
        if (count <= 0) continue;
        // First multiplier of the row through both strides, the rest 8 bytes on.
        const double* factors = &multipliers.at(k, 1);
        const double f = rhs[k];
        for (npy_intp d = 1; d <= count; ++d) rhs[k + d] = rhs[k + d] - f * factors[d - 1];
    }

    npy_intp q = 0;
    for (npy_intp r = n - 1; r >= 0; --r) {
        const double* diagonal = &band.at(r, h);
        double s = rhs[r];
        for (npy_intp t = 1; t <= q; ++t) s = s - solution[r + t] * diagonal[t];
        solution[r] = s / diagonal[0];
        q = std::min(q + 1, h);
    }

    for (npy_intp t = 0; t < n; ++t)
        if (!is_active(t)) solution[t] = 0.0;

    if (!remove_mean) return;
    double sum = 0.0;
    int count = 0;
    for (npy_intp t = 0; t < n; ++t) {
        sum += solution[t];
        if (is_active(t)) ++count;
    }
    const double mean = sum / count;
    for (npy_intp t = 0; t < n; ++t) solution[t] = solution[t] - mean;
}

// `rows` x `cols` float64 entries reachable through the strides; the rows
// contiguous where a kernel steps 8 bytes along them.
bool check_matrix(PyArrayObject* a, const char* name, npy_intp rows, npy_intp cols,
                  bool steps_along_rows)
{
    if (!frame::check_strided(a, name, sizeof(double), {rows, cols})) return false;
    if (rows > 0 && cols > 0 && steps_along_rows && !frame::check_contiguous_axis(a, name, 1))
        return false;
    return true;
}

bool check_halfwidth(int halfwidth)
{
    if (halfwidth >= 0) return true;
    frame::fail_arg("Negative value", "halfwidth");
    return false;
}

PyObject* gauss(PyObject* args)
{
    PyObject *band_obj, *multipliers_obj;
    int halfwidth, reserved, neq;
    if (!frame::parse(args, "OOiii", &band_obj, &multipliers_obj, &halfwidth, &reserved, &neq))
        return nullptr;
    if (!frame::require_arrays({band_obj, multipliers_obj})) return nullptr;
    if (!check_halfwidth(halfwidth)) return nullptr;

    const npy_intp h = halfwidth, n = neq;
    // Nothing is eliminated without a second row or a sub-diagonal.
    const bool works = n >= 2 && h >= 1;
    PyArrayObject* band = frame::array(band_obj);
    PyArrayObject* multipliers = frame::array(multipliers_obj);
    if (works) {
        // Every pivot row reads its h super-diagonals, so the last h rows need
        // the storage beyond the last matrix column too.
        if (!check_matrix(band, "band", n, 2 * h + 1, true)) return nullptr;
        if (!check_matrix(multipliers, "multipliers", n - 1, h + 1, false)) return nullptr;
        gauss_kernel(matrix_of(band), matrix_of(multipliers), h, n);
    }
    return frame::none();
}

PyObject* invmul(PyObject* args)
{
    PyObject *band_obj, *multipliers_obj, *rhs_obj, *solution_obj, *active_obj;
    int halfwidth, reserved, neq, remove_mean;
    if (!frame::parse(args, "OOOOOiiii", &band_obj, &multipliers_obj, &rhs_obj, &solution_obj,
                      &active_obj, &halfwidth, &reserved, &neq, &remove_mean))
        return nullptr;
    if (!frame::require_arrays({band_obj, multipliers_obj, rhs_obj, solution_obj, active_obj}))
        return nullptr;
    if (!check_halfwidth(halfwidth)) return nullptr;

    const npy_intp h = halfwidth;
    const npy_intp n = std::max(neq, 0);
    // Entries further along a row than the first are reached by 8-byte steps
    // once some row couples to a neighbour.
    const npy_intp reach = std::min(h, n - 1);
    PyArrayObject* band = frame::array(band_obj);
    PyArrayObject* multipliers = frame::array(multipliers_obj);
    PyArrayObject* rhs = frame::array(rhs_obj);
    PyArrayObject* solution = frame::array(solution_obj);
    PyArrayObject* active = frame::array(active_obj);
    if (!check_matrix(band, "band", n, 2 * h + 1, reach >= 1)) return nullptr;
    if (!check_matrix(multipliers, "multipliers", reach >= 1 ? n - 1 : 0, h + 1, reach >= 2))
        return nullptr;
    for (auto [vector, name] : {std::pair{rhs, "rhs"}, std::pair{solution, "solution"}}) {
        if (!frame::check_strided(vector, name, sizeof(double), {n})) return nullptr;
        if (reach >= 1 && !frame::check_contiguous_axis(vector, name, 0)) return nullptr;
    }
    if (!frame::check_strided(active, "active", 1, {n})) return nullptr;

    invmul_kernel(matrix_of(band), matrix_of(multipliers), vector_of(rhs), vector_of(solution),
                  PyArray_BYTES(active), stride_or_zero(active, 0), h, n,
                  remove_mean != 0);
    return frame::none();
}

PyMethodDef moduleMethods[] = {
    {"gauss", frame::method<gauss>, METH_VARARGS, nullptr},
    {"invmul", frame::method<invmul>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_bandsolve", nullptr, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__bandsolve()
{
    return frame::create(&module_def, {frame::Variant::lookup, "Error parsing args", "Array expected", false});
}
