// Block conversion of the sample store to doubles, and the natural cubic
// spline through a block. A block can be made from the one a little before
// it, reusing the numbers the two share; it gets exactly the numbers it gets
// solved alone. Two arrays can be solved at once, side by side in vector
// lanes, each getting the numbers it gets alone.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/constants.h"
#include "core/simd.h"
#include "core/wave_info.h"

namespace quillet {

// The spline on one unit interval k: y[k] + b t + c t^2 + d t^3 at k + t.
struct alignas(32) SplinePiece {
  double y = 0.0;
  double b = 0.0;
  double c = 0.0;
  double d = 0.0;
};

// One block of the input with its spline. The caller owns it and reuses it.
// The last piece holds only the last entry (b, c and d are 0).
struct SplineBlock {
  int32_t origin = 0;  // input frame of entry 0; may be negative
  std::vector<SplinePiece> pieces = std::vector<SplinePiece>(BLOCK_LENGTH);
};

// A block's spline as it is read: its pieces, wherever they are kept. A
// SplineBlock reads as one.
struct SplineView {
  int32_t origin = 0;                 // input frame of entry 0
  const SplinePiece* pieces = nullptr;
  int size = 0;                       // entries

  SplineView() = default;
  SplineView(int32_t first_frame, const SplinePiece* first_piece, int entries)
      : origin(first_frame), pieces(first_piece), size(entries) {}
  SplineView(const SplineBlock& block)  // NOLINT: every block reads as a view
      : origin(block.origin), pieces(block.pieces.data()), size(static_cast<int>(block.pieces.size())) {}
};

// Converts count frames starting at first_frame (may be negative) into
// destination, as doubles in raw 16-bit scale. Frames before frame 0 or past
// the end of the store read 0.0; with two or more channels the first channel
// of each frame is read; a channel count below 1 reads silence.
void convert_block(double* destination, const SampleStore& samples, int first_frame, int count,
                   int channels);

// Natural cubic spline coefficients of y[0..n-1] at unit spacing: on interval
// k the signal at k + t is y[k] + b[k] t + c[k] t^2 + d[k] t^3, with
// c[0] = c[n-1] = 0. b and d are set for k = 0 .. n-2.
void spline_compute(const double* y, int n, double* b, double* c, double* d);

// The entries of one spline_compute call: y in, b, c and d out.
struct SplineArrays {
  const double* y;
  double* b;
  double* c;
  double* d;
};

// spline_compute on two arrays of n entries at once, side by side in vector
// lanes, each getting exactly the numbers spline_compute gives it (one after
// the other at the plain level).
void spline_compute_two(SplineArrays first, SplineArrays second, int n);

// Value of the block's spline at absolute input position x (frames). A
// position before the first interval reads the first entry, one past the last
// interval reads the last entry, so no position reads outside the block.
// Defined here so that the loops that call it 34 times per output sample can
// inline it.
inline double spline_eval(const SplineView& block, double x) {
  const int64_t last_interval = static_cast<int64_t>(block.size) - 2;
  if (last_interval < 0) return 0.0;
  const double m = std::floor(x);
  const double k_real = m - static_cast<double>(block.origin);
  if (!(k_real >= 0.0)) return block.pieces[0].y;
  if (k_real > static_cast<double>(last_interval)) {
    return block.pieces[static_cast<std::size_t>(last_interval + 1)].y;
  }
  const SplinePiece& p = block.pieces[static_cast<std::size_t>(k_real)];
  const double t = x - m;
  return ((p.d * t + p.c) * t + p.b) * t + p.y;
}

// Loads the block whose entry 0 is input frame origin and computes its spline.
void load_spline_block(SplineBlock& block, const SampleStore& samples, int origin, int channels);

// A block with the forward-sweep values of its spline kept beside it, so
// that a block a little further on can be made from it. Where the two
// systems overlap, the sweeps of the later block settle within a few dozen
// entries of each of its ends on exactly the numbers of the earlier one
// (every step shrinks a difference to about a quarter, and once a step gives
// the same bits every later step does), so only the entries before they
// meet are worked out; the rest are the earlier block's. The block lies in a
// window four block steps longer than itself, so that a block made from
// itself mostly only moves on in the window; only at the window's end is it
// moved back to the start.
inline constexpr int SWEPT_WINDOW = BLOCK_LENGTH + 4 * BLOCK_STEP;

struct SweptBlock {
  std::vector<SplinePiece> window = std::vector<SplinePiece>(SWEPT_WINDOW);
  std::vector<double> sweep = std::vector<double>(SWEPT_WINDOW);  // the z of the forward sweep
  int first = 0;                       // where the block starts in both
  int32_t origin = 0;                  // input frame of the block's entry 0
  const SampleStore* store = nullptr;  // what the block was loaded from; nullptr: nothing yet
  int channels = 0;
};

// The BLOCK_LENGTH entries of the block, as read.
inline SplineView view_of(const SweptBlock& swept) {
  return SplineView(swept.origin, swept.window.data() + swept.first, BLOCK_LENGTH);
}

// Loads into to the block whose entry 0 is input frame origin, with exactly
// the bits load_spline_block gives it: made from earlier when that holds an
// earlier block of the same store and channels overlapping it by at least
// half, else solved whole. earlier may be to itself.
void load_swept_block(SweptBlock& to, const SweptBlock& earlier, const SampleStore& samples, int origin,
                      int channels);

}  // namespace quillet
