#include "driver/timing.h"

#include <cmath>
#include <cstdio>

#include "core/constants.h"
#include "driver/command_line.h"
#include "core/numeric.h"
#include "core/flags.h"

namespace quillet {
namespace {

// The int nearest to value within the int range.
int clamp_to_int(int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int>(value);
}

// A percent word (volume, modulation) read as a number; 100 when it is none.
double read_percent_word(const char* word) {
  double percent = 100.0;
  read_word_double(word, percent);
  if (std::isnan(percent)) percent = 100.0;
  return percent;
}

void print_no_samples() { std::printf("no samples to render.\n"); }

void read_fixed_length(const char* word, double sample_rate, RenderParams& params) {
  if (word != nullptr) {
    double fixed_ms = 0.0;
    read_word_double(word, fixed_ms);
    const double fixed_samples = sample_rate * fixed_ms * 0.001;
    if (fixed_samples >= MIN_FIXED_SAMPLES) {
      params.fixed_in = fixed_samples;
      params.fixed_out = fixed_samples / params.rate_ratio;
    }
  }
  std::printf("fixed:%0.3lf\n", params.fixed_out);
}

// Cuts the end blank from the used stretch; a negative blank measures the
// stretch from the offset instead.
void apply_end_blank(const TimingWords& words, double sample_rate, RenderParams& params) {
  double offset_ms = 0.0;
  read_word_double(words.offset, offset_ms);
  params.offset_samples = offset_in_samples(sample_rate, offset_ms);
  double blank_ms = 0.0;
  read_word_double(words.end_blank, blank_ms);
  double blank = sample_rate * blank_ms * 0.001;
  if (blank < 0.0) {
    if (params.sample_count > params.offset_samples - blank)
      params.sample_count = saturating_trunc(params.offset_samples - blank);
    blank = 0.0;
  }
  if (params.sample_count > blank) {
    std::printf("\x8f\x49\x82\xe8\x82\xcc\x83\x75\x83\x89\x83\x93\x83\x4e %0.3lf\n",
                blank);  // "終りのブランク %0.3lf\n"
    params.sample_count = saturating_trunc(params.sample_count - blank);
  }
}

void read_volume_and_modulation(const TimingWords& words, RenderParams& params) {
  if (words.volume != nullptr) {
    const double volume_percent = read_percent_word(words.volume);
    std::printf("\x83\x7b\x83\x8a\x83\x85\x81\x5b\x83\x80 %0.3lf%%\n",
                volume_percent);  // "ボリューム %0.3lf%%\n"
    params.volume = volume_percent * 0.01;
  }
  if (words.modulation != nullptr) {
    params.modulation = read_percent_word(words.modulation);
    std::printf("\x83\x82\x83\x57\x83\x85\x83\x8c\x81\x5b\x83\x56\x83\x87\x83\x93 %0.3lf%%\n",
                params.modulation);  // "モジュレーション %0.3lf%%\n"
  }
}

// The time percent of argument 4; 100 when it is not a positive number.
double read_time_percent(const char* word) {
  double percent = 100.0;
  read_word_double(word, percent);
  if (std::isnan(percent) || percent <= 0.0) percent = 100.0;
  return percent;
}

// Fits the used stretch to length_require: either cuts the input or sets the
// time percent that stretches it to the required length. Returns false when
// the stretched part is empty.
bool fit_length_require(double length_ms, RenderParams& params, double& time_percent) {
  const double rate_ratio = params.rate_ratio;
  const double need = (length_ms + 1.0) * 0.001 * static_cast<double>(OUTPUT_RATE);
  if (need < params.fixed_out) {
    params.sample_count = saturating_trunc(need * rate_ratio + 0.5);
    time_percent = 100.0;
    return true;
  }
  const double stretch_room = (need - params.fixed_out) * rate_ratio;
  const double stretched_in = params.sample_count - params.fixed_in;
  const double stretch_at_percent = stretched_in * time_percent * 0.01;
  if (stretch_at_percent > stretch_room) {
    params.sample_count = saturating_trunc(stretch_room / time_percent * 100.0 + params.fixed_in);
    time_percent = 100.0;
    return true;
  }
  if (stretched_in <= 0.0) {
    print_no_samples();
    return false;
  }
  time_percent = stretch_room / stretched_in * 100.0;
  return true;
}

bool apply_offset_and_length(const TimingWords& words, double sample_rate, RenderParams& params,
                             double& time_percent) {
  double offset_ms = 0.0;
  read_word_double(words.offset, offset_ms);
  double length_ms = 0.0;
  read_word_double(words.length_require, length_ms);
  params.offset_samples = offset_in_samples(sample_rate, offset_ms);
  params.sample_count =
      clamp_to_int(static_cast<int64_t>(params.sample_count) - params.offset_samples);
  if (length_ms > 0.0) return fit_length_require(length_ms, params, time_percent);
  return true;
}

// The used stretch never ends past the input's last frame.
void limit_to_input(int frame_count, RenderParams& params) {
  const int64_t end = static_cast<int64_t>(params.sample_count) + params.offset_samples;
  if (end > frame_count)
    params.sample_count = clamp_to_int(static_cast<int64_t>(frame_count) - params.offset_samples);
}

}  // namespace

TimingWords timing_words(int argc, const char* const* argv) {
  TimingWords words;
  words.time_percent = word_at(argc, argv, ARG_TIME, ARG_TIME + 1);
  words.offset = word_at(argc, argv, ARG_OFFSET, ARG_LENGTH_REQUIRE + 1);
  words.length_require = word_at(argc, argv, ARG_LENGTH_REQUIRE, ARG_LENGTH_REQUIRE + 1);
  words.fixed_length = word_at(argc, argv, ARG_FIXED, ARG_FIXED + 1);
  words.end_blank = word_at(argc, argv, ARG_END_BLANK, ARG_END_BLANK + 1);
  words.volume = word_at(argc, argv, ARG_VOLUME, ARG_VOLUME + 1);
  words.modulation = word_at(argc, argv, ARG_MODULATION, ARG_MODULATION + 1);
  return words;
}

int offset_in_samples(double sample_rate, double offset_ms) {
  const int offset = saturating_trunc(sample_rate * offset_ms / 1000.0 + 1.0);
  return offset < 0 ? 0 : offset;
}

bool read_timing_arguments(const TimingInput& input, RenderParams& params, double& time_percent) {
  const TimingWords& words = input.words;
  const double sample_rate = static_cast<double>(input.sample_rate);
  read_fixed_length(words.fixed_length, sample_rate, params);
  if (words.end_blank != nullptr) apply_end_blank(words, sample_rate, params);
  read_volume_and_modulation(words, params);
  time_percent = read_time_percent(words.time_percent);
  if (words.offset != nullptr && !apply_offset_and_length(words, sample_rate, params, time_percent))
    return false;
  limit_to_input(input.frame_count, params);
  return true;
}

bool settle_output_length(double time_percent, RenderParams& params) {
  double factor = 1.0;
  if (time_percent == 100.0 && params.pitch_percent == 100.0) {
    std::printf("\x90\x4c\x8f\x6b\x82\xc8\x82\xb5\n");  // "伸縮なし\n"
  } else {
    std::printf("\x83\x73\x83\x62\x83\x60 %0.3lf%%\n", params.pitch_percent);  // "ピッチ %0.3lf%%\n"
    std::printf("\x83\x5e\x83\x43\x83\x80 %0.3lf%%\n", time_percent);  // "タイム %0.3lf%%\n"
    factor = time_percent * 0.01;
  }
  params.time_factor = factor;
  params.input_step = 1.0 / factor * params.rate_ratio;
  const double count = params.sample_count;
  const double length = params.fixed_in == 0.0
                            ? count * factor / params.rate_ratio + 0.5
                            : ((count - params.fixed_in) * factor + params.fixed_in) / params.rate_ratio + 0.5;
  params.out_len = saturating_trunc(length);
  if (params.sample_count <= 0 || params.out_len <= 0) {
    print_no_samples();
    return false;
  }
  if (params.out_len > MAX_OUT_LEN) {
    std::printf("output too long.\n");
    return false;
  }
  std::printf("\x92\xb7\x82\xb3 %d \x81\xa8 %d\n", params.sample_count,
              params.out_len);  // "長さ %d → %d\n"
  return true;
}

}  // namespace quillet
