// Banded linear systems by Gaussian elimination without pivoting: `gauss`
// factors the band in place and records the multipliers, `invmul` applies them
// to a right-hand side and solves by back substitution.
#include "frame.hpp"
#include "unlocked.hpp"
#include "view.hpp"

#include <algorithm>
#include <cstdint>
#include <type_traits>

namespace {

// A float64 matrix and vector addressed through their byte strides.
using Matrix = frame::Strided<double, 2>;
using Vector = frame::Strided<double, 1>;
using Flags = frame::Strided<const std::uint8_t, 1>;

// Band storage: row i, column j holds matrix entry (i, i - h + j). Within a
// row the entries after the first one used are taken 8 bytes apart, which the
// wrapper has made sure is the column stride wherever more than one is used.
//
// The kernels take the half-width as a template argument for the common small
// ones (0: given at run time). With it fixed, the rows that are still being
// updated stay in registers: every pivot, and every solution entry, depends
// on the one before, and a round trip through memory would lengthen that
// chain on every row. The arithmetic and its order are the same either way.

// Elimination with the pivot row and the H rows below it held in registers,
// for as long as all H rows exist. Writes every entry back once it is final
// and returns the pivot row to continue from.
template <int H>
npy_intp gauss_in_registers(Matrix band, Matrix multipliers, npy_intp n)
{
    if (n <= H) return 0;
    double pivot[H + 1];         // row k, columns H .. 2H
    double rows[H + 1][H + 1];   // rows[d]: row k + d, columns H - d .. 2H - d
    for (int t = 0; t <= H; ++t) pivot[t] = band.row(0)[H + t];
    for (int d = 1; d <= H; ++d)
        for (int t = 0; t <= H; ++t) rows[d][t] = band.row(d)[H - d + t];
    for (npy_intp k = 0;;) {
        for (int d = 1; d <= H; ++d) {
            const double f = rows[d][0] / pivot[0];
            multipliers(k, d) = f;
            for (int t = 0; t <= H; ++t) rows[d][t] = rows[d][t] - f * pivot[t];
            band.row(k + d)[H - d] = rows[d][0];  // no later pivot reaches it
        }
        // Row k + 1 becomes the pivot row; column 2H is never updated.
        for (int t = 0; t < H; ++t) pivot[t] = rows[1][t + 1];
        pivot[H] = band.row(k + 1)[2 * H];
        for (int d = 1; d < H; ++d)
            for (int t = 0; t < H; ++t) rows[d][t] = rows[d + 1][t + 1];
        ++k;
        for (int t = 0; t < H; ++t) band.row(k)[H + t] = pivot[t];  // final
        if (k + H >= n) {
            // Fewer than H rows below: hand the rows in flight back to memory.
            for (int d = 1; d < H; ++d)
                for (int t = 0; t < H; ++t) band.row(k + d)[H - d + t] = rows[d][t];
            return k;
        }
        // The windows move one column on; what they gain no pivot has reached yet.
        for (int d = 1; d < H; ++d) rows[d][H] = band.row(k + d)[2 * H - d];
        for (int t = 0; t <= H; ++t) rows[H][t] = band.row(k + H)[t];
    }
}

template <int H>
void gauss_kernel(Matrix band, Matrix multipliers, npy_intp h_given, npy_intp n)
{
    const npy_intp h = H > 0 ? H : h_given;
    // Subtracts pivot row k from the `count` rows below it.
    auto eliminate = [&](npy_intp k, npy_intp count) {
        const double* pivot_row = band.row(k) + h;
        for (npy_intp d = 1; d <= count; ++d) {
            // The eliminated entry is updated like the others and keeps its
            // rounding residue.
            double* target = band.row(k + d) + (h - d);
            const double f = target[0] / pivot_row[0];
            multipliers(k, d) = f;
            for (npy_intp t = 0; t <= h; ++t) target[t] = target[t] - f * pivot_row[t];
        }
    };
    npy_intp k = 0;
    if constexpr (H > 0)
        k = gauss_in_registers<H>(band, multipliers, n);
    else
        for (; k + h < n; ++k) eliminate(k, h);
    // The last rows have fewer than h rows below them.
    for (; k + 1 < n; ++k) eliminate(k, n - 1 - k);
}

// Forward elimination with the right-hand sides of rows k .. k + H in
// registers, while all of them exist; returns the row to continue from.
template <int H>
npy_intp forward_in_registers(Matrix multipliers, Vector rhs, npy_intp n)
{
    if (n <= H) return 0;
    double pending[H + 1];
    for (int d = 0; d <= H; ++d) pending[d] = rhs[d];
    for (npy_intp k = 0;;) {
        const double* factors = multipliers.at(k, 1);
        const double f = pending[0];
        for (int d = 1; d <= H; ++d) pending[d] = pending[d] - f * factors[d - 1];
        rhs[k] = pending[0];
        for (int d = 0; d < H; ++d) pending[d] = pending[d + 1];
        ++k;
        if (k + H >= n) {
            for (int d = 0; d < H; ++d) rhs[k + d] = pending[d];
            return k;
        }
        pending[H] = rhs[k + H];
    }
}

// Back substitution from row r down, every row using the H solution entries
// after it, which stay in registers.
template <int H>
void substitute_in_registers(Matrix band, Vector rhs, Vector solution, npy_intp r)
{
    double after[H + 1];  // after[t] = solution[r + t]
    for (int t = 1; t <= H; ++t) after[t] = solution[r + t];
    for (; r >= 0; --r) {
        const double* diagonal = band.at(r, H);
        double s = rhs[r];
        for (int t = 1; t <= H; ++t) s = s - after[t] * diagonal[t];
        const double value = s / diagonal[0];
        solution[r] = value;
        for (int t = H; t > 1; --t) after[t] = after[t - 1];
        after[1] = value;
    }
}

template <int H>
void invmul_kernel(Matrix band, Matrix multipliers, Vector rhs, Vector solution, Flags active,
                   npy_intp h_given, npy_intp n, bool remove_mean)
{
    const npy_intp h = H > 0 ? H : h_given;
    auto is_active = [&](npy_intp t) { return active[t] != 0; };

    for (npy_intp t = 0; t < n; ++t)
        if (!is_active(t)) rhs[t] = 0.0;

    // Forward elimination of row k into the `count` rows below it.
    auto forward = [&](npy_intp k, npy_intp count) {
        // First multiplier of the row through both strides, the rest 8 bytes on.
        const double* factors = multipliers.at(k, 1);
        const double f = rhs[k];
        for (npy_intp d = 1; d <= count; ++d) rhs[k + d] = rhs[k + d] - f * factors[d - 1];
    };
    if (h > 0) {
        npy_intp k = 0;
        if constexpr (H > 0)
            k = forward_in_registers<H>(multipliers, rhs, n);
        else
            for (; k + h < n; ++k) forward(k, h);
        for (; k + 1 < n; ++k) forward(k, n - 1 - k);
    }

    // Back substitution of row r with the `known` solution entries after it;
    // the count grows by one per row up to h.
    auto substitute = [&](npy_intp r, npy_intp known) {
        const double* diagonal = band.at(r, h);
        double s = rhs[r];
        for (npy_intp t = 1; t <= known; ++t) s = s - solution[r + t] * diagonal[t];
        solution[r] = s / diagonal[0];
    };
    npy_intp r = n - 1;
    for (; r >= 0 && n - 1 - r < h; --r) substitute(r, n - 1 - r);
    if constexpr (H > 0) {
        if (r >= 0) substitute_in_registers<H>(band, rhs, solution, r);
    } else {
        for (; r >= 0; --r) substitute(r, h);
    }

    for (npy_intp t = 0; t < n; ++t)
        if (!is_active(t)) solution[t] = 0.0;

    if (!remove_mean) return;
    double sum = 0.0;
    npy_intp count = 0;
    for (npy_intp t = 0; t < n; ++t) {
        sum += solution[t];
        if (is_active(t)) ++count;
    }
    const double mean = sum / count;
    for (npy_intp t = 0; t < n; ++t) solution[t] = solution[t] - mean;
}

// Calls `run` with the half-width as a compile-time constant where it is
// small, and with 0 (given at run time) otherwise.
template <class Run>
void with_halfwidth(npy_intp h, Run run)
{
    switch (h) {
    case 1: return run(std::integral_constant<int, 1>{});
    case 2: return run(std::integral_constant<int, 2>{});
    case 3: return run(std::integral_constant<int, 3>{});
    case 4: return run(std::integral_constant<int, 4>{});
    default: return run(std::integral_constant<int, 0>{});
    }
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
    if (n < 2 || h < 1) return frame::none();
    // Every pivot row reads its h super-diagonals, so the last h rows need the
    // storage beyond the last matrix column too; along a row the kernels step
    // 8 bytes.
    Matrix band, multipliers;
    if (!frame::view(band, band_obj, "band", {n, 2 * h + 1}, frame::Access::write,
                     frame::unit_step(1)) ||
        !frame::view(multipliers, multipliers_obj, "multipliers", {n - 1, h + 1},
                     frame::Access::write))
        return nullptr;
    // The rows held in registers go back to memory only once final: where
    // rows share storage with each other or with the multipliers, a write
    // would go unseen, so such arrays take the loops that follow the steps
    // write by write.
    const npy_intp row_bytes = (2 * h + 1) * static_cast<npy_intp>(sizeof(double));
    const bool apart = (band.step[0] < 0 ? -band.step[0] : band.step[0]) >= row_bytes &&
                       !frame::may_share_memory(frame::array(band_obj), frame::array(multipliers_obj));
    {
        frame::Unlocked unlocked(n * h);
        with_halfwidth(apart ? h : 0,
                       [&](auto fixed) { gauss_kernel<fixed()>(band, multipliers, h, n); });
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
    const frame::Form rows_along = reach >= 1 ? frame::unit_step(1) : frame::Form{};
    const frame::Form along = reach >= 1 ? frame::unit_step(0) : frame::Form{};
    Matrix band, multipliers;
    Vector rhs, solution;
    Flags active;
    if (!frame::view(band, band_obj, "band", {n, 2 * h + 1}, frame::Access::read, rows_along) ||
        !frame::view(multipliers, multipliers_obj, "multipliers", {reach >= 1 ? n - 1 : 0, h + 1},
                     frame::Access::read, reach >= 2 ? frame::unit_step(1) : frame::Form{}) ||
        !frame::view(rhs, rhs_obj, "rhs", {n}, frame::Access::write, along) ||
        !frame::view(solution, solution_obj, "solution", {n}, frame::Access::write, along) ||
        !frame::view(active, active_obj, "active", {n}))
        return nullptr;

    // The forward elimination in registers writes each right-hand side back
    // only once final, which multipliers sharing its memory would not see.
    const bool shared = frame::may_share_memory(frame::array(rhs_obj), frame::array(multipliers_obj));
    {
        frame::Unlocked unlocked(n * (reach + 1));
        with_halfwidth(shared ? 0 : h, [&](auto fixed) {
            invmul_kernel<fixed()>(band, multipliers, rhs, solution, active, h, n,
                                   remove_mean != 0);
        });
    }
    return frame::none();
}

PyDoc_STRVAR(module_doc,
"Banded linear systems by Gaussian elimination without pivoting: gauss\n"
"factors, invmul solves. Band storage: row i, column j holds matrix entry\n"
"(i, i - halfwidth + j), float64. Refusals raise the module's error\n"
"(Exception, or the StandardError bound in __main__ at import) before\n"
"anything is written.");

PyDoc_STRVAR(gauss_doc,
"gauss(band, multipliers, halfwidth, reserved, neq, /)\n"
"--\n"
"\n"
"Factors the neq x neq band matrix in place.\n"
"\n"
"band (float64, neq x (2 halfwidth + 1), rows contiguous) is overwritten with\n"
"the factor U; multipliers (float64, (neq - 1) x (halfwidth + 1)) receives\n"
"the multipliers. reserved is ignored. Returns None. Raises the module's\n"
"error for a negative halfwidth and for arrays too small, of another element\n"
"size, not contiguous along their rows, misaligned or read-only.");

PyDoc_STRVAR(invmul_doc,
"invmul(band, multipliers, rhs, solution, active, halfwidth, reserved, neq,\n"
"       remove_mean, /)\n"
"--\n"
"\n"
"Solves the system that gauss factored for the right-hand side rhs.\n"
"\n"
"Reads band and multipliers as gauss left them and the one-byte flags\n"
"active; overwrites rhs (float64, zeroed where inactive, then eliminated) and\n"
"writes the float64 solution, 0 where inactive, less the mean of the active\n"
"entries when remove_mean is nonzero. Returns None. Raises the module's error\n"
"as gauss does.");

PyMethodDef moduleMethods[] = {
    {"gauss", frame::method<gauss>, METH_VARARGS, gauss_doc},
    {"invmul", frame::method<invmul>, METH_VARARGS, invmul_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_bandsolve", module_doc, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__bandsolve()
{
    return frame::create(&module_def, {frame::Variant::lookup, "Error parsing args", "Array expected", false});
}
