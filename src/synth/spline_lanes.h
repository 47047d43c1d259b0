// Four doubles side by side in vector lanes, and the block spline read at
// four positions at once. Every operation works on each lane alone, in the
// order the scalar code uses, so each lane holds exactly the scalar result.
// The helpers are always inlined into a caller compiled for one instruction
// set (SSE2 by default, AVX2 under a target attribute), so no vector crosses
// a call.
#pragma once

#include <immintrin.h>

#include <cmath>
#include <cstddef>

#include "synth/spline.h"

// No vector crosses a call (every helper is always inlined), so the warning
// about the vector calling convention does not apply; it is reported at the
// end of the including file, so it stays off there.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace quillet {

typedef double Lanes __attribute__((vector_size(32)));
typedef long long LaneMask __attribute__((vector_size(32)));

// One Lanes value in memory; the record keeps its alignment inside containers.
struct alignas(32) LaneSlot {
  Lanes value;
};

inline __attribute__((always_inline)) Lanes load_lanes(const double* p) {
  return Lanes{p[0], p[1], p[2], p[3]};
}

typedef int IndexLanes __attribute__((vector_size(16)));

// std::floor of each lane in vector operations: bit for bit below 2^51 in
// magnitude, where (x + 1.5 * 2^52) - 1.5 * 2^52 is x rounded to the nearest
// whole number, exactly, and a result above x is one too high. From 2^51 on
// the result is within one of floor(x): far outside any block, so such a
// position is read as floor's would be. NaN and the infinities come out as
// floor gives them, and zero keeps its sign.
inline __attribute__((always_inline)) Lanes floor_lanes(Lanes x) {
  constexpr double ROUNDER = 6755399441055744.0;  // 1.5 * 2^52
  const Lanes nearest = (x + ROUNDER) - ROUNDER;
  const Lanes lowered = nearest > x ? nearest - 1.0 : nearest;
  return x == 0.0 ? x : lowered;
}

// spline_eval of a BLOCK_LENGTH block at the four positions x.
inline __attribute__((always_inline)) Lanes spline_eval_lanes(const SplineView& block, Lanes x) {
  constexpr int last_interval = BLOCK_LENGTH - 2;
  const SplinePiece* pieces = block.pieces;
  const double origin = static_cast<double>(block.origin);
  const Lanes m = floor_lanes(x);
  const Lanes k_real = m - origin;
  const LaneMask below = !(k_real >= 0.0);
  const LaneMask above = k_real > static_cast<double>(last_interval);
  // Interval numbers: 0 below the block (and for NaN), the last piece above
  // it; whole numbers below 3072, so their conversion is exact.
  const Lanes k = below ? Lanes{0.0, 0.0, 0.0, 0.0} : above ? Lanes{0.0, 0.0, 0.0, 0.0} + (last_interval + 1) : k_real;
  const IndexLanes index = __builtin_convertvector(k, IndexLanes);
  const Lanes r0 = load_lanes(&pieces[index[0]].y);
  const Lanes r1 = load_lanes(&pieces[index[1]].y);
  const Lanes r2 = load_lanes(&pieces[index[2]].y);
  const Lanes r3 = load_lanes(&pieces[index[3]].y);
  // Rows {y, b, c, d} of the four pieces into columns.
  const Lanes yc01 = __builtin_shufflevector(r0, r1, 0, 4, 2, 6);
  const Lanes bd01 = __builtin_shufflevector(r0, r1, 1, 5, 3, 7);
  const Lanes yc23 = __builtin_shufflevector(r2, r3, 0, 4, 2, 6);
  const Lanes bd23 = __builtin_shufflevector(r2, r3, 1, 5, 3, 7);
  const Lanes y = __builtin_shufflevector(yc01, yc23, 0, 1, 4, 5);
  const Lanes c = __builtin_shufflevector(yc01, yc23, 2, 3, 6, 7);
  const Lanes b = __builtin_shufflevector(bd01, bd23, 0, 1, 4, 5);
  const Lanes d = __builtin_shufflevector(bd01, bd23, 2, 3, 6, 7);
  const Lanes t = x - m;
  const Lanes value = ((d * t + c) * t + b) * t + y;
  return (below | above) ? y : value;
}

// spline_eval_lanes in AVX2 instructions: the floor in one rounding, and the
// four pieces' rows brought into columns by loading their halves into place
// (two halves of two pieces per load pair) and four unpacks, instead of
// eight shuffles. The same operations on every lane, so the same bits.
__attribute__((target("avx2"), always_inline)) inline Lanes spline_eval_lanes_avx2(const SplineView& block,
                                                                                    Lanes x_lanes) {
  constexpr int last_interval = BLOCK_LENGTH - 2;
  const double* pieces = &block.pieces->y;
  const __m256d x = reinterpret_cast<__m256d>(x_lanes);
  const __m256d m = _mm256_floor_pd(x);
  const __m256d k_real = _mm256_sub_pd(m, _mm256_set1_pd(static_cast<double>(block.origin)));
  const __m256d below = _mm256_cmp_pd(k_real, _mm256_setzero_pd(), _CMP_NGE_UQ);
  const __m256d above = _mm256_cmp_pd(k_real, _mm256_set1_pd(static_cast<double>(last_interval)), _CMP_GT_OQ);
  const __m256d outside = _mm256_or_pd(below, above);
  const __m256d k = _mm256_blendv_pd(
      _mm256_blendv_pd(k_real, _mm256_set1_pd(static_cast<double>(last_interval + 1)), above),
      _mm256_setzero_pd(), below);
  const __m128i index = _mm256_cvttpd_epi32(k);
  const double* p0 = pieces + 4 * _mm_cvtsi128_si32(index);
  const double* p1 = pieces + 4 * _mm_extract_epi32(index, 1);
  const double* p2 = pieces + 4 * _mm_extract_epi32(index, 2);
  const double* p3 = pieces + 4 * _mm_extract_epi32(index, 3);
  const __m256d yb02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(p0)), _mm_load_pd(p2), 1);
  const __m256d yb13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(p1)), _mm_load_pd(p3), 1);
  const __m256d cd02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(p0 + 2)), _mm_load_pd(p2 + 2), 1);
  const __m256d cd13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(p1 + 2)), _mm_load_pd(p3 + 2), 1);
  const __m256d y = _mm256_unpacklo_pd(yb02, yb13);
  const __m256d b = _mm256_unpackhi_pd(yb02, yb13);
  const __m256d c = _mm256_unpacklo_pd(cd02, cd13);
  const __m256d d = _mm256_unpackhi_pd(cd02, cd13);
  const __m256d t = _mm256_sub_pd(x, m);
  __m256d value = _mm256_add_pd(_mm256_mul_pd(d, t), c);
  value = _mm256_add_pd(_mm256_mul_pd(value, t), b);
  value = _mm256_add_pd(_mm256_mul_pd(value, t), y);
  return reinterpret_cast<Lanes>(_mm256_blendv_pd(value, y, outside));
}

}  // namespace quillet
