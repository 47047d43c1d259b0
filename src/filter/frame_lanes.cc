#include "filter/frame_lanes.h"

#include <immintrin.h>

#include <cmath>

namespace quillet {

namespace {

// Each step over the whole vectors of n elements at one level; each
// returns where the plain loop takes over.

int multiply_sse2(double* x, const double* w, int n) {
  int i = 0;
  for (; i + 2 <= n; i += 2) _mm_storeu_pd(x + i, _mm_mul_pd(_mm_loadu_pd(x + i), _mm_loadu_pd(w + i)));
  return i;
}

__attribute__((target("avx2"))) int multiply_avx2(double* x, const double* w, int n) {
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    _mm256_storeu_pd(x + i, _mm256_mul_pd(_mm256_loadu_pd(x + i), _mm256_loadu_pd(w + i)));
  }
  return i;
}

int scale_sse2(double* x, double s, int n) {
  const __m128d scale = _mm_set1_pd(s);
  int i = 0;
  for (; i + 2 <= n; i += 2) _mm_storeu_pd(x + i, _mm_mul_pd(_mm_loadu_pd(x + i), scale));
  return i;
}

__attribute__((target("avx2"))) int scale_avx2(double* x, double s, int n) {
  const __m256d scale = _mm256_set1_pd(s);
  int i = 0;
  for (; i + 4 <= n; i += 4) _mm256_storeu_pd(x + i, _mm256_mul_pd(_mm256_loadu_pd(x + i), scale));
  return i;
}

int scale_window_sse2(double* x, double s, const double* w, int n) {
  const __m128d scale = _mm_set1_pd(s);
  int i = 0;
  for (; i + 2 <= n; i += 2) {
    _mm_storeu_pd(x + i, _mm_mul_pd(_mm_mul_pd(scale, _mm_loadu_pd(w + i)), _mm_loadu_pd(x + i)));
  }
  return i;
}

__attribute__((target("avx2"))) int scale_window_avx2(double* x, double s, const double* w, int n) {
  const __m256d scale = _mm256_set1_pd(s);
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    _mm256_storeu_pd(x + i, _mm256_mul_pd(_mm256_mul_pd(scale, _mm256_loadu_pd(w + i)), _mm256_loadu_pd(x + i)));
  }
  return i;
}

int magnitude_sse2(const double* re, const double* im, double* out, double divisor, int n) {
  const __m128d d = _mm_set1_pd(divisor);
  int i = 0;
  for (; i + 2 <= n; i += 2) {
    const __m128d r = _mm_loadu_pd(re + i);
    const __m128d m = _mm_loadu_pd(im + i);
    _mm_storeu_pd(out + i, _mm_div_pd(_mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(r, r), _mm_mul_pd(m, m))), d));
  }
  return i;
}

__attribute__((target("avx2"))) int magnitude_avx2(const double* re, const double* im, double* out,
                                                   double divisor, int n) {
  const __m256d d = _mm256_set1_pd(divisor);
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d r = _mm256_loadu_pd(re + i);
    const __m256d m = _mm256_loadu_pd(im + i);
    _mm256_storeu_pd(out + i,
                     _mm256_div_pd(_mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(r, r), _mm256_mul_pd(m, m))), d));
  }
  return i;
}

}  // namespace

void multiply_elements(double* x, const double* w, int n, SimdLevel level) {
  int i = 0;
  if (level == SimdLevel::avx2) i = multiply_avx2(x, w, n);
  if (level == SimdLevel::sse2) i = multiply_sse2(x, w, n);
  for (; i < n; ++i) x[i] = x[i] * w[i];
}

void scale_elements(double* x, double s, int n, SimdLevel level) {
  int i = 0;
  if (level == SimdLevel::avx2) i = scale_avx2(x, s, n);
  if (level == SimdLevel::sse2) i = scale_sse2(x, s, n);
  for (; i < n; ++i) x[i] = x[i] * s;
}

void scale_window_elements(double* x, double s, const double* w, int n, SimdLevel level) {
  int i = 0;
  if (level == SimdLevel::avx2) i = scale_window_avx2(x, s, w, n);
  if (level == SimdLevel::sse2) i = scale_window_sse2(x, s, w, n);
  for (; i < n; ++i) x[i] = s * w[i] * x[i];
}

void magnitudes(const double* re, const double* im, double* out, double divisor, int n, SimdLevel level) {
  int i = 0;
  if (level == SimdLevel::avx2) i = magnitude_avx2(re, im, out, divisor, n);
  if (level == SimdLevel::sse2) i = magnitude_sse2(re, im, out, divisor, n);
  for (; i < n; ++i) out[i] = std::sqrt(re[i] * re[i] + im[i] * im[i]) / divisor;
}

}  // namespace quillet
