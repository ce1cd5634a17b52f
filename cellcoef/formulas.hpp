// Conversion between material pairs (a, b) and update coefficient pairs
// (pm, pl) = (1 / (a + b/2), (a - b/2) / (a + b/2)), and the per-line
// treatments of dispatch.
#pragma once

namespace cellcoef {

// a and b in double precision; the pair is stored in single precision. The
// pair (0, 1) stands for u = 0 and for every pl that would fall below -0.999999.
inline void update_coefficients(double a, double b, float* pm, float* pl)
{
    const double u = a + 0.5 * b;
    const double w = a - 0.5 * b;
    if (u == 0.0) {
        *pm = 0.0f;
        *pl = 1.0f;
        return;
    }
    *pm = static_cast<float>(1.0 / u);
    *pl = static_cast<float>(w / u);
    if (*pl < -0.999999) {
        *pm = 0.0f;
        *pl = 1.0f;
    }
}

// pm and pl in double precision; the material pair is stored in single precision.
inline void recover_parameters(double pm, double pl, float* a, float* b)
{
    if (pm == 0.0) {
        *a = 0.0f;
        *b = 1e30f;
        return;
    }
    *a = static_cast<float>((pl + 1.0) * 0.5 / pm);
    *b = static_cast<float>((1.0 - pl) / pm);
}

}  // namespace cellcoef
