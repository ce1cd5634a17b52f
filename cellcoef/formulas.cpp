#include "formulas.hpp"

#include <cmath>
#include <cstdio>

namespace cellcoef {
namespace {

inline float* row(float* rows, int k, int n) { return rows + static_cast<std::ptrdiff_t>(k) * n; }

}  // namespace

void scale_plain_cells(int n, const std::int16_t* codes, float* pm_rows, const float* f1,
                       const float* f2)
{
    for (int j = 0; j < 6; ++j) {
        const float factor = f1[j] * f2[j];
        float* pm = row(pm_rows, j, n);
        for (int x = 0; x < n; ++x)
            if ((codes[x] & CODE_TAG) == 0) pm[x] = factor * pm[x];
    }
}

void apply_split_loss(const LossProfile profiles[3], int n, int y, int z, std::int16_t* codes,
                      float* pm_rows, std::int32_t* npm, float* pl_rows, std::int32_t* npl)
{
    for (int x = 0; x < n; ++x) {
        if (code_tag(codes[x]) != TAG_SPLIT_LOSS) continue;
        npm[x] = npl[x] = 2 * 6;
        codes[x] = static_cast<std::int16_t>(codes[x] | CODE_LOSSY);
        float q[6], r[6];
        for (int i = 0; i < 6; ++i) {
            q[i] = row(pm_rows, i, n)[x];
            r[i] = row(pl_rows, i, n)[x];
        }
        for (int i = 0; i < 6; ++i) {
            for (int h = 0; h < 2; ++h) {
                const int m = 2 * i + h;
                const float sx = profiles[0].load(x, m);
                const float sy = profiles[1].load(y, m);
                const float sz = profiles[2].load(z, m);
                float s = std::fabs(sx) + std::fabs(sy) + std::fabs(sz);
                float f = 1.0f;
                // A negative element marks a doubled loss.
                if (sx < 0.0f || sy < 0.0f || sz < 0.0f) {
                    f = 2.0f;
                    s = 2.0f * s;
                }
                float e, g;
                if (s < 1e-7) {
                    e = 1.0f;
                    g = 1.0f;
                } else {
                    e = static_cast<float>(std::exp(static_cast<double>(-s)));
                    g = (1.0f - e) / s;
                }
                row(pm_rows, m, n)[x] = f * q[i] * g;
                row(pl_rows, m, n)[x] = e * r[i];
            }
        }
    }
}

void apply_lumped(double max_stab_par, int n, std::int16_t* codes, float* pm_rows,
                  std::int32_t* npm, float* pl_rows, std::int32_t* npl, int nterms, int ntail)
{
    const int parallel_end = 3 * (nterms - ntail);  // rows of the parallel terms end here
    const int rows_end = 3 * nterms;
    for (int x = 0; x < n; ++x) {
        if (code_tag(codes[x]) != TAG_LUMPED) continue;
        npm[x] = npl[x] = rows_end;
        for (int i = 0; i < 3; ++i) {
            float a, b;
            recover_parameters(row(pm_rows, i, n)[x], row(pl_rows, i, n)[x], &a, &b);
            if (a == 0.0f) continue;
            float s = 0.0f;
            for (int k = i + 6; k < parallel_end; k += 3) {
                float ak, bk;
                recover_parameters(row(pm_rows, k, n)[x], row(pl_rows, k, n)[x], &ak, &bk);
                if (ak == 0.0f)
                    b = b + 1.0f / bk;
                else
                    s = s + 1.0f / ak;
            }
            for (int l = i + parallel_end; l < rows_end; l += 3) {
                float al, bl;
                float* pm = &row(pm_rows, l, n)[x];
                recover_parameters(*pm, row(pl_rows, l, n)[x], &al, &bl);
                if (al != 0.0f) {
                    b = b + bl;
                    *pm = -(bl * bl) * *pm;
                }
            }
            a = static_cast<float>(a + s / max_stab_par);
            update_coefficients(a, b, &row(pm_rows, i, n)[x], &row(pl_rows, i, n)[x]);
        }
        for (int m = 0; m < 3 * (nterms - 2); ++m)
            row(pm_rows, m + 6, n)[x] = row(pm_rows, m + 6, n)[x] * row(pm_rows, m % 3, n)[x];
        codes[x] = static_cast<std::int16_t>(codes[x] | CODE_LOSSY);
    }
}

frame::Ref seq_item(PyObject* seq, Py_ssize_t i, const char* tag)
{
    if (seq == nullptr) {
        std::fprintf(stderr, "Array Expected: %s\n", tag);
        return frame::Ref();
    }
    if (!PySequence_Check(seq)) std::fprintf(stderr, "Array Expected: %s\n", tag);
    // A non-sequence has no length (-1), so its item is out of bounds too.
    const Py_ssize_t length = PySequence_Size(seq);
    if (length < 0) PyErr_Clear();
    if (i < 0 || i >= length)
        std::fprintf(stderr, "Array access out of bounds: %s[%d], Length is %d\n", tag,
                     static_cast<int>(i), static_cast<int>(length));
    return frame::Ref(PySequence_GetItem(seq, i));
}

Fetch fetch_loss_profiles(PyObject* ext, const int positions[3], LossProfiles* out)
{
    static const char* const names[3] = {"loss[0]", "loss[1]", "loss[2]"};
    frame::Ref loss(PyObject_GetAttrString(ext, "loss"));
    if (!loss) {
        frame::fail_arg("Missing attribute", "loss");
        return Fetch::refused;
    }
    for (int axis = 0; axis < 3; ++axis) {
        frame::Ref item = seq_item(loss.get(), axis, "los");
        if (!item) {
            frame::fail_arg("Missing item", "loss");
            return Fetch::refused;
        }
        if (!frame::require_arrays({item.get()})) return Fetch::failed;
        // Positions lie 4 bytes apart; columns are reached through their stride.
        if (!frame::view(out->profiles[axis], item.get(), names[axis],
                         {positions[axis], LOSS_COLUMNS}, frame::Access::read, frame::unit_step(0)))
            return Fetch::refused;
        out->owners[axis] = std::move(item);
    }
    return Fetch::ok;
}

Fetch fetch_max_stab_par(PyObject* ext, double* max_stab_par)
{
    frame::Ref attr(PyObject_GetAttrString(ext, "max_stab_par"));
    if (!attr) {
        frame::fail_arg("Missing attribute", "max_stab_par");
        return Fetch::refused;
    }
    const double p = PyFloat_AsDouble(attr.get());
    if (p == -1.0 && PyErr_Occurred()) return Fetch::failed;
    *max_stab_par = p;
    return Fetch::ok;
}

}  // namespace cellcoef
