#include "synth/spline.h"

#include "synth/spline_lanes.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace quillet {

namespace {

// Pivots of the forward sweep of the natural spline: l[0] = 1, mu[0] = 0,
// l[i] = 4 - mu[i-1], mu[i] = 1 / l[i]. Entry i does not depend on the
// length of the system, so one table serves every length up to its own.
struct SweepPivots {
  std::vector<double> l;
  std::vector<double> mu;
};

SweepPivots sweep_pivots(int n) {
  SweepPivots pivots;
  pivots.l.assign(static_cast<std::size_t>(n), 1.0);
  pivots.mu.assign(static_cast<std::size_t>(n), 0.0);
  for (int i = 1; i < n; ++i) {
    pivots.l[i] = 4.0 - pivots.mu[i - 1];
    pivots.mu[i] = 1.0 / pivots.l[i];
  }
  return pivots;
}

const SweepPivots& block_pivots() {
  static const SweepPivots pivots = sweep_pivots(BLOCK_LENGTH);
  return pivots;
}

// The pivots for a system of n entries: the shared table, or longer ones
// built into the caller's record.
const SweepPivots& pivots_for(int n, SweepPivots& longer) {
  if (n <= BLOCK_LENGTH) return block_pivots();
  longer = sweep_pivots(n);
  return longer;
}

// The spline of the y entries of pieces[0..n-1], n >= 2, into their b, c and
// d, in the same operations as spline_compute. The forward sweep keeps its z
// in the c fields, which the back substitution then overwrites.
void spline_compute_pieces(SplinePiece* p, int n) {
  SweepPivots longer;
  const SweepPivots& pivots = pivots_for(n, longer);
  const double* l = pivots.l.data();
  const double* mu = pivots.mu.data();
  p[0].c = 0.0;
  for (int i = 1; i <= n - 2; ++i) {
    const double r = 3.0 * (p[i + 1].y - p[i].y) - 3.0 * (p[i].y - p[i - 1].y);
    p[i].c = (r - p[i - 1].c) / l[i];
  }
  p[n - 1].b = 0.0;
  p[n - 1].c = 0.0;
  p[n - 1].d = 0.0;
  for (int j = n - 2; j >= 0; --j) {
    p[j].c = p[j].c - mu[j] * p[j + 1].c;
    p[j].b = (p[j + 1].y - p[j].y) - (p[j + 1].c + 2.0 * p[j].c) / 3.0;
    p[j].d = (p[j + 1].c - p[j].c) / 3.0;
  }
}

// The y entries at index i of the four blocks' pieces, side by side.
inline __attribute__((always_inline)) Lanes y_lanes(SplinePiece* const* p, int i) {
  return Lanes{p[0][i].y, p[1][i].y, p[2][i].y, p[3][i].y};
}

// The spline_compute sweep and back substitution on 2 to 4 blocks of
// BLOCK_LENGTH entries at once, their y entries already in place; the sweep
// keeps its z in the c fields. With fewer than four blocks the last one also
// fills the spare lanes, which store the very numbers its own lane stores.
// Inlined into one caller per instruction set.
inline __attribute__((always_inline)) void solve_four(SplineBlock* blocks, int count) {
  const int n = BLOCK_LENGTH;
  const SweepPivots& pivots = block_pivots();
  const double* l = pivots.l.data();
  const double* mu = pivots.mu.data();
  SplinePiece* p[SPLINE_LANES];
  for (int q = 0; q < SPLINE_LANES; ++q) p[q] = blocks[std::min(q, count - 1)].pieces.data();
  Lanes before = y_lanes(p, 0);
  Lanes here = y_lanes(p, 1);
  Lanes z_before = Lanes{0.0, 0.0, 0.0, 0.0};
  for (int q = 0; q < SPLINE_LANES; ++q) p[q][0].c = 0.0;
  for (int i = 1; i <= n - 2; ++i) {
    const Lanes next = y_lanes(p, i + 1);
    const Lanes r = 3.0 * (next - here) - 3.0 * (here - before);
    z_before = (r - z_before) / l[i];
    for (int q = 0; q < SPLINE_LANES; ++q) p[q][i].c = z_before[q];
    before = here;
    here = next;
  }
  Lanes y_next = here;
  Lanes c_next = Lanes{0.0, 0.0, 0.0, 0.0};
  for (int q = 0; q < SPLINE_LANES; ++q) p[q][n - 1] = SplinePiece{y_next[q], 0.0, 0.0, 0.0};
  for (int j = n - 2; j >= 0; --j) {
    const Lanes y = y_lanes(p, j);
    const Lanes z = Lanes{p[0][j].c, p[1][j].c, p[2][j].c, p[3][j].c};
    const Lanes c = z - mu[j] * c_next;
    const Lanes b = (y_next - y) - (c_next + 2.0 * c) / 3.0;
    const Lanes d = (c_next - c) / 3.0;
    for (int q = 0; q < SPLINE_LANES; ++q) p[q][j] = SplinePiece{y[q], b[q], c[q], d[q]};
    c_next = c;
    y_next = y;
  }
}

void solve_four_sse2(SplineBlock* blocks, int count) { solve_four(blocks, count); }

__attribute__((target("avx2"))) void solve_four_avx2(SplineBlock* blocks, int count) {
  solve_four(blocks, count);
}

// Frame frame of the store, channel 0, with stride samples per frame: 0.0
// outside the store.
inline double frame_value(const SampleStore& samples, int64_t frame, int64_t stride) {
  const int64_t index = frame * stride;
  const bool inside = stride > 0 && index >= 0 && index < static_cast<int64_t>(samples.size());
  return inside ? static_cast<double>(samples[static_cast<std::size_t>(index)]) : 0.0;
}

// The block's pieces with y from count frames starting at first_frame, read
// as convert_block reads them, and b, c and d at 0.
void fill_pieces(SplinePiece* pieces, const SampleStore& samples, int first_frame, int count, int channels) {
  const int64_t stride = channels < 1 ? 0 : channels;
  for (int k = 0; k < count; ++k) {
    pieces[k] = SplinePiece{frame_value(samples, static_cast<int64_t>(first_frame) + k, stride), 0.0, 0.0, 0.0};
  }
}

}  // namespace

