#include "synth/spline.h"

#include "synth/spline_lanes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
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
  int i = 1;
  for (; i < n; ++i) {
    pivots.l[i] = 4.0 - pivots.mu[i - 1];
    pivots.mu[i] = 1.0 / pivots.l[i];
    // Once l repeats itself (at 2 + sqrt 3, within some 20 entries) every
    // later entry repeats too.
    if (i >= 2 && pivots.l[i] == pivots.l[i - 1]) break;
  }
  for (int k = i + 1; k < n; ++k) {
    pivots.l[k] = pivots.l[i];
    pivots.mu[k] = pivots.mu[i];
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

// Frame frame of the store, channel 0, with stride samples per frame: 0.0
// outside the store.
inline double frame_value(const SampleStore& samples, int64_t frame, int64_t stride) {
  const int64_t index = frame * stride;
  const bool inside = stride > 0 && index >= 0 && index < static_cast<int64_t>(samples.size());
  return inside ? static_cast<double>(samples[static_cast<std::size_t>(index)]) : 0.0;
}

inline __attribute__((always_inline)) Lanes load_piece(const SplinePiece& piece) {
  Lanes row;
  std::memcpy(&row, &piece, sizeof row);
  return row;
}

inline __attribute__((always_inline)) void store_piece(SplinePiece& piece, Lanes row) {
  std::memcpy(static_cast<void*>(&piece), &row, sizeof row);
}

// Lane q of the four column vectors y, b, c and d as piece q's row
// {y, b, c, d}: a 4 x 4 transpose by shuffles.
inline __attribute__((always_inline)) void store_columns(SplinePiece* const* p, int j, Lanes y, Lanes b,
                                                         Lanes c, Lanes d) {
  const Lanes yb02 = __builtin_shufflevector(y, b, 0, 4, 2, 6);
  const Lanes yb13 = __builtin_shufflevector(y, b, 1, 5, 3, 7);
  const Lanes cd02 = __builtin_shufflevector(c, d, 0, 4, 2, 6);
  const Lanes cd13 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
  store_piece(p[0][j], __builtin_shufflevector(yb02, cd02, 0, 1, 4, 5));
  store_piece(p[1][j], __builtin_shufflevector(yb13, cd13, 0, 1, 4, 5));
  store_piece(p[2][j], __builtin_shufflevector(yb02, cd02, 2, 3, 6, 7));
  store_piece(p[3][j], __builtin_shufflevector(yb13, cd13, 2, 3, 6, 7));
}

// The y entries at index i of the four blocks, read from the store (as
// convert_block reads it) and put in place.
inline __attribute__((always_inline)) Lanes fill_y_lanes(SplinePiece* const* p, const int64_t* first_frame,
                                                         int i, const SampleStore& samples, int64_t stride) {
  const Lanes y = Lanes{frame_value(samples, first_frame[0] + i, stride), frame_value(samples, first_frame[1] + i, stride),
                        frame_value(samples, first_frame[2] + i, stride), frame_value(samples, first_frame[3] + i, stride)};
  for (int q = 0; q < SPLINE_LANES; ++q) p[q][i].y = y[q];
  return y;
}

// Loads 2 to 4 blocks of BLOCK_LENGTH entries, their origins set, and
// solves their splines at once: the spline_compute sweep, which reads each
// block's entries from the store as it goes and keeps its z in the c fields,
// then the back substitution. With fewer than four blocks the last one also
// fills the spare lanes, which store the very numbers its own lane stores.
// Inlined into one caller per instruction set.
inline __attribute__((always_inline)) void solve_four(SplineBlock* blocks, int count, const SampleStore& samples,
                                                      int channels) {
  const int n = BLOCK_LENGTH;
  const SweepPivots& pivots = block_pivots();
  const double* l = pivots.l.data();
  const double* mu = pivots.mu.data();
  const int64_t stride = channels < 1 ? 0 : channels;
  SplinePiece* p[SPLINE_LANES];
  int64_t first_frame[SPLINE_LANES];
  for (int q = 0; q < SPLINE_LANES; ++q) {
    SplineBlock& block = blocks[std::min(q, count - 1)];
    p[q] = block.pieces.data();
    first_frame[q] = block.origin;
  }
  SplinePiece* const p0 = p[0];
  SplinePiece* const p1 = p[1];
  SplinePiece* const p2 = p[2];
  SplinePiece* const p3 = p[3];
  Lanes before = fill_y_lanes(p, first_frame, 0, samples, stride);
  Lanes here = fill_y_lanes(p, first_frame, 1, samples, stride);
  Lanes z_before = Lanes{0.0, 0.0, 0.0, 0.0};
  p0[0].c = p1[0].c = p2[0].c = p3[0].c = 0.0;
  for (int i = 1; i <= n - 2; ++i) {
    const Lanes next = fill_y_lanes(p, first_frame, i + 1, samples, stride);
    const Lanes r = 3.0 * (next - here) - 3.0 * (here - before);
    z_before = (r - z_before) / l[i];
    p0[i].c = z_before[0];
    p1[i].c = z_before[1];
    p2[i].c = z_before[2];
    p3[i].c = z_before[3];
    before = here;
    here = next;
  }
  Lanes y_next = here;
  Lanes c_next = Lanes{0.0, 0.0, 0.0, 0.0};
  for (int q = 0; q < SPLINE_LANES; ++q) p[q][n - 1] = SplinePiece{y_next[q], 0.0, 0.0, 0.0};
  for (int j = n - 2; j >= 0; --j) {
    // Rows {y, -, z, -} of the four pieces; y and z as columns.
    const Lanes yz01 = __builtin_shufflevector(load_piece(p0[j]), load_piece(p1[j]), 0, 4, 2, 6);
    const Lanes yz23 = __builtin_shufflevector(load_piece(p2[j]), load_piece(p3[j]), 0, 4, 2, 6);
    const Lanes y = __builtin_shufflevector(yz01, yz23, 0, 1, 4, 5);
    const Lanes z = __builtin_shufflevector(yz01, yz23, 2, 3, 6, 7);
    const Lanes c = z - mu[j] * c_next;
    const Lanes b = (y_next - y) - (c_next + 2.0 * c) / 3.0;
    const Lanes d = (c_next - c) / 3.0;
    store_columns(p, j, y, b, c, d);
    c_next = c;
    y_next = y;
  }
}

void solve_four_sse2(SplineBlock* blocks, int count, const SampleStore& samples, int channels) {
  solve_four(blocks, count, samples, channels);
}

__attribute__((target("avx2"))) void solve_four_avx2(SplineBlock* blocks, int count, const SampleStore& samples,
                                                     int channels) {
  solve_four(blocks, count, samples, channels);
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
  for (int j = 0; j < count; ++j) blocks[j].origin = first_origin + j * BLOCK_STEP;
  if (level == SimdLevel::avx2) {
    solve_four_avx2(blocks, count, samples, channels);
  } else {
    solve_four_sse2(blocks, count, samples, channels);
  }
}

void load_spline_blocks(SplineBlock* blocks, int count, const SampleStore& samples, int first_origin,
                        int channels) {
  load_spline_blocks_at(simd_level(), blocks, count, samples, first_origin, channels);
}

}  // namespace quillet
