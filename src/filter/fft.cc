#include "filter/fft.h"

#include <immintrin.h>

#include <cmath>
#include <utility>

#include "core/constants.h"
#include "filter/frame_lanes.h"

namespace quillet {

namespace {

// Adds one to value counted with its bits reversed below top_bit: the top bit
// is toggled, and while a toggled bit became 0 the carry moves one bit down.
// Returns value unchanged in its low bits once every bit has carried out.
int reversed_increment(int value, int top_bit) {
  int bit = top_bit;
  value ^= bit;
  while (bit != 0 && (value & bit) == 0) {
    bit >>= 1;
    value ^= bit;
  }
  return value;
}

// The index pairs that trade places in the bit-reversed order of 1024 points,
// and the twiddle index of every butterfly group of every stage, found once.
struct TransformOrder {
  std::vector<std::pair<int, int>> swaps;
  std::vector<int> group_twiddle;  // stage by stage, group by group
};

TransformOrder make_transform_order() {
  TransformOrder order;
  const int n = SPECTRUM_SIZE;
  int j = 0;
  for (int i = 1; i <= n - 2; ++i) {
    j = reversed_increment(j, n / 2);
    if (i < j) order.swaps.emplace_back(i, j);
  }
  for (int half = 1; half < n; half <<= 1) {
    int d = 0;
    for (int group = 0; group < n; group += 2 * half) {
      order.group_twiddle.push_back(d);
      if (group + 2 * half < n) d = reversed_increment(d, n / 4);
    }
  }
  return order;
}

const TransformOrder& transform_order() {
  static const TransformOrder order = make_transform_order();
  return order;
}

void bit_reverse_order(double* re, double* im) {
  for (const auto& [i, j] : transform_order().swaps) {
    std::swap(re[i], re[j]);
    std::swap(im[i], im[j]);
  }
}

// One butterfly of a group with twiddle (wc, ws). The inverse multiplies the
// difference by the twiddle's conjugate.
template <bool inverse>
inline void butterfly(double* __restrict re, double* __restrict im, int i, int t, double wc,
                      double ws) {
  const double dr = re[i] - re[t];
  const double di = im[i] - im[t];
  re[i] = re[i] + re[t];
  im[i] = im[i] + im[t];
  if constexpr (inverse) {
    re[t] = wc * dr + ws * di;
    im[t] = wc * di - ws * dr;
  } else {
    re[t] = wc * dr - ws * di;
    im[t] = wc * di + ws * dr;
  }
}

// Butterflies i = from ... to - 1 of one group, one at a time.
template <bool inverse>
void group_plain(double* __restrict re, double* __restrict im, int from, int to, int half,
                 double wc, double ws) {
  for (int i = from; i < to; ++i) butterfly<inverse>(re, im, i, i + half, wc, ws);
}

// The same butterflies two side by side; every lane does the plain
// operations in the plain order. Returns the first index not done.
template <bool inverse>
int group_sse2(double* __restrict re, double* __restrict im, int from, int to, int half,
               double wc, double ws) {
  const __m128d c = _mm_set1_pd(wc);
  const __m128d s = _mm_set1_pd(ws);
  int i = from;
  for (; i + 2 <= to; i += 2) {
    const int t = i + half;
    const __m128d ri = _mm_loadu_pd(re + i);
    const __m128d rt = _mm_loadu_pd(re + t);
    const __m128d ii = _mm_loadu_pd(im + i);
    const __m128d it = _mm_loadu_pd(im + t);
    const __m128d dr = _mm_sub_pd(ri, rt);
    const __m128d di = _mm_sub_pd(ii, it);
    _mm_storeu_pd(re + i, _mm_add_pd(ri, rt));
    _mm_storeu_pd(im + i, _mm_add_pd(ii, it));
    if constexpr (inverse) {
      _mm_storeu_pd(re + t, _mm_add_pd(_mm_mul_pd(c, dr), _mm_mul_pd(s, di)));
      _mm_storeu_pd(im + t, _mm_sub_pd(_mm_mul_pd(c, di), _mm_mul_pd(s, dr)));
    } else {
      _mm_storeu_pd(re + t, _mm_sub_pd(_mm_mul_pd(c, dr), _mm_mul_pd(s, di)));
      _mm_storeu_pd(im + t, _mm_add_pd(_mm_mul_pd(c, di), _mm_mul_pd(s, dr)));
    }
  }
  return i;
}

// Four side by side, as group_sse2.
template <bool inverse>
__attribute__((target("avx2"))) int group_avx2(double* __restrict re, double* __restrict im,
                                               int from, int to, int half, double wc, double ws) {
  const __m256d c = _mm256_set1_pd(wc);
  const __m256d s = _mm256_set1_pd(ws);
  int i = from;
  for (; i + 4 <= to; i += 4) {
    const int t = i + half;
    const __m256d ri = _mm256_loadu_pd(re + i);
    const __m256d rt = _mm256_loadu_pd(re + t);
    const __m256d ii = _mm256_loadu_pd(im + i);
    const __m256d it = _mm256_loadu_pd(im + t);
    const __m256d dr = _mm256_sub_pd(ri, rt);
    const __m256d di = _mm256_sub_pd(ii, it);
    _mm256_storeu_pd(re + i, _mm256_add_pd(ri, rt));
    _mm256_storeu_pd(im + i, _mm256_add_pd(ii, it));
    if constexpr (inverse) {
      _mm256_storeu_pd(re + t, _mm256_add_pd(_mm256_mul_pd(c, dr), _mm256_mul_pd(s, di)));
      _mm256_storeu_pd(im + t, _mm256_sub_pd(_mm256_mul_pd(c, di), _mm256_mul_pd(s, dr)));
    } else {
      _mm256_storeu_pd(re + t, _mm256_sub_pd(_mm256_mul_pd(c, dr), _mm256_mul_pd(s, di)));
      _mm256_storeu_pd(im + t, _mm256_add_pd(_mm256_mul_pd(c, di), _mm256_mul_pd(s, dr)));
    }
  }
  return i;
}

// Butterflies with their points already in lanes: i-points (ri, ii) and
// t-points (rt, it), each lane with its own twiddle (c, s), the operations of
// butterfly in its order.
template <bool inverse>
__attribute__((target("avx2"), always_inline)) inline void lane_butterflies(
    __m256d& ri, __m256d& ii, __m256d& rt, __m256d& it, __m256d c, __m256d s) {
  const __m256d dr = _mm256_sub_pd(ri, rt);
  const __m256d di = _mm256_sub_pd(ii, it);
  ri = _mm256_add_pd(ri, rt);
  ii = _mm256_add_pd(ii, it);
  if constexpr (inverse) {
    rt = _mm256_add_pd(_mm256_mul_pd(c, dr), _mm256_mul_pd(s, di));
    it = _mm256_sub_pd(_mm256_mul_pd(c, di), _mm256_mul_pd(s, dr));
  } else {
    rt = _mm256_sub_pd(_mm256_mul_pd(c, dr), _mm256_mul_pd(s, di));
    it = _mm256_add_pd(_mm256_mul_pd(c, di), _mm256_mul_pd(s, dr));
  }
}

template <bool inverse>
__attribute__((always_inline)) inline void lane_butterflies(__m128d& ri, __m128d& ii, __m128d& rt,
                                                            __m128d& it, __m128d c, __m128d s) {
  const __m128d dr = _mm_sub_pd(ri, rt);
  const __m128d di = _mm_sub_pd(ii, it);
  ri = _mm_add_pd(ri, rt);
  ii = _mm_add_pd(ii, it);
  if constexpr (inverse) {
    rt = _mm_add_pd(_mm_mul_pd(c, dr), _mm_mul_pd(s, di));
    it = _mm_sub_pd(_mm_mul_pd(c, di), _mm_mul_pd(s, dr));
  } else {
    rt = _mm_sub_pd(_mm_mul_pd(c, dr), _mm_mul_pd(s, di));
    it = _mm_add_pd(_mm_mul_pd(c, di), _mm_mul_pd(s, dr));
  }
}

// The stage of half 1 (512 groups of one butterfly), four groups at a time:
// points g .. g + 7 hold groups q .. q + 3 (q = g / 2); unpacking puts the
// groups q, q + 2, q + 1, q + 3 in the lanes, and their twiddles are put in
// the same order.
template <bool inverse>
__attribute__((target("avx2"))) void first_stage_avx2(double* __restrict re,
                                                      double* __restrict im,
                                                      const SpectralTables& tables) {
  const double* cos_of = tables.stage_cos.data();
  const double* sin_of = tables.stage_sin.data();
  for (int g = 0; g < SPECTRUM_SIZE; g += 8) {
    const int q = g / 2;
    const __m256d ra = _mm256_loadu_pd(re + g), rb = _mm256_loadu_pd(re + g + 4);
    const __m256d ia = _mm256_loadu_pd(im + g), ib = _mm256_loadu_pd(im + g + 4);
    __m256d ri = _mm256_unpacklo_pd(ra, rb), rt = _mm256_unpackhi_pd(ra, rb);
    __m256d ii = _mm256_unpacklo_pd(ia, ib), it = _mm256_unpackhi_pd(ia, ib);
    const __m256d c = _mm256_permute4x64_pd(_mm256_loadu_pd(cos_of + q), 0xD8);
    const __m256d s = _mm256_permute4x64_pd(_mm256_loadu_pd(sin_of + q), 0xD8);
    lane_butterflies<inverse>(ri, ii, rt, it, c, s);
    _mm256_storeu_pd(re + g, _mm256_unpacklo_pd(ri, rt));
    _mm256_storeu_pd(re + g + 4, _mm256_unpackhi_pd(ri, rt));
    _mm256_storeu_pd(im + g, _mm256_unpacklo_pd(ii, it));
    _mm256_storeu_pd(im + g + 4, _mm256_unpackhi_pd(ii, it));
  }
}

// The stage of half 2 (256 groups of two butterflies), two groups at a time:
// points g .. g + 7 hold groups G and G + 1 (G = g / 4); the i-points 0, 1,
// 4, 5 and t-points 2, 3, 6, 7 go to lanes with twiddles G, G, G + 1, G + 1.
template <bool inverse>
__attribute__((target("avx2"))) void second_stage_avx2(double* __restrict re,
                                                       double* __restrict im,
                                                       const SpectralTables& tables) {
  const double* cos_of = tables.stage_cos.data() + SPECTRUM_HALF;
  const double* sin_of = tables.stage_sin.data() + SPECTRUM_HALF;
  for (int g = 0; g < SPECTRUM_SIZE; g += 8) {
    const int group = g / 4;
    const __m256d ra = _mm256_loadu_pd(re + g), rb = _mm256_loadu_pd(re + g + 4);
    const __m256d ia = _mm256_loadu_pd(im + g), ib = _mm256_loadu_pd(im + g + 4);
    __m256d ri = _mm256_permute2f128_pd(ra, rb, 0x20), rt = _mm256_permute2f128_pd(ra, rb, 0x31);
    __m256d ii = _mm256_permute2f128_pd(ia, ib, 0x20), it = _mm256_permute2f128_pd(ia, ib, 0x31);
    const __m256d c = _mm256_permute4x64_pd(_mm256_castpd128_pd256(_mm_loadu_pd(cos_of + group)), 0x50);
    const __m256d s = _mm256_permute4x64_pd(_mm256_castpd128_pd256(_mm_loadu_pd(sin_of + group)), 0x50);
    lane_butterflies<inverse>(ri, ii, rt, it, c, s);
    _mm256_storeu_pd(re + g, _mm256_permute2f128_pd(ri, rt, 0x20));
    _mm256_storeu_pd(re + g + 4, _mm256_permute2f128_pd(ri, rt, 0x31));
    _mm256_storeu_pd(im + g, _mm256_permute2f128_pd(ii, it, 0x20));
    _mm256_storeu_pd(im + g + 4, _mm256_permute2f128_pd(ii, it, 0x31));
  }
}

// The stage of half 1 two groups at a time: points g .. g + 3 hold groups q
// and q + 1 (q = g / 2).
template <bool inverse>
void first_stage_sse2(double* __restrict re, double* __restrict im, const SpectralTables& tables) {
  const double* cos_of = tables.stage_cos.data();
  const double* sin_of = tables.stage_sin.data();
  for (int g = 0; g < SPECTRUM_SIZE; g += 4) {
    const int q = g / 2;
    const __m128d ra = _mm_loadu_pd(re + g), rb = _mm_loadu_pd(re + g + 2);
    const __m128d ia = _mm_loadu_pd(im + g), ib = _mm_loadu_pd(im + g + 2);
    __m128d ri = _mm_unpacklo_pd(ra, rb), rt = _mm_unpackhi_pd(ra, rb);
    __m128d ii = _mm_unpacklo_pd(ia, ib), it = _mm_unpackhi_pd(ia, ib);
    lane_butterflies<inverse>(ri, ii, rt, it, _mm_loadu_pd(cos_of + q), _mm_loadu_pd(sin_of + q));
    _mm_storeu_pd(re + g, _mm_unpacklo_pd(ri, rt));
    _mm_storeu_pd(re + g + 2, _mm_unpackhi_pd(ri, rt));
    _mm_storeu_pd(im + g, _mm_unpacklo_pd(ii, it));
    _mm_storeu_pd(im + g + 2, _mm_unpackhi_pd(ii, it));
  }
}

// The butterflies of every stage, each group's butterflies as wide as the
// level allows and the rest one at a time; the first stages, whose groups are
// narrower than a vector, a vector of groups at a time.
template <bool inverse>
void butterfly_stages(double* __restrict re, double* __restrict im, const SpectralTables& tables,
                      SimdLevel level) {
  const int n = SPECTRUM_SIZE;
  const int* twiddle = transform_order().group_twiddle.data();
  int half = 1;
  if (level == SimdLevel::avx2) {
    first_stage_avx2<inverse>(re, im, tables);
    second_stage_avx2<inverse>(re, im, tables);
    twiddle += SPECTRUM_HALF + SPECTRUM_HALF / 2;
    half = 4;
  } else if (level == SimdLevel::sse2) {
    first_stage_sse2<inverse>(re, im, tables);
    twiddle += SPECTRUM_HALF;
    half = 2;
  }
  for (; half < n; half <<= 1) {
    for (int group = 0; group < n; group += 2 * half) {
      const int d = *twiddle++;
      const double wc = tables.twiddle_cos[d];
      const double ws = tables.twiddle_sin[d];
      const int end = group + half;
      int i = group;
      if (level == SimdLevel::avx2) i = group_avx2<inverse>(re, im, i, end, half, wc, ws);
      if (level != SimdLevel::plain) i = group_sse2<inverse>(re, im, i, end, half, wc, ws);
      group_plain<inverse>(re, im, i, end, half, wc, ws);
    }
  }
}

}  // namespace

SpectralTables make_spectral_tables() {
  SpectralTables tables;
  tables.twiddle_cos.resize(SPECTRUM_HALF);
  tables.twiddle_sin.resize(SPECTRUM_HALF);
  tables.hann_window.resize(SPECTRUM_SIZE);
  tables.sine_window.resize(SPECTRUM_SIZE);
  for (int i = 0; i < SPECTRUM_HALF; ++i) {
    const double angle = i * TWO_PI / SPECTRUM_SIZE;
    tables.twiddle_cos[i] = std::cos(angle);
    tables.twiddle_sin[i] = std::sin(angle);
  }
  for (int i = 0; i < SPECTRUM_SIZE; ++i) {
    tables.hann_window[i] = 0.5 - 0.5 * std::cos((i + 0.5) * TWO_PI / SPECTRUM_SIZE);
    tables.sine_window[i] = std::sin((i + 0.5) * PI / SPECTRUM_SIZE);
  }
  const std::vector<int>& group_twiddle = transform_order().group_twiddle;
  tables.stage_cos.resize(SPECTRUM_HALF + SPECTRUM_HALF / 2);
  tables.stage_sin.resize(tables.stage_cos.size());
  for (std::size_t g = 0; g < tables.stage_cos.size(); ++g) {
    tables.stage_cos[g] = tables.twiddle_cos[group_twiddle[g]];
    tables.stage_sin[g] = tables.twiddle_sin[group_twiddle[g]];
  }
  tables.level = simd_level();
  return tables;
}

void fft_forward(double* re, double* im, int n, const SpectralTables& tables) {
  if (n != SPECTRUM_SIZE) return;
  bit_reverse_order(re, im);
  butterfly_stages<false>(re, im, tables, tables.level);
}

void fft_inverse(double* re, double* im, int n, const SpectralTables& tables) {
  if (n != SPECTRUM_SIZE) return;
  bit_reverse_order(re, im);
  butterfly_stages<true>(re, im, tables, tables.level);
  const double scale = 1.0 / n;
  scale_elements(re, scale, n, tables.level);
  scale_elements(im, scale, n, tables.level);
}

void magnitude_spectrum(double* frame, int n, const SpectralTables& tables) {
  if (n != SPECTRUM_SIZE) return;
  double imaginary[SPECTRUM_SIZE] = {};
  multiply_elements(frame, tables.hann_window.data(), n, tables.level);
  fft_forward(frame, imaginary, n, tables);
  magnitudes(frame, imaginary, frame, n, n, tables.level);
}

}  // namespace quillet
