#include "synth/spline.h"

#include <cmath>
#include <cstddef>

namespace quillet {

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
  std::vector<double> mu(static_cast<std::size_t>(n));
  std::vector<double> z(static_cast<std::size_t>(n));
  mu[0] = 0.0;
  z[0] = 0.0;
  for (int i = 1; i <= n - 2; ++i) {
    const double r = 3.0 * (y[i + 1] - y[i]) - 3.0 * (y[i] - y[i - 1]);
    const double l = 4.0 - mu[i - 1];
    mu[i] = 1.0 / l;
    z[i] = (r - z[i - 1]) / l;
  }
  c[n - 1] = 0.0;
  for (int j = n - 2; j >= 0; --j) {
    c[j] = z[j] - mu[j] * c[j + 1];
    b[j] = (y[j + 1] - y[j]) - (c[j + 1] + 2.0 * c[j]) / 3.0;
    d[j] = (c[j + 1] - c[j]) / 3.0;
  }
}

double spline_eval(const SplineBlock& block, double x) {
  // Positions outside the block's intervals read the nearest end entry.
  const int64_t last_interval = static_cast<int64_t>(block.y.size()) - 2;
  if (last_interval < 0) return 0.0;
  const double m = std::floor(x);
  const double k_real = m - static_cast<double>(block.origin);
  if (!(k_real >= 0.0)) return block.y[0];
  if (k_real > static_cast<double>(last_interval)) {
    return block.y[static_cast<std::size_t>(last_interval + 1)];
  }
  const std::size_t k = static_cast<std::size_t>(k_real);
  const double t = x - m;
  return ((block.d[k] * t + block.c[k]) * t + block.b[k]) * t + block.y[k];
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
