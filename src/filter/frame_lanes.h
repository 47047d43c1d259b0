// Element-by-element steps of the post filter's frames (window products,
// scalings, magnitudes), four or two elements side by side at the vector
// levels. Every element gets exactly the number of the plain loop, which
// these steps are; no step sums across elements.
#pragma once

#include "core/simd.h"

namespace quillet {

// x[i] = x[i] * w[i] for i < n.
void multiply_elements(double* x, const double* w, int n, SimdLevel level);

// x[i] = x[i] * s for i < n.
void scale_elements(double* x, double s, int n, SimdLevel level);

// x[i] = s * w[i] * x[i] for i < n, the first product first.
void scale_window_elements(double* x, double s, const double* w, int n, SimdLevel level);

// out[i] = sqrt(re[i] * re[i] + im[i] * im[i]) / divisor for i < n; out may be re.
void magnitudes(const double* re, const double* im, double* out, double divisor, int n, SimdLevel level);

}  // namespace quillet
