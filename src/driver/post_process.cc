#include "driver/post_process.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "audio_io/wav.h"
#include "core/constants.h"
#include "core/numeric.h"
#include "filter/post_filter.h"
#include "core/flags.h"

namespace quillet {

namespace {

constexpr double NORMALISED_PEAK = 16384.0;
constexpr double CLIP_LIMIT = 32767.0;
constexpr double ONE_POLE_LIMIT = 0.9999999;
constexpr int HIGHEST_BAND_INDEX = 17;
constexpr double BINS_PER_HZ = 1024.0 / 44100.0;

double entry_or_zero(const std::vector<double>& values, long long i) {
  return (i >= 0 && i < static_cast<long long>(values.size())) ? values[i] : 0.0;
}

// The three-tap pass in place, each new value handed to finish(i, value),
// which stores it: the values before the pass that it still reads behind the
// one it writes (the last d) are kept in a ring; those at or ahead of it are
// not yet written.
template <typename Finish>
void three_tap_pass(std::vector<double>& y, int out_len, double w, int d, Finish finish) {
  std::vector<double> behind(static_cast<std::size_t>(std::max(d, 0)));
  std::size_t slot = 0;  // where the value d places behind the current one is kept
  for (int i = 0; i < out_len; ++i) {
    const double before = y[i];
    double s = 0.5 * before + 0.25 * entry_or_zero(y, static_cast<long long>(i) + d);
    if (i >= d) s = s + 0.25 * (d > 0 ? behind[slot] : y[i - d]);
    if (d > 0) {
      behind[slot] = before;
      slot = slot + 1 == behind.size() ? 0 : slot + 1;
    }
    finish(i, w * s + (1 - w) * before);
  }
}

// Frequency warp of the input envelope: 10^(g / 200) with g from "g" in [-100, 100].
double filter_gen(const std::string& flags) {
  double g = 0.0;
  if (!read_flag_double(flags, 'g', g)) return 1.0;
  if (g < -100.0) g = -100.0;
  if (g > 100.0) g = 100.0;
  return std::pow(10.0, g / 200.0);
}

// Exponent of the input envelope: "f" in percent, 1.0 when absent.
double filter_fce(const std::string& flags) {
  double fce = 1.0;
  if (!read_flag_double(flags, 'f', fce)) return 1.0;
  return fce * 0.01;
}

void run_post_filter(const RenderParams& params, RenderedSignals& signals,
                     const SampleStore& samples, int channels, const FrequencyList& list,
                     int out_len) {
  const std::string& flags = params.flags;
  const int band_index = filter_band_index(flags, params.target_freq, params.avg_freq);
  const double gen = filter_gen(flags);
  const double fce = filter_fce(flags);
  std::printf("filter low=%0.3lfHz factor=%d gen=%0.2lf fce=%0.2lf \n", band_index * 43.0,
              band_index, gen, fce);
  post_filter(signals.voiced, signals.aperiodic, out_len, samples, channels, params.sample_count,
              params.offset_samples, params.fixed_in, band_index, gen, fce, params.bend_freq,
              params.bend_step, list.freq, params.avg_freq, flags, params.bend_mode, 0, -1,
              mix_letter_applies(flags, 'b') ? AperiodicUse::read_later : AperiodicUse::done);
}

// Stages 5 to 8: the three-tap smoothings "C", "D", "E" at tap distances 1, 2
// and 3, then the one-pole smoothing "H"; each runs only when its letter asks.
void smooth_after_filter(const std::string& flags, std::vector<double>& y, int out_len) {
  const char letters[] = {'C', 'D', 'E'};
  for (int d = 1; d <= 3; ++d) {
    const double w = three_tap_weight(flags, letters[d - 1], 0.0);
    if (w > 0.0) three_tap_smooth(y, out_len, w, d);
  }
  const double a = one_pole_weight(flags, 'H');
  if (a > 0.0) one_pole_smooth(y, out_len, a);
}

// Non-finite samples become 0; returns the largest |y[i]|.
double clean_peak(std::vector<double>& y, int out_len) {
  double peak = 0.0;
  for (int i = 0; i < out_len; ++i) {
    if (!std::isfinite(y[i])) y[i] = 0.0;
    peak = std::max(peak, std::fabs(y[i]));
  }
  return peak;
}

void release(std::vector<double>& buffer) { std::vector<double>().swap(buffer); }

}  // namespace

double one_pole_weight(const std::string& flags, char letter) {
  double a = 0.0;
  if (!read_flag_double(flags, letter, a)) return 0.0;
  a = a * 0.01;
  if (a < 0.0) a = 0.0;
  if (a >= 1.0) a = ONE_POLE_LIMIT;
  return std::sqrt(a);
}

double three_tap_weight(const std::string& flags, char letter, double default_weight) {
  double w = default_weight;
  if (!read_flag_double(flags, letter, w)) return default_weight;
  w = w * 0.01;
  if (w < 0.0) w = 0.0;
  if (w > 1.0) w = 1.0;
  return w;
}

void one_pole_smooth(std::vector<double>& y, int out_len, double a) {
  for (int i = 1; i < out_len; ++i) y[i] = (1 - a) * y[i] + a * y[i - 1];
}

void three_tap_smooth(std::vector<double>& y, int out_len, double w, int d) {
  three_tap_pass(y, out_len, w, d, [&](int i, double smoothed) { y[i] = smoothed; });
}

bool mix_letter_applies(const std::string& flags, char letter) {
  const std::size_t at = flags.find(letter);
  return at != std::string::npos && at + 1 < flags.size();
}

MixWeights mix_weights(const std::string& flags, char letter, double default_value,
                       MixWeights start, bool print_line) {
  if (!mix_letter_applies(flags, letter)) return start;
  double x = default_value;
  read_flag_double(flags, letter, x);
  if (print_line) std::printf("Bre=%0.1lf\n", x);
  if (x >= 0.0 && x < 50.0) return MixWeights{1.0, x * 0.02};
  if (x > 50.0 && x <= 100.0) return MixWeights{(100 - x) * 0.02, 1.0};
  return MixWeights{1.0, 1.0};
}

void mix_signals(std::vector<double>& y, const std::vector<double>& z, int out_len,
                 const MixWeights& weights) {
  for (int i = 0; i < out_len; ++i) {
    y[i] = weights.voice * y[i] + weights.breath * entry_or_zero(z, i);
  }
}

// The three-tap smoothing and the mix are one pass: each smoothed value is
// mixed as it is made.
void smooth_and_mix_before_filter(const std::string& flags, std::vector<double>& y,
                                  const std::vector<double>& z, int out_len) {
  const double a = one_pole_weight(flags, 'h');
  double default_weight = 0.5;
  if (a > 0.0) {
    one_pole_smooth(y, out_len, a);
    default_weight = 0.0;
  }
  const double w = three_tap_weight(flags, 'c', default_weight);
  const MixWeights mix = mix_weights(flags, 'B', 50.0, MixWeights{}, true);
  if (!(w > 0.0)) {
    mix_signals(y, z, out_len, mix);
    return;
  }
  three_tap_pass(y, out_len, w, 1, [&](int i, double smoothed) {
    y[i] = mix.voice * smoothed + mix.breath * entry_or_zero(z, i);
  });
}

int filter_band_index(const std::string& flags, double target_freq, double avg_freq) {
  int factor = 3;
  read_flag_int(flags, 'F', factor);
  int band_index = saturating_trunc(BINS_PER_HZ * target_freq * factor + 0.5);
  if (read_flag_int(flags, 'K', factor)) {
    band_index = saturating_trunc(BINS_PER_HZ * avg_freq * factor + 0.5);
  }
  read_flag_int(flags, 'L', band_index);
  return std::min(band_index, HIGHEST_BAND_INDEX);
}

double normalisation_gain(const std::string& flags, double peak) {
  double p = 0.86;
  double percent = 86.0;
  if (read_flag_double(flags, 'P', percent)) {
    if (percent > 100.0) percent = 100.0;
    if (percent < 0.0) percent = 0.0;
    p = percent * 0.01;
  }
  return NORMALISED_PEAK / peak * p + (1 - p);
}

std::vector<int16_t> to_pcm16(const std::vector<double>& y, int out_len, double gain,
                              double volume) {
  std::vector<int16_t> pcm(std::max(out_len, 0));
  for (int i = 0; i < out_len; ++i) {
    double v = y[i] * gain * volume;
    if (v > CLIP_LIMIT) {
      v = CLIP_LIMIT;
    } else if (v < -CLIP_LIMIT) {
      v = -CLIP_LIMIT;
    }
    pcm[i] = static_cast<int16_t>(saturating_trunc(v));
  }
  return pcm;
}

int post_process_and_write(const RenderParams& params, RenderedSignals& signals,
                           const SampleStore& samples, int channels, const FrequencyList& list,
                           const std::string& output_path) {
  const int out_len = std::max(params.out_len, 0);
  const std::string& flags = params.flags;
  std::vector<double>& y = signals.voiced;
  if (y.size() < static_cast<std::size_t>(out_len)) y.resize(out_len, 0.0);

  smooth_and_mix_before_filter(flags, y, signals.aperiodic, out_len);
  if (!has_flag(flags, 'N')) run_post_filter(params, signals, samples, channels, list, out_len);
  smooth_after_filter(flags, y, out_len);
  if (mix_letter_applies(flags, 'b')) {
    const MixWeights weights = mix_weights(flags, 'b', 0.0, MixWeights{1.0, 0.0}, false);
    mix_signals(y, signals.aperiodic, out_len, weights);
  }

  double peak = clean_peak(y, out_len);
  release(signals.aperiodic);
  if (peak == 0.0) peak = NORMALISED_PEAK;
  const double gain = normalisation_gain(flags, peak);
  const std::vector<int16_t> pcm = to_pcm16(y, out_len, gain, params.volume);
  release(y);

  const long long data_bytes = std::min(static_cast<long long>(out_len) * 2, 0x7fffffffLL);
  if (write_wav(output_path, pcm.data(), static_cast<int32_t>(data_bytes), 16, 1, OUTPUT_RATE) != 0) {
    std::printf("file write error.\n");
    return -1;
  }
  // 完了しました。\n生成ファイル：%s\n
  std::printf("\x8a\xae\x97\xb9\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\n"
              "\x90\xb6\x90\xac\x83\x74\x83\x40\x83\x43\x83\x8b\x81\x46%s\n",
              output_path.c_str());
  return 0;
}

}  // namespace quillet
