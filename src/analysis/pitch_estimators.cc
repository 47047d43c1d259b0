#include "analysis/pitch_estimators.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "core/constants.h"
#include "core/simd.h"

namespace quillet {

namespace {

// 10000 * (ln(f / g))^2: the squared log-distance of f from g.
double log_distance(double f, double g) {
  const double l = std::log(f / g);
  return 10000.0 * (l * l);
}

// Inserts (freq, height) among entries 1..n, keeping heights in descending
// order; a new entry goes after entries of equal height.
void insert_peak(double* peak_freq, double* peak_height, int n, double freq, double height) {
  int position = n;
  while (position > 1 && peak_height[position - 1] < height) {
    peak_freq[position] = peak_freq[position - 1];
    peak_height[position] = peak_height[position - 1];
    --position;
  }
  peak_freq[position] = freq;
  peak_height[position] = height;
}

// Candidate among entries 1..m-1 whose frequency has other peaks closest to
// its half and its third; sets score to the winner's score (0 when none beats 0).
int best_subharmonic_support(const double* peak_freq, const double* peak_height, int m,
                             double& score) {
  int pick = 0;
  score = 0.0;
  for (int i = 1; i < m; ++i) {
    double half_err = 99999.0, half_height = 0.0;
    double third_err = 99999.0, third_height = 0.0;
    for (int j = 1; j < m; ++j) {
      if (j == i) continue;
      double e = log_distance(peak_freq[i], 2.0 * peak_freq[j]);
      if (e < half_err) {
        half_err = e;
        half_height = peak_height[j];
      }
      e = log_distance(peak_freq[i], 3.0 * peak_freq[j]);
      if (e < third_err) {
        third_err = e;
        third_height = peak_height[j];
      }
    }
    const double s = (half_height + third_height) / (0.01 + half_err + third_err);
    if (s > score) {
      score = s;
      pick = i;
    }
  }
  return pick;
}

// Two doubles handled by one instruction; each lane rounds as a scalar would.
typedef double Pair __attribute__((vector_size(16)));

Pair load_pair(const double* from) {
  Pair value;
  std::memcpy(&value, from, sizeof value);
  return value;
}

// The terms of the autocorrelation that can differ from zero: their offsets
// j in rising order, with x[j] and the weight 0.5 cosine[j] + 0.5 of each
// held twice, ready for two lanes.
struct LagTerms {
  std::vector<int> offsets;
  std::vector<Pair> sample;
  std::vector<Pair> weight;
};

// With finite samples, a zero x[j] or weight makes every term of offset j a
// signed zero, and adding a signed zero leaves a sum that started at +0 as it
// was; such offsets are left out. A non-finite sample keeps every offset.
LagTerms lag_terms(const double* x, int span, int lags, const double* cosine) {
  bool finite = true;
  for (int j = 0; j < span + lags - 1; ++j) finite = finite && std::isfinite(x[j]);
  LagTerms terms;
  for (int j = 0; j < span; ++j) {
    const double w = 0.5 * cosine[j] + 0.5;
    if (finite && (x[j] == 0.0 || w == 0.0)) continue;
    terms.offsets.push_back(j);
    terms.sample.push_back(Pair{x[j], x[j]});
    terms.weight.push_back(Pair{w, w});
  }
  return terms;
}

// 2 * P lags side by side in P pairs; each lane's sum runs over j in order
// and forms x[j] * x[j + lag] * w[j] left to right, as a single lag does.
template <int P>
void autocorrelation_lag_pairs(double* r, const double* x, const LagTerms& terms, int lag,
                               double scale) {
  Pair sums[P];
  for (Pair& sum : sums) sum = Pair{0.0, 0.0};
  const int count = static_cast<int>(terms.offsets.size());
  for (int t = 0; t < count; ++t) {
    const Pair xj = terms.sample[t];
    const Pair wj = terms.weight[t];
    const double* shifted = x + terms.offsets[t] + lag;
#pragma GCC unroll 8
    for (int q = 0; q < P; ++q) sums[q] = sums[q] + xj * load_pair(shifted + 2 * q) * wj;
  }
  for (int q = 0; q < P; ++q) {
    r[lag + 2 * q] = scale * sums[q][0];
    r[lag + 2 * q + 1] = scale * sums[q][1];
  }
}

// 16 lags side by side in four lanes of four, as autocorrelation_lag_pairs:
// each lane's sum runs over j in order, (x[j] * x[j + lag]) * w[j].
__attribute__((target("avx2"))) void autocorrelation_lag_quads(double* r, const double* x,
                                                               const LagTerms& terms, int lag,
                                                               double scale) {
  __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
  const int count = static_cast<int>(terms.offsets.size());
  for (int t = 0; t < count; ++t) {
    const __m256d xj = _mm256_set1_pd(terms.sample[t][0]);
    const __m256d wj = _mm256_set1_pd(terms.weight[t][0]);
    const double* shifted = x + terms.offsets[t] + lag;
    s0 = _mm256_add_pd(s0, _mm256_mul_pd(_mm256_mul_pd(xj, _mm256_loadu_pd(shifted)), wj));
    s1 = _mm256_add_pd(s1, _mm256_mul_pd(_mm256_mul_pd(xj, _mm256_loadu_pd(shifted + 4)), wj));
    s2 = _mm256_add_pd(s2, _mm256_mul_pd(_mm256_mul_pd(xj, _mm256_loadu_pd(shifted + 8)), wj));
    s3 = _mm256_add_pd(s3, _mm256_mul_pd(_mm256_mul_pd(xj, _mm256_loadu_pd(shifted + 12)), wj));
  }
  const __m256d scales = _mm256_set1_pd(scale);
  _mm256_storeu_pd(r + lag, _mm256_mul_pd(scales, s0));
  _mm256_storeu_pd(r + lag + 4, _mm256_mul_pd(scales, s1));
  _mm256_storeu_pd(r + lag + 8, _mm256_mul_pd(scales, s2));
  _mm256_storeu_pd(r + lag + 12, _mm256_mul_pd(scales, s3));
}

// r[lag] for lag = first .. end - 1: with AVX2 sixteen lags at a time, then
// eight (four pairs keep the multipliers busy while each sum waits for its
// previous addition), then two, then one. Every width gives the same bits.
void autocorrelation_lags(double* r, const double* x, const LagTerms& terms, int span, int first,
                          int end, SimdLevel level) {
  const double scale = (1.0 / span) / span;
  int lag = first;
  if (level == SimdLevel::avx2) {
    for (; lag + 16 <= end; lag += 16) autocorrelation_lag_quads(r, x, terms, lag, scale);
  }
  for (; lag + 8 <= end; lag += 8) autocorrelation_lag_pairs<4>(r, x, terms, lag, scale);
  for (; lag + 2 <= end; lag += 2) autocorrelation_lag_pairs<1>(r, x, terms, lag, scale);
  for (; lag < end; ++lag) {
    double sum = 0.0;
    for (size_t t = 0; t < terms.offsets.size(); ++t) {
      const int j = terms.offsets[t];
      sum = sum + x[j] * x[j + lag] * terms.weight[t][0];
    }
    r[lag] = scale * sum;
  }
}

// Sums of one group of eight lags for each block of a batch, kept between
// the stretches of a batched pass.
struct BatchSums {
  alignas(32) double lane[BATCH_BLOCKS][BATCH_LAGS];
};

// Adds the terms of entries a = a0 .. a1 - 1 of a run of blocks to the sums
// of blocks first .. first + NB - 1 (all of which hold entry a): block b reads
// entry a as its offset j = a - b * stride, so its term is
// (x[a] * x[a + lag]) * w[j], as autocorrelation_lag_quads forms it. The
// product of a lane is made once and shared by the blocks; each block's sum
// still runs over its j in order.
template <int NB>
__attribute__((target("avx2"))) void batch_stretch(BatchSums& sums, int first, const double* x,
                                                   const double* w, int stride, int a0, int a1,
                                                   int lag) {
  constexpr int V = BATCH_LAGS / 4;
  __m256d s[NB][V];
  for (int m = 0; m < NB; ++m) {
    for (int v = 0; v < V; ++v) s[m][v] = _mm256_load_pd(sums.lane[first + m] + 4 * v);
  }
  for (int a = a0; a < a1; ++a) {
    const __m256d xa = _mm256_set1_pd(x[a]);
    __m256d p[V];
    for (int v = 0; v < V; ++v) p[v] = _mm256_mul_pd(xa, _mm256_loadu_pd(x + a + lag + 4 * v));
#pragma GCC unroll 16
    for (int m = 0; m < NB; ++m) {
      const __m256d wj = _mm256_set1_pd(w[a - (first + m) * stride]);
      for (int v = 0; v < V; ++v) s[m][v] = _mm256_add_pd(s[m][v], _mm256_mul_pd(p[v], wj));
    }
  }
  for (int m = 0; m < NB; ++m) {
    for (int v = 0; v < V; ++v) _mm256_store_pd(sums.lane[first + m] + 4 * v, s[m][v]);
  }
}

template <int NB>
void batch_stretch_up_to(int blocks, BatchSums& sums, int first, const double* x, const double* w,
                         int stride, int a0, int a1, int lag) {
  if constexpr (NB > 0) {
    if (blocks == NB) {
      batch_stretch<NB>(sums, first, x, w, stride, a0, a1, lag);
    } else {
      batch_stretch_up_to<NB - 1>(blocks, sums, first, x, w, stride, a0, a1, lag);
    }
  }
}

// r[b][lag .. lag + BATCH_LAGS - 1] of the count blocks of a run, block b
// starting at x + b * stride: the entries a of the run are taken in rising
// order, in stretches over which the same blocks hold a, so that every
// block's sum takes its terms with j rising and every term, zeros included.
void batch_lag_group(double* const* r, const double* x, const double* w, int count, int stride,
                     int span, int lag, double scale) {
  BatchSums sums{};
  const int run_end = (count - 1) * stride + span;
  int a = 0;
  while (a < run_end) {
    // Blocks holding entry a: b * stride <= a < b * stride + span.
    const int last = std::min(count - 1, a / stride);
    const int first = a < span ? 0 : (a - span) / stride + 1;
    int next = run_end;
    if (last + 1 < count) next = std::min(next, (last + 1) * stride);
    next = std::min(next, first * stride + span);
    if (first <= last) {
      batch_stretch_up_to<BATCH_BLOCKS>(last - first + 1, sums, first, x, w, stride, a, next, lag);
    }
    a = next;
  }
  for (int b = 0; b < count; ++b) {
    for (int q = 0; q < BATCH_LAGS; ++q) r[b][lag + q] = scale * sums.lane[b][q];
  }
}

// The smallest lag whose region can be a peak: sample_rate / 1102, and at
// least 1 (rates below 1102 Hz: never divide by a zero lag).
int smallest_peak_lag(int sample_rate) {
  const int min_lag = sample_rate / MIN_LAG_DIVISOR;
  return min_lag < 1 ? 1 : min_lag;
}

// Offsets n = first .. end - 1 of a window of half-length length centred on
// block entry block_len / 2 whose block entries exist.
struct WindowSpan {
  int first = 0;
  int end = 0;
};

WindowSpan window_span(int length, int block_len) {
  const int half = block_len / 2;
  WindowSpan span;
  span.first = -length > -half ? -length : -half;
  span.end = length < block_len - half ? length : block_len - half;
  if (span.end < span.first) span.end = span.first;
  return span;
}

// Running sums of one grid index's windowed sum.
struct WindowSums {
  double re = 0.0;
  double im = 0.0;
};

// Adds the terms of offsets n = first .. end - 1: the Hann-weighted sample
// times the cosine and the sine. centre points at block entry block_len / 2;
// f at the factors of offset first.
void add_window_terms(WindowSums& sums, const double* centre, const double* f, int first,
                      int end) {
  double re = sums.re, im = sums.im;
  for (int n = first; n < end; ++n, f += 3) {
    const double v = f[0] * centre[n];
    re = re + f[1] * v;
    im = im - f[2] * v;
  }
  sums.re = re;
  sums.im = im;
}

double window_magnitude(const WindowSums& sums, int length) {
  return std::sqrt((sums.re * sums.re + sums.im * sums.im) / length);
}

// Magnitude of the block at one grid index of half-length length from its
// factors.
double windowed_magnitude(const double* block, int block_len, int length,
                          const std::vector<double>& values) {
  const WindowSpan span = window_span(length, block_len);
  WindowSums sums;
  add_window_terms(sums, block + block_len / 2, values.data(), span.first, span.end);
  return window_magnitude(sums, length);
}

// Magnitudes of two grid indices, a with the longer window (long_len) and b
// (short_len <= long_len), whose offsets lie inside a's. The offsets both
// windows share are summed side by side; each index's sums still run with n
// rising.
void two_windowed_magnitudes(double& magnitude_a, double& magnitude_b, const double* block,
                             int block_len, int long_len, const std::vector<double>& values_a,
                             int short_len, const std::vector<double>& values_b) {
  const WindowSpan a = window_span(long_len, block_len);
  const WindowSpan b = window_span(short_len, block_len);
  const double* centre = block + block_len / 2;
  const double* fa = values_a.data();
  const double* fb = values_b.data();
  WindowSums sa, sb;
  add_window_terms(sa, centre, fa, a.first, b.first);
  fa += 3 * static_cast<size_t>(b.first - a.first);
  double re_a = sa.re, im_a = sa.im, re_b = 0.0, im_b = 0.0;
  for (int n = b.first; n < b.end; ++n, fa += 3, fb += 3) {
    const double x = centre[n];
    const double va = fa[0] * x;
    const double vb = fb[0] * x;
    re_a = re_a + fa[1] * va;
    re_b = re_b + fb[1] * vb;
    im_a = im_a - fa[2] * va;
    im_b = im_b - fb[2] * vb;
  }
  sa = WindowSums{re_a, im_a};
  sb = WindowSums{re_b, im_b};
  add_window_terms(sa, centre, fa, b.end, a.end);
  magnitude_a = window_magnitude(sa, long_len);
  magnitude_b = window_magnitude(sb, short_len);
}

// Up to four blocks' entries side by side: entry i of block b at 4 i + b.
// Lanes past the blocks given hold 0.
void interleave_blocks(std::vector<double>& lanes, const double* x, int count, int stride,
                       int block_len) {
  lanes.assign(4 * static_cast<size_t>(block_len), 0.0);
  for (int b = 0; b < count; ++b) {
    const double* block = x + static_cast<size_t>(b) * stride;
    for (int i = 0; i < block_len; ++i) lanes[4 * static_cast<size_t>(i) + b] = block[i];
  }
}

// The windowed sums of grid indices for four blocks side by side, one block
// per lane, carried between stretches of offsets.
struct FourBlockSums {
  __m256d re;
  __m256d im;
};

// Adds offsets n = first .. end - 1 of one grid index to its four blocks'
// sums: each lane forms v = f0 x, re + f1 v, im - f2 v with n rising, as
// add_window_terms does for one block. centre points at the interleaved
// entry block_len / 2; f at the factors of offset first.
__attribute__((target("avx2"), always_inline)) inline void add_four_block_terms(
    FourBlockSums& sums, const double* centre, const double* f, int first, int end) {
  __m256d re = sums.re, im = sums.im;
  for (int n = first; n < end; ++n, f += 3) {
    const __m256d x = _mm256_loadu_pd(centre + 4 * static_cast<std::ptrdiff_t>(n));
    const __m256d v = _mm256_mul_pd(_mm256_set1_pd(f[0]), x);
    re = _mm256_add_pd(re, _mm256_mul_pd(_mm256_set1_pd(f[1]), v));
    im = _mm256_sub_pd(im, _mm256_mul_pd(_mm256_set1_pd(f[2]), v));
  }
  sums = FourBlockSums{re, im};
}

__attribute__((target("avx2"), always_inline)) inline void store_sums(const FourBlockSums& sums,
                                                                  double* re, double* im) {
  _mm256_storeu_pd(re, sums.re);
  _mm256_storeu_pd(im, sums.im);
}

// One grid index of four blocks: fa at the factors of offset first.
__attribute__((target("avx2"))) void four_block_window_sums(double* re, double* im,
                                                            const double* centre, const double* f,
                                                            int first, int end) {
  FourBlockSums sums{_mm256_setzero_pd(), _mm256_setzero_pd()};
  add_four_block_terms(sums, centre, f, first, end);
  store_sums(sums, re, im);
}

// Two grid indices of four blocks, a with the longer window (offsets
// a_first .. a_end - 1, factors fa) and b inside it: the offsets both share
// are summed side by side, each index's sums still with n rising.
__attribute__((target("avx2"))) void four_block_pair_sums(double* re_a, double* im_a, double* re_b,
                                                          double* im_b, const double* centre,
                                                          const double* fa, WindowSpan a,
                                                          const double* fb, WindowSpan b) {
  FourBlockSums sa{_mm256_setzero_pd(), _mm256_setzero_pd()};
  add_four_block_terms(sa, centre, fa, a.first, b.first);
  fa += 3 * static_cast<size_t>(b.first - a.first);
  __m256d ra = sa.re, ia = sa.im, rb = _mm256_setzero_pd(), ib = _mm256_setzero_pd();
  for (int n = b.first; n < b.end; ++n, fa += 3, fb += 3) {
    const __m256d x = _mm256_loadu_pd(centre + 4 * static_cast<std::ptrdiff_t>(n));
    const __m256d va = _mm256_mul_pd(_mm256_set1_pd(fa[0]), x);
    const __m256d vb = _mm256_mul_pd(_mm256_set1_pd(fb[0]), x);
    ra = _mm256_add_pd(ra, _mm256_mul_pd(_mm256_set1_pd(fa[1]), va));
    rb = _mm256_add_pd(rb, _mm256_mul_pd(_mm256_set1_pd(fb[1]), vb));
    ia = _mm256_sub_pd(ia, _mm256_mul_pd(_mm256_set1_pd(fa[2]), va));
    ib = _mm256_sub_pd(ib, _mm256_mul_pd(_mm256_set1_pd(fb[2]), vb));
  }
  sa = FourBlockSums{ra, ia};
  add_four_block_terms(sa, centre, fa, b.end, a.end);
  store_sums(sa, re_a, im_a);
  store_sums(FourBlockSums{rb, ib}, re_b, im_b);
}

}  // namespace

double estimate_block_f0(const double* block, int span, int sample_rate, double& energy) {
  energy = 0.0;
  if (span < 1) return 0.0;
  const std::vector<double> cosine = autocorr_cosine(span);
  return estimate_block_f0(block, span, sample_rate, cosine.data(), energy);
}

std::vector<double> autocorr_cosine(int span) {
  std::vector<double> cosine(span > 0 ? span : 0);
  const double two_pi = 8.0 * std::atan(1.0);
  for (int j = 0; j < span; ++j) cosine[j] = std::cos(j * two_pi / span);
  return cosine;
}

namespace {

// r[0] summed over every offset j, zero terms included: adding a zero term
// leaves a sum that started at +0 as it was, so with finite samples this is
// the sum that leaves them out, and with a non-finite sample none is left out.
double energy_of_every_term(const double* x, int span, const double* cosine) {
  double sum = 0.0;
  for (int j = 0; j < span; ++j) sum = sum + x[j] * x[j] * (0.5 * cosine[j] + 0.5);
  return (1.0 / span) / span * sum;
}

// The coarse fundamental that the peaks of r[0 .. span - 1] give, or 0.0.
double fundamental_from_autocorrelation(const double* r, int span, int sample_rate) {
  double peak_freq[MAX_PEAKS];
  double peak_height[MAX_PEAKS];
  const int n = collect_autocorr_peaks(peak_freq, peak_height, MAX_PEAKS, r, span, sample_rate);
  const int chosen = choose_fundamental_peak(peak_freq, peak_height, n);
  return chosen > 0 ? peak_freq[chosen] : 0.0;
}

}  // namespace

double estimate_block_f0(const double* block, int span, int sample_rate, const double* cosine,
                         double& energy) {
  energy = 0.0;
  if (span < 1) return 0.0;
  // The peak search reads r[0] and the lags from the smallest peak lag on.
  std::vector<double> r(span);
  const LagTerms terms = lag_terms(block, span, span, cosine);
  autocorrelation_lags(r.data(), block, terms, span, 0, 1, SimdLevel::plain);
  autocorrelation_lags(r.data(), block, terms, span, smallest_peak_lag(sample_rate), span,
                       simd_level());
  energy = r[0];
  return fundamental_from_autocorrelation(r.data(), span, sample_rate);
}

void run_autocorrelation(double* const* r, const double* x, int count, int stride, int span,
                         int first, const double* cosine, SimdLevel level) {
  if (span < 1 || count < 1) return;
  int lag = std::max(first, 0);
  if (level == SimdLevel::avx2 && count <= BATCH_BLOCKS && stride >= 1) {
    std::vector<double> w(span);
    for (int j = 0; j < span; ++j) w[j] = 0.5 * cosine[j] + 0.5;
    const double scale = (1.0 / span) / span;
    for (; lag + BATCH_LAGS <= span; lag += BATCH_LAGS) batch_lag_group(r, x, w.data(), count, stride, span, lag, scale);
  }
  if (lag >= span) return;
  for (int b = 0; b < count; ++b) {
    const double* block = x + static_cast<size_t>(b) * stride;
    autocorrelation_lags(r[b], block, lag_terms(block, span, span, cosine), span, lag, span, level);
  }
}

void estimate_block_f0_batch(const double* x, int count, int stride, int span, int sample_rate,
                             const double* cosine, double* f0, double* energy, SimdLevel level) {
  if (span < 1) {
    for (int b = 0; b < count; ++b) f0[b] = energy[b] = 0.0;
    return;
  }
  std::vector<std::vector<double>> r(count, std::vector<double>(span));
  std::vector<double*> rows(count);
  for (int b = 0; b < count; ++b) {
    rows[b] = r[b].data();
    rows[b][0] = energy_of_every_term(x + static_cast<size_t>(b) * stride, span, cosine);
  }
  run_autocorrelation(rows.data(), x, count, stride, span, smallest_peak_lag(sample_rate), cosine,
                      level);
  for (int b = 0; b < count; ++b) {
    energy[b] = rows[b][0];
    f0[b] = fundamental_from_autocorrelation(rows[b], span, sample_rate);
  }
}

void estimate_block_f0_batch(const double* x, int count, int stride, int span, int sample_rate,
                             const double* cosine, double* f0, double* energy) {
  estimate_block_f0_batch(x, count, stride, span, sample_rate, cosine, f0, energy, simd_level());
}

// r[i] = (1/span)/span * sum_j x[j] * x[j+i] * (0.5 cosine[j] + 0.5).
void weighted_autocorrelation(double* r, const double* x, int span, int lags, const double* cosine,
                              SimdLevel level) {
  if (span < 1) return;
  autocorrelation_lags(r, x, lag_terms(x, span, lags, cosine), span, 0, lags, level);
}

void weighted_autocorrelation(double* r, const double* x, int span, int lags, const double* cosine) {
  weighted_autocorrelation(r, x, span, lags, cosine, simd_level());
}

double weighted_block_energy(const double* x, int span, const double* cosine) {
  if (span < 1) return 0.0;
  double r0 = 0.0;
  autocorrelation_lags(&r0, x, lag_terms(x, span, span, cosine), span, 0, 1, SimdLevel::plain);
  return r0;
}

// Peak regions: runs of lags (from sample_rate / 1102 on) whose value exceeds
// 0.2 r[0]; each closed region lists its highest value at the integer
// frequency sample_rate / lag. Entry 0 marks the zero lag.
int collect_autocorr_peaks(double* peak_freq, double* peak_height, int capacity, const double* r,
                           int span, int sample_rate) {
  if (capacity < 1 || span < 1) return 0;
  const int min_lag = smallest_peak_lag(sample_rate);
  peak_freq[0] = static_cast<double>(sample_rate);
  peak_height[0] = r[0];
  int n = 1;
  bool inside = false;
  double region_max = 0.0;
  int region_lag = 0;
  for (int j = 0; j < span; ++j) {
    if (j >= min_lag && r[j] > PEAK_FLOOR * r[0]) {
      inside = true;
      if (r[j] > region_max) {
        region_max = r[j];
        region_lag = j;
      }
      continue;
    }
    if (!inside) continue;
    if (n < capacity) {
      const double freq = region_lag > 0 ? static_cast<double>(sample_rate / region_lag) : 0.0;
      insert_peak(peak_freq, peak_height, n, freq, region_max);
    }
    ++n;
    inside = false;
    region_max = 0.0;
  }
  return n < capacity ? n : capacity;
}

// Two octave-related top peaks give the higher frequency; otherwise, with four
// or more entries, the candidate with the best sub-harmonic support. Returns
// the chosen entry or 0.
int choose_fundamental_peak(const double* peak_freq, const double* peak_height, int n) {
  if (n <= 1) return 0;
  if (n == 2) return 1;
  int high = 1, low = 2, pick = 1;
  if (!(peak_freq[1] > peak_freq[2])) {
    high = 2;
    low = 1;
    pick = 2;
  }
  const double dev = log_distance(peak_freq[high], 2.0 * peak_freq[low]);
  if (n == 3) {
    if (dev > OCTAVE_TOLERANCE) pick = peak_height[1] > peak_height[2] ? 1 : 2;
    return pick;
  }
  double score = peak_height[pick] / (dev + 0.01);
  if (dev > OCTAVE_TOLERANCE) {
    pick = best_subharmonic_support(peak_freq, peak_height, n < 5 ? n : 5, score);
  }
  return pick > 0 && score > PICK_THRESHOLD ? pick : 0;
}

// Magnitude at grid frequencies lo..hi-1, each through a Hann window of
// 2 * half_window samples centred on block entry block_len / 2, divided by
// the half-length.
void grid_spectrum(double* spectrum, const double* block, int block_len, const FrequencyGrid& grid,
                   int lo, int hi, int sample_rate, double& maximum) {
  maximum = 0.0;
  if (lo < 0) lo = 0;
  if (hi > GRID_SIZE) hi = GRID_SIZE;
  std::vector<double> values;
  for (int k = lo; k < hi; ++k) {
    const int length = grid.half_window[k];
    if (length <= 0) {  // only for a grid built from a rate of 0 or less
      spectrum[k] = 0.0;
      continue;
    }
    make_grid_factors(values, grid, k, block_len, sample_rate);
    spectrum[k] = windowed_magnitude(block, block_len, length, values);
    if (spectrum[k] > maximum) maximum = spectrum[k];
  }
}

void key_grid_factors(GridFactors& factors, int block_len, int sample_rate) {
  if (factors.block_len == block_len && factors.sample_rate == sample_rate) return;
  factors.block_len = block_len;
  factors.sample_rate = sample_rate;
  factors.made.fill(0);
  for (std::vector<double>& values : factors.values) values = std::vector<double>();
}

// The Hann weight 0.5 cos(n pi / L) + 0.5 and the phase cos(n w), sin(n w)
// with w = 2 pi freq[k] / rate, for the offsets whose block entries exist.
void make_grid_factors(std::vector<double>& values, const FrequencyGrid& grid, int k, int block_len,
                       int sample_rate) {
  values.clear();
  const int length = grid.half_window[k];
  if (length <= 0) return;
  const double w0 = TWO_PI / sample_rate;
  const double omega = w0 * grid.freq[k];
  const double c = PI / length;
  const WindowSpan span = window_span(length, block_len);
  values.resize(3 * static_cast<size_t>(span.end - span.first));
  double* f = values.data();
  for (int n = span.first; n < span.end; ++n, f += 3) {
    f[0] = 0.5 * std::cos(n * c) + 0.5;
    f[1] = std::cos(n * omega);
    f[2] = std::sin(n * omega);
  }
}

// Two grid indices at a time, each pair's shared offsets summed side by side.
void grid_spectrum_from_factors(double* spectrum, const double* block, int block_len,
                                const FrequencyGrid& grid, const GridFactors& factors, int lo,
                                int hi, double& maximum) {
  maximum = 0.0;
  if (lo < 0) lo = 0;
  if (hi > GRID_SIZE) hi = GRID_SIZE;
  int k = lo;
  for (; k + 1 < hi; k += 2) {
    const int la = grid.half_window[k], lb = grid.half_window[k + 1];
    if (la <= 0 || lb <= 0) break;
    if (la >= lb) {
      two_windowed_magnitudes(spectrum[k], spectrum[k + 1], block, block_len, la,
                              factors.values[k], lb, factors.values[k + 1]);
    } else {
      two_windowed_magnitudes(spectrum[k + 1], spectrum[k], block, block_len, lb,
                              factors.values[k + 1], la, factors.values[k]);
    }
    if (spectrum[k] > maximum) maximum = spectrum[k];
    if (spectrum[k + 1] > maximum) maximum = spectrum[k + 1];
  }
  for (; k < hi; ++k) {
    const int length = grid.half_window[k];
    spectrum[k] = length <= 0 ? 0.0 : windowed_magnitude(block, block_len, length, factors.values[k]);
    if (spectrum[k] > maximum) maximum = spectrum[k];
  }
}

void grid_spectra_from_factors(double* const* spectra, const double* x, int count, int stride,
                               int block_len, const FrequencyGrid& grid, const GridFactors& factors,
                               int lo, int hi, double* maximum, SimdLevel level) {
  if (level != SimdLevel::avx2 || count > 4 || block_len < 1) {
    for (int b = 0; b < count; ++b) {
      grid_spectrum_from_factors(spectra[b], x + static_cast<size_t>(b) * stride, block_len, grid,
                                 factors, lo, hi, maximum[b]);
    }
    return;
  }
  if (lo < 0) lo = 0;
  if (hi > GRID_SIZE) hi = GRID_SIZE;
  thread_local std::vector<double> lanes;
  interleave_blocks(lanes, x, count, stride, block_len);
  const double* centre = lanes.data() + 4 * static_cast<size_t>(block_len / 2);
  int k = lo;
  for (; k + 1 < hi; k += 2) {  // two indices at a time while both have windows
    const int la = grid.half_window[k], lb = grid.half_window[k + 1];
    if (la <= 0 || lb <= 0) break;
    const int l = la >= lb ? k : k + 1;  // the longer window
    const int s = la >= lb ? k + 1 : k;
    const WindowSpan long_span = window_span(grid.half_window[l], block_len);
    const WindowSpan short_span = window_span(grid.half_window[s], block_len);
    double re_l[4], im_l[4], re_s[4], im_s[4];
    four_block_pair_sums(re_l, im_l, re_s, im_s, centre, factors.values[l].data(), long_span,
                         factors.values[s].data(), short_span);
    for (int b = 0; b < count; ++b) {
      spectra[b][l] = window_magnitude(WindowSums{re_l[b], im_l[b]}, grid.half_window[l]);
      spectra[b][s] = window_magnitude(WindowSums{re_s[b], im_s[b]}, grid.half_window[s]);
    }
  }
  for (; k < hi; ++k) {
    const int length = grid.half_window[k];
    if (length <= 0) {
      for (int b = 0; b < count; ++b) spectra[b][k] = 0.0;
      continue;
    }
    const WindowSpan span = window_span(length, block_len);
    double re[4], im[4];
    four_block_window_sums(re, im, centre, factors.values[k].data(), span.first, span.end);
    for (int b = 0; b < count; ++b) spectra[b][k] = window_magnitude(WindowSums{re[b], im[b]}, length);
  }
  for (int b = 0; b < count; ++b) {
    maximum[b] = 0.0;
    for (int k = lo; k < hi; ++k) {
      if (spectra[b][k] > maximum[b]) maximum[b] = spectra[b][k];
    }
  }
}

void grid_spectra_from_factors(double* const* spectra, const double* x, int count, int stride,
                               int block_len, const FrequencyGrid& grid, const GridFactors& factors,
                               int lo, int hi, double* maximum) {
  grid_spectra_from_factors(spectra, x, count, stride, block_len, grid, factors, lo, hi, maximum,
                            simd_level());
}

// The first local maximum that rises above threshold; 0 when none does.
int first_spectral_peak(const double* spectrum, int lo, int hi, double threshold) {
  enum class Scan { searching, climbing, done };
  Scan state = Scan::searching;
  int result = 0;
  double top = 0.0;
  double previous = 0.0;
  for (int a = lo; a < hi; ++a) {
    const double v = spectrum[a];
    if (state == Scan::searching) {
      if (v > threshold && v > previous) {
        state = Scan::climbing;
        top = v;
        result = a;
      }
    } else if (state == Scan::climbing) {
      if (!(v > threshold)) {
        state = Scan::done;
      } else if (v > top) {
        top = v;
        result = a;
      } else {
        break;
      }
    }
    previous = v;
  }
  return result;
}

}  // namespace quillet
