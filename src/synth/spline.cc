#include "synth/spline.h"

#include "synth/spline_lanes.h"

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
// d, in the same operations as spline_compute.
void spline_compute_pieces(SplinePiece* p, int n, std::vector<double>& z) {
  SweepPivots longer;
  const SweepPivots& pivots = pivots_for(n, longer);
  const double* l = pivots.l.data();
  const double* mu = pivots.mu.data();
  z.resize(static_cast<std::size_t>(n));
  z[0] = 0.0;
  for (int i = 1; i <= n - 2; ++i) {
    const double r = 3.0 * (p[i + 1].y - p[i].y) - 3.0 * (p[i].y - p[i - 1].y);
    z[i] = (r - z[i - 1]) / l[i];
  }
  p[n - 1].b = 0.0;
  p[n - 1].c = 0.0;
  p[n - 1].d = 0.0;
  for (int j = n - 2; j >= 0; --j) {
    p[j].c = z[j] - mu[j] * p[j + 1].c;
    p[j].b = (p[j + 1].y - p[j].y) - (p[j + 1].c + 2.0 * p[j].c) / 3.0;
    p[j].d = (p[j + 1].c - p[j].c) / 3.0;
  }
}

// Frames of the input the four blocks cover together.
constexpr int RUN_LENGTH = BLOCK_LENGTH + (SPLINE_LANES - 1) * BLOCK_STEP;

// Working memory of one thread's four-block solves.
struct LaneScratch {
  std::vector<double> run = std::vector<double>(RUN_LENGTH);
  std::vector<LaneSlot> z = std::vector<LaneSlot>(BLOCK_LENGTH);
};

// Entry i of the four blocks; block j starts j block steps into run.
inline __attribute__((always_inline)) Lanes lanes_at(const double* run, int i) {
  return Lanes{run[i], run[i + BLOCK_STEP], run[i + 2 * BLOCK_STEP], run[i + 3 * BLOCK_STEP]};
}

// The spline_compute sweep and back substitution on four blocks of
// BLOCK_LENGTH entries at once. Inlined into one caller per instruction set.
inline __attribute__((always_inline)) void solve_four(const double* run, LaneSlot* z, SplineBlock* blocks) {
  const int n = BLOCK_LENGTH;
  const SweepPivots& pivots = block_pivots();
  const double* l = pivots.l.data();
  const double* mu = pivots.mu.data();
  Lanes before = lanes_at(run, 0);
  Lanes here = lanes_at(run, 1);
  Lanes z_before = Lanes{0.0, 0.0, 0.0, 0.0};
  z[0].value = z_before;
  for (int i = 1; i <= n - 2; ++i) {
    const Lanes next = lanes_at(run, i + 1);
    const Lanes r = 3.0 * (next - here) - 3.0 * (here - before);
    z_before = (r - z_before) / l[i];
    z[i].value = z_before;
    before = here;
    here = next;
  }
  SplinePiece* out[SPLINE_LANES] = {blocks[0].pieces.data(), blocks[1].pieces.data(),
                                    blocks[2].pieces.data(), blocks[3].pieces.data()};
  Lanes y_next = lanes_at(run, n - 1);
  Lanes c_next = Lanes{0.0, 0.0, 0.0, 0.0};
  for (int q = 0; q < SPLINE_LANES; ++q) out[q][n - 1] = SplinePiece{y_next[q], 0.0, 0.0, 0.0};
  for (int j = n - 2; j >= 0; --j) {
    const Lanes y = lanes_at(run, j);
    const Lanes c = z[j].value - mu[j] * c_next;
    const Lanes b = (y_next - y) - (c_next + 2.0 * c) / 3.0;
    const Lanes d = (c_next - c) / 3.0;
    for (int q = 0; q < SPLINE_LANES; ++q) out[q][j] = SplinePiece{y[q], b[q], c[q], d[q]};
    c_next = c;
    y_next = y;
  }
}

void solve_four_sse2(const double* run, LaneSlot* z, SplineBlock* blocks) { solve_four(run, z, blocks); }

