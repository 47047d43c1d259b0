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

// spline_eval of a BLOCK_LENGTH block at the four positions x.
inline __attribute__((always_inline)) Lanes spline_eval_lanes(const SplineBlock& block, Lanes x) {
  constexpr int last_interval = BLOCK_LENGTH - 2;
  const SplinePiece* pieces = block.pieces.data();
  const double origin = static_cast<double>(block.origin);
  const Lanes m = Lanes{std::floor(x[0]), std::floor(x[1]), std::floor(x[2]), std::floor(x[3])};
  const Lanes k_real = m - origin;
  const LaneMask below = !(k_real >= 0.0);
  const LaneMask above = k_real > static_cast<double>(last_interval);
  const SplinePiece* p[4];
  for (int q = 0; q < 4; ++q) {
    const std::size_t k = below[q] ? 0
                          : above[q] ? static_cast<std::size_t>(last_interval + 1)
                                     : static_cast<std::size_t>(k_real[q]);
    p[q] = pieces + k;
  }
  const Lanes y = Lanes{p[0]->y, p[1]->y, p[2]->y, p[3]->y};
  const Lanes b = Lanes{p[0]->b, p[1]->b, p[2]->b, p[3]->b};
  const Lanes c = Lanes{p[0]->c, p[1]->c, p[2]->c, p[3]->c};
  const Lanes d = Lanes{p[0]->d, p[1]->d, p[2]->d, p[3]->d};
  const Lanes t = x - m;
  const Lanes value = ((d * t + c) * t + b) * t + y;
  return (below | above) ? y : value;
}

}  // namespace quillet