void convert_block(double* destination, const SampleStore& samples, int first_frame, int count,
                   int channels) {
  // Frames before frame 0 and frames past the end of the store (its zero tail
  // included) read as silence. More than two channels read the first channel
  // of each frame, as stereo does.
  const int64_t stride = channels < 1 ? 0 : channels;
  for (int k = 0; k < count; ++k) {
    destination[k] = frame_value(samples, static_cast<int64_t>(first_frame) + k, stride);
  }
}

void spline_compute(const double* y, int n, double* b, double* c, double* d) {
  if (n < 2) {
    if (n == 1) c[0] = 0.0;
    return;
  }
  // Tridiagonal system of the natural spline at unit spacing: diagonal 4,
  // off-diagonals 1, solved by one forward sweep and one back substitution.
  // The pivots l and their reciprocals mu do not depend on y. The sweep keeps
  // its z in c, which the back substitution then overwrites.
  SweepPivots longer;
  const SweepPivots& pivots = pivots_for(n, longer);
  const double* l = pivots.l.data();
  const double* mu = pivots.mu.data();
  c[0] = 0.0;
  for (int i = 1; i <= n - 2; ++i) {
    const double r = 3.0 * (y[i + 1] - y[i]) - 3.0 * (y[i] - y[i - 1]);
    c[i] = (r - c[i - 1]) / l[i];
  }
  c[n - 1] = 0.0;
  for (int j = n - 2; j >= 0; --j) {
    c[j] = c[j] - mu[j] * c[j + 1];
    b[j] = (y[j + 1] - y[j]) - (c[j + 1] + 2.0 * c[j]) / 3.0;
    d[j] = (c[j + 1] - c[j]) / 3.0;
  }
}

