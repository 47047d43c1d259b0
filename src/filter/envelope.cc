#include "filter/envelope.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "core/constants.h"
#include "core/numeric.h"
#include "filter/fft.h"

namespace quillet {

namespace {

constexpr int LAST_BIN = SPECTRUM_SIZE - 1;

// Log of the spectrum per bin, with whether the bin contributes at all.
struct LogSpectrum {
  std::vector<double> value = std::vector<double>(SPECTRUM_SIZE, 0.0);
  std::vector<char> used = std::vector<char>(SPECTRUM_SIZE, 0);
  bool all_used = false;
};

// Position in the input spectrum that bin b reads through the warp: the lower
// half is stretched from 0, the upper half from 1024, neither past the middle.
double warped_position(int b, double gen) {
  if (b < SPECTRUM_HALF) {
    const double s = b * gen;
    return s > SPECTRUM_HALF ? SPECTRUM_HALF : s;
  }
  const double s = SPECTRUM_SIZE - (SPECTRUM_SIZE - b) * gen;
  return s < SPECTRUM_HALF ? SPECTRUM_HALF : s;
}

// ln of the input spectrum read at the warped position of every bin, linearly
// between the two neighbouring entries.
LogSpectrum warped_input_log(const std::vector<double>& input_spectrum, double gen) {
  LogSpectrum log_spectrum;
  for (int b = 0; b < SPECTRUM_SIZE; ++b) {
    const double s = warped_position(b, gen);
    const double lower = std::floor(s);
    const int i0 = saturating_trunc(lower);
    if (i0 < 0 || i0 > LAST_BIN) continue;
    const double t = s - lower;
    log_spectrum.value[b] = std::log((1 - t) * input_spectrum[i0] + t * input_spectrum[i0 + 1]);
    log_spectrum.used[b] = 1;
  }
  log_spectrum.all_used = std::all_of(log_spectrum.used.begin(), log_spectrum.used.end(),
                                      [](char used) { return used != 0; });
  return log_spectrum;
}

LogSpectrum output_log(const std::vector<double>& output_spectrum) {
  LogSpectrum log_spectrum;
  for (int b = 0; b < SPECTRUM_SIZE; ++b) {
    log_spectrum.value[b] = std::log(output_spectrum[b]);
    log_spectrum.used[b] = 1;
  }
  log_spectrum.all_used = true;
  return log_spectrum;
}

// Weighted sum of the log spectrum around bin k and the sum of the weights.
struct SmoothedLog {
  double sum = 0.0;
  double weight_sum = 0.0;
};

// The offsets of a smoothing window whose weight is not exactly 0, in
// increasing order. A zero weight (the ends of the window when the pitch is a
// whole number of bins) adds nothing, and skipping it keeps 0 x ln 0 out of
// the sums.
struct WindowTerms {
  int half_width = 0;
  std::vector<int> offset;
  std::vector<double> weight;
};

WindowTerms nonzero_terms(const SmoothingWeights& weights) {
  WindowTerms terms;
  terms.half_width = weights.half_width;
  for (int m = -weights.half_width; m <= weights.half_width; ++m) {
    const double w = weights.weight[m + weights.half_width];
    if (w == 0.0) continue;
    terms.offset.push_back(m);
    terms.weight.push_back(w);
  }
  return terms;
}

SmoothedLog smooth_at(const LogSpectrum& log_spectrum, const WindowTerms& terms, int k) {
  SmoothedLog smoothed;
  for (std::size_t j = 0; j < terms.offset.size(); ++j) {
    const int b = k + terms.offset[j];
    if (b < 0 || b > LAST_BIN || !log_spectrum.used[b]) continue;
    smoothed.sum = smoothed.sum + terms.weight[j] * log_spectrum.value[b];
    smoothed.weight_sum = smoothed.weight_sum + terms.weight[j];
  }
  return smoothed;
}

// The inner bins from k on, twelve side by side in three AVX2 registers,
// each lane summing in the order of one bin alone; returns the first bin
// not done.
__attribute__((target("avx2"))) int smooth_inner_avx2(const double* values, const int* offset, const double* w,
                                                      int count, int k, int last_inner, double weight_sum,
                                                      SmoothedLog* smoothed) {
  for (; k + 11 <= last_inner; k += 12) {
    const double* value = values + k;
    __m256d s0 = _mm256_setzero_pd();
    __m256d s1 = _mm256_setzero_pd();
    __m256d s2 = _mm256_setzero_pd();
    for (int j = 0; j < count; ++j) {
      const double* v = value + offset[j];
      const __m256d weight = _mm256_set1_pd(w[j]);
      s0 = _mm256_add_pd(s0, _mm256_mul_pd(weight, _mm256_loadu_pd(v)));
      s1 = _mm256_add_pd(s1, _mm256_mul_pd(weight, _mm256_loadu_pd(v + 4)));
      s2 = _mm256_add_pd(s2, _mm256_mul_pd(weight, _mm256_loadu_pd(v + 8)));
    }
    double sums[12];
    _mm256_storeu_pd(sums, s0);
    _mm256_storeu_pd(sums + 4, s1);
    _mm256_storeu_pd(sums + 8, s2);
    for (int q = 0; q < 12; ++q) smoothed[k + q] = SmoothedLog{sums[q], weight_sum};
  }
  return k;
}

// The smoothed log around every bin. When every bin contributes, the bins
// whose window lies wholly inside the spectrum share one weight sum, and their
// sums are formed four bins side by side (twelve at the AVX2 level), each in
// the same order as alone.
std::vector<SmoothedLog> smooth_all(const LogSpectrum& log_spectrum, const SmoothingWeights& weights,
                                    SimdLevel level) {
  const WindowTerms terms = nonzero_terms(weights);
  std::vector<SmoothedLog> smoothed(SPECTRUM_SIZE);
  const int h = terms.half_width;
  int first_inner = SPECTRUM_SIZE;
  int last_inner = -1;
  if (log_spectrum.all_used && 2 * h < SPECTRUM_SIZE) {
    first_inner = h;
    last_inner = LAST_BIN - h;
  }
  for (int k = 0; k < SPECTRUM_SIZE; ++k) {
    if (k < first_inner || k > last_inner) smoothed[k] = smooth_at(log_spectrum, terms, k);
  }
  if (last_inner < first_inner) return smoothed;
  double weight_sum = 0.0;
  for (const double w : terms.weight) weight_sum = weight_sum + w;
  const int count = static_cast<int>(terms.offset.size());
  const int* offset = terms.offset.data();
  const double* w = terms.weight.data();
  int k = first_inner;
  if (level == SimdLevel::avx2) {
    k = smooth_inner_avx2(log_spectrum.value.data(), offset, w, count, k, last_inner, weight_sum, smoothed.data());
  }
  for (; k + 3 <= last_inner; k += 4) {
    const double* value = log_spectrum.value.data() + k;
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (int j = 0; j < count; ++j) {
      const double* v = value + offset[j];
      s0 = s0 + w[j] * v[0];
      s1 = s1 + w[j] * v[1];
      s2 = s2 + w[j] * v[2];
      s3 = s3 + w[j] * v[3];
    }
    smoothed[k] = SmoothedLog{s0, weight_sum};
    smoothed[k + 1] = SmoothedLog{s1, weight_sum};
    smoothed[k + 2] = SmoothedLog{s2, weight_sum};
    smoothed[k + 3] = SmoothedLog{s3, weight_sum};
  }
  for (; k <= last_inner; ++k) smoothed[k] = smooth_at(log_spectrum, terms, k);
  return smoothed;
}

double band_gain_at(int k, const EnvelopeSettings& settings) {
  if (!(settings.cutoff_bin > 0.0)) return 1.0;
  if (k < settings.cutoff_bin) return 1.0;
  if (k == settings.cutoff_bin) return (settings.band_gain + 1) / 2;
  return settings.band_gain;
}

bool boost_limited(int k, int band_index) {
  return k <= band_index || static_cast<long long>(k) >= LAST_BIN - static_cast<long long>(band_index);
}

double bin_gain(double env_in, double env_out, int k, int band_index) {
  if (env_out == 0.0) return 1.0;
  double gain = env_in / env_out;
  if (boost_limited(k, band_index) && gain > 1.0) gain = 1.0;
  if (gain < 0.0) gain = 0.0;
  return gain;
}

}  // namespace

SmoothingWeights smoothing_weights(double pitch_bins) {
  SmoothingWeights weights;
  if (!(pitch_bins >= 1e-9) || !std::isfinite(pitch_bins)) {
    weights.weight.assign(1, 1.0);
    return weights;
  }
  const int h = std::min(saturating_trunc(std::floor(pitch_bins)), LAST_BIN);
  weights.half_width = h;
  weights.weight.resize(2 * h + 1);
  for (int m = -h; m <= h; ++m) weights.weight[m + h] = 0.5 + 0.5 * std::cos(m * PI / pitch_bins);
  return weights;
}

void compute_gain_curve(const std::vector<double>& input_spectrum,
                        const std::vector<double>& output_spectrum,
                        const EnvelopeSettings& settings, std::vector<double>& curve) {
  const LogSpectrum input_log = warped_input_log(input_spectrum, settings.gen);
  const LogSpectrum out_log = output_log(output_spectrum);
  const SmoothingWeights input_weights = smoothing_weights(settings.source_bins);
  const SmoothingWeights output_weights = smoothing_weights(settings.target_bins);
  const std::vector<SmoothedLog> input_smoothed = smooth_all(input_log, input_weights, settings.level);
  const std::vector<SmoothedLog> output_smoothed = smooth_all(out_log, output_weights, settings.level);
  // The exponentials first, every bin's apart from the rest, so that the
  // divisions after them do not wait on one call after another.
  double exp_in[SPECTRUM_SIZE];
  double exp_out[SPECTRUM_SIZE];
  for (int k = 0; k < SPECTRUM_SIZE; ++k) {
    const SmoothedLog& a = input_smoothed[k];
    exp_in[k] = a.weight_sum > 0.0 ? std::exp(a.sum / a.weight_sum * settings.fce) : 0.0;
  }
  if (settings.window != 0) {
    for (int k = 0; k < SPECTRUM_SIZE; ++k) {
      exp_out[k] = std::exp(output_smoothed[k].sum / output_smoothed[k].weight_sum);
    }
  }
  curve.resize(SPECTRUM_SIZE);
  for (int k = 0; k < SPECTRUM_SIZE; ++k) {
    const double env_in = input_smoothed[k].weight_sum > 0.0
        ? exp_in[k] * 0.0009765625 * band_gain_at(k, settings)
        : 0.0;
    const double env_out = settings.window != 0 ? exp_out[k] / settings.window : 0.0;
    curve[k] = bin_gain(env_in, env_out, k, settings.band_index);
  }
}

}  // namespace quillet
