#include "synth/spline.h"

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
  const SweepPivots* pivots = &block_pivots();
  if (n > BLOCK_LENGTH) {
    longer = sweep_pivots(n);
    pivots = &longer;
  }
  const double* l = pivots->l.data();
  const double* mu = pivots->mu.data();
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
  block.origin = origin;
  const int n = static_cast<int>(block.y.size());
  block.b.resize(block.y.size());
  block.c.resize(block.y.size());
  block.d.resize(block.y.size());
  convert_block(block.y.data(), samples, origin, n, channels);
  spline_compute(block.y.data(), n, block.b.data(), block.c.data(), block.d.data());
}

}  // namespace quillet