__attribute__((target("avx2"))) void solve_four_avx2(const double* run, LaneSlot* z, SplineBlock* blocks) {
  solve_four(run, z, blocks);
}

}  // namespace

void convert_block(double* destination, const SampleStore& samples, int first_frame, int count,
                   int channels) {
  // Frames before frame 0 and frames past the end of the store (its zero tail
  // included) read as silence. More than two channels read the first channel
  // of each frame, as stereo does.
  const int64_t stride = channels < 1 ? 0 : channels;
  const int64_t size = static_cast<int64_t>(samples.size());
  for (int k = 0; k < count; ++k) {
    const int64_t index = (static_cast<int64_t>(first_frame) + k) * stride;
    const bool inside = stride > 0 && index >= 0 && index < size;
    destination[k] = inside ? static_cast<double>(samples[static_cast<std::size_t>(index)]) : 0.0;
  }
}

void spline_compute(const double* y, int n, double* b, double* c, double* d) {
  if (n < 2) {
    if (n == 1) c[0] = 0.0;
    return;
  }
  // Tridiagonal system of the natural spline at unit spacing: diagonal 4,
  // off-diagonals 1, solved by one forward sweep and one back substitution.
  // The pivots l and their reciprocals mu do not depend on y.
  SweepPivots longer;
  const SweepPivots& pivots = pivots_for(n, longer);
  const double* l = pivots.l.data();
  const double* mu = pivots.mu.data();
  std::vector<double> z(static_cast<std::size_t>(n));
  z[0] = 0.0;
  for (int i = 1; i <= n - 2; ++i) {
    const double r = 3.0 * (y[i + 1] - y[i]) - 3.0 * (y[i] - y[i - 1]);
    z[i] = (r - z[i - 1]) / l[i];
  }
  c[n - 1] = 0.0;
  for (int j = n - 2; j >= 0; --j) {
    c[j] = z[j] - mu[j] * c[j + 1];
    b[j] = (y[j + 1] - y[j]) - (c[j + 1] + 2.0 * c[j]) / 3.0;
    d[j] = (c[j + 1] - c[j]) / 3.0;
  }
}

void load_spline_block(SplineBlock& block, const SampleStore& samples, int origin, int channels) {
  static thread_local std::vector<double> values;
  static thread_local std::vector<double> z;
  block.origin = origin;
  const int n = static_cast<int>(block.pieces.size());
  values.resize(block.pieces.size());
  convert_block(values.data(), samples, origin, n, channels);
  for (int k = 0; k < n; ++k) block.pieces[k] = SplinePiece{values[k], 0.0, 0.0, 0.0};
  if (n >= 2) spline_compute_pieces(block.pieces.data(), n, z);
}

void load_spline_blocks_at(SimdLevel level, SplineBlock* blocks, int count, const SampleStore& samples,
                           int first_origin, int channels) {
  bool full_lanes = count == SPLINE_LANES;
  for (int j = 0; j < count; ++j) {
    full_lanes = full_lanes && blocks[j].pieces.size() == static_cast<std::size_t>(BLOCK_LENGTH);
  }
  if (level == SimdLevel::plain || !full_lanes) {
    for (int j = 0; j < count; ++j) {
      load_spline_block(blocks[j], samples, first_origin + j * BLOCK_STEP, channels);
    }
    return;
  }
  static thread_local LaneScratch scratch;
  convert_block(scratch.run.data(), samples, first_origin, RUN_LENGTH, channels);
  for (int j = 0; j < SPLINE_LANES; ++j) blocks[j].origin = first_origin + j * BLOCK_STEP;
  if (level == SimdLevel::avx2) {
    solve_four_avx2(scratch.run.data(), scratch.z.data(), blocks);
  } else {
    solve_four_sse2(scratch.run.data(), scratch.z.data(), blocks);
  }
}

void load_spline_blocks(SplineBlock* blocks, int count, const SampleStore& samples, int first_origin,
                        int channels) {
  load_spline_blocks_at(simd_level(), blocks, count, samples, first_origin, channels);
}

}  // namespace quillet
