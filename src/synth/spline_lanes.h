// Four doubles side by side in vector lanes, and the block spline read at
// four positions at once. Every operation works on each lane alone, in the
// order the scalar code uses, so each lane holds exactly the scalar result.
// The helpers are always inlined into a caller compiled for one instruction
// set (SSE2 by default, AVX2 under a target attribute), so no vector crosses
// a call.
#pragma once

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
inline __attribute__((always_inline)) Lanes spline_eval_lanes(const SplineBlock& block, Lanes x) {
  constexpr int last_interval = BLOCK_LENGTH - 2;
  const SplinePiece* pieces = block.pieces.data();
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

}  // namespace quillet