namespace {

typedef double PairLanes __attribute__((vector_size(16)));

}  // namespace

void spline_compute_two(SplineArrays first, SplineArrays second, int n) {
  if (n < 2 || simd_level() == SimdLevel::plain) {
    spline_compute(first.y, n, first.b, first.c, first.d);
    spline_compute(second.y, n, second.b, second.c, second.d);
    return;
  }
  SweepPivots longer;
  const SweepPivots& pivots = pivots_for(n, longer);
  const double* l = pivots.l.data();
  const double* mu = pivots.mu.data();
  PairLanes before = PairLanes{first.y[0], second.y[0]};
  PairLanes here = PairLanes{first.y[1], second.y[1]};
  PairLanes z = PairLanes{0.0, 0.0};
  first.c[0] = 0.0;
  second.c[0] = 0.0;
  for (int i = 1; i <= n - 2; ++i) {
    const PairLanes next = PairLanes{first.y[i + 1], second.y[i + 1]};
    const PairLanes r = 3.0 * (next - here) - 3.0 * (here - before);
    z = (r - z) / l[i];
    first.c[i] = z[0];
    second.c[i] = z[1];
    before = here;
    here = next;
  }
  first.c[n - 1] = 0.0;
  second.c[n - 1] = 0.0;
  PairLanes y_next = here;
  PairLanes c_next = PairLanes{0.0, 0.0};
  for (int j = n - 2; j >= 0; --j) {
    const PairLanes y = PairLanes{first.y[j], second.y[j]};
    const PairLanes c = PairLanes{first.c[j], second.c[j]} - mu[j] * c_next;
    const PairLanes b = (y_next - y) - (c_next + 2.0 * c) / 3.0;
    const PairLanes d = (c_next - c) / 3.0;
    first.c[j] = c[0];
    second.c[j] = c[1];
    first.b[j] = b[0];
    second.b[j] = b[1];
    first.d[j] = d[0];
    second.d[j] = d[1];
    c_next = c;
    y_next = y;
  }
}

void load_spline_block(SplineBlock& block, const SampleStore& samples, int origin, int channels) {
  block.origin = origin;
  const int n = static_cast<int>(block.pieces.size());
  fill_pieces(block.pieces.data(), samples, origin, n, channels);
  if (n >= 2) spline_compute_pieces(block.pieces.data(), n);
}

void load_spline_blocks_at(SimdLevel level, SplineBlock* blocks, int count, const SampleStore& samples,
                           int first_origin, int channels) {
  bool lanes_fit = count >= 2 && count <= SPLINE_LANES;
  for (int j = 0; j < count; ++j) {
    lanes_fit = lanes_fit && blocks[j].pieces.size() == static_cast<std::size_t>(BLOCK_LENGTH);
  }
  if (level == SimdLevel::plain || !lanes_fit) {
    for (int j = 0; j < count; ++j) {
      load_spline_block(blocks[j], samples, first_origin + j * BLOCK_STEP, channels);
    }
    return;
  }
  for (int j = 0; j < count; ++j) {
    blocks[j].origin = first_origin + j * BLOCK_STEP;
    fill_pieces(blocks[j].pieces.data(), samples, blocks[j].origin, BLOCK_LENGTH, channels);
  }
  if (level == SimdLevel::avx2) {
    solve_four_avx2(blocks, count);
  } else {
    solve_four_sse2(blocks, count);
  }
}

void load_spline_blocks(SplineBlock* blocks, int count, const SampleStore& samples, int first_origin,
                        int channels) {
  load_spline_blocks_at(simd_level(), blocks, count, samples, first_origin, channels);
}

}  // namespace quillet
