#include "driver/pitch_target.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/constants.h"
#include "driver/command_line.h"
#include "core/numeric.h"
#include "core/flags.h"

namespace quillet {
namespace {

// Semitones above C of the note letters A to G.
constexpr int LETTER_SEMITONES[7] = {9, 11, 0, 2, 4, 5, 7};

// Bend points are one ninety-sixth of a beat apart in tempo mode: 60 s / 96.
constexpr double NINETY_SIXTH_SECONDS = 0.625;

// Encoded cents are 12-bit two's complement values.
constexpr int CENTS_RANGE = 4096;
constexpr int CENTS_LIMIT = 2048;

// Factor that moves a frequency by cents.
double cents_factor(double cents) { return std::exp(std::log(2.0) * cents / 1200.0); }

// The bend spacing of a tempo given in beats per minute after a Q or "!".
int tempo_bend_step(const char* tempo_text) {
  double tempo = 0.0;
  read_word_double(tempo_text, tempo);
  int step = DEFAULT_BEND_STEP;
  if (tempo > 0.0)
    step = saturating_trunc(NINETY_SIXTH_SECONDS / tempo * static_cast<double>(OUTPUT_RATE) + 0.5);
  return step < 1 ? 1 : step;
}

// Bend points over the output, bend_step output samples apart.
void set_output_spacing(RenderParams& params, int step) {
  params.bend_mode = 1;
  params.bend_step = step;
  params.bend_last = params.out_len / step + 1;
}

// Appends last run times (as written after a "#") without passing the end.
void append_run(const char* run_text, int last, std::span<int> values, std::size_t& filled) {
  int run = 0;
  if (!read_word_int(run_text, run) || run <= 0) return;
  for (int r = 0; r < run && filled < values.size(); ++r) values[filled++] = last;
}

}  // namespace

double parse_note_name(const char* text, int shift, const FrequencyGrid& grid) {
  if (text == nullptr || text[0] < 'A' || text[0] > 'G') return 0.0;
  int semitone = LETTER_SEMITONES[text[0] - 'A'];
  const char* octave_text = text + 1;
  if (text[1] == '#' || text[1] == 'b') {
    semitone += text[1] == '#' ? 1 : -1;
    octave_text = text + 2;
  }
  if (*octave_text == '\0') return 0.0;
  int octave = 0;
  if (!read_word_int(octave_text, octave)) return 0.0;
  const int64_t index =
      (static_cast<int64_t>(semitone) + 12 * static_cast<int64_t>(octave) - NOTE_INDEX_OFFSET) * 10 +
      shift;
  if (index >= 0 && index < GRID_SIZE) return grid.freq[index];
  if (index < 0)
    return GRID_BASE_HZ *
           std::exp(std::log(2.0) / GRID_STEPS_PER_OCTAVE * static_cast<double>(index));
  return 0.0;
}

int base64_digit_value(char ch) {
  if (ch >= 'A' && ch <= 'Z') return ch - 'A';
  if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
  if (ch >= '0' && ch <= '9') return ch - '0' + 52;
  if (ch == '+') return 62;
  if (ch == '/') return 63;
  return 0;
}

int decode_bend_string(const char* text, std::span<int> values) {
  if (text == nullptr) return 0;
  const std::size_t length = std::strlen(text);
  std::size_t p = 0;
  std::size_t filled = 0;
  int last = 0;
  while (p < length) {
    if (text[p] == '#') {
      append_run(text + p + 1, last, values, filled);
      const char* close = std::strchr(text + p + 1, '#');
      p = close == nullptr ? length : static_cast<std::size_t>(close - text) + 1;
      continue;
    }
    int value = base64_digit_value(text[p]) * 64 + base64_digit_value(text[p + 1]);
    if (value >= CENTS_LIMIT) value -= CENTS_RANGE;
    last = value;
    if (filled < values.size()) values[filled++] = value;
    p += 2;
  }
  return length > INT32_MAX ? INT32_MAX : static_cast<int>(length);
}

void set_pitch_target(const char* pitch_word, const FrequencyGrid& grid, RenderParams& params) {
  params.tone_shift = 0;
  read_flag_int(params.flags, 't', params.tone_shift);
  const char* word = pitch_word == nullptr ? "" : pitch_word;
  const double avg = params.avg_freq;
  params.pitch_percent = 0.0;
  if (word[0] == 'n') {
    int index = 0;
    read_word_int(word + 1, index);
    if (index >= 1 && index < GRID_SIZE) {
      params.target_freq = grid.freq[index];
      params.pitch_percent = params.target_freq * 100.0 / avg;
    }
  } else if (const double note = parse_note_name(word, params.tone_shift, grid); note != 0.0) {
    params.target_freq = note;
    params.pitch_percent = note / avg * 100.0;
    std::printf("%0.3lfHz\x81\xa8%0.3lfHz\n", avg, note);  // "%0.3lfHz→%0.3lfHz\n"
  } else {
    params.pitch_percent = 100.0;
    read_word_double(word, params.pitch_percent);
    if (params.pitch_percent != 0.0) params.target_freq = avg * params.pitch_percent / 100.0;
  }
  // Unset, zero, negative or endless percents sing at the input's own pitch.
  if (!(params.pitch_percent > 0.0) || !std::isfinite(params.pitch_percent)) {
    params.pitch_percent = 100.0;
    params.target_freq = avg;
  }
}

std::span<const char* const> bend_words(int argc, const char* const* argv) {
  if (argc <= ARG_BEND) return {};
  return std::span<const char* const>(argv + ARG_BEND, static_cast<std::size_t>(argc - ARG_BEND));
}

void set_bend_spacing(std::span<const char* const> words, RenderParams& params) {
  params.bend_mode = 0;
  params.bend_step = DEFAULT_BEND_STEP;
  const int64_t used_end = static_cast<int64_t>(params.sample_count) + params.offset_samples;
  params.bend_last = static_cast<int>(used_end / DEFAULT_BEND_STEP + 1);
  if (words.size() < 2) return;
  const char* token = words[0];
  if (std::strchr(token, 'P') != nullptr) {
    set_output_spacing(params, DEFAULT_BEND_STEP);
    std::printf("P split=%d\n", params.bend_last);
  } else if (const char* q = std::strchr(token, 'Q'); q != nullptr) {
    set_output_spacing(params, tempo_bend_step(q + 1));
    std::printf("Q split=%d step=%d\n", params.bend_last, params.bend_step);
  } else if (token[0] == '!') {
    set_output_spacing(params, tempo_bend_step(token + 1));
    std::printf("! split=%d step=%d\n", params.bend_last, params.bend_step);
  } else {
    std::printf(" split=%d\n", params.bend_last);
  }
}

void build_bend_curve(std::span<const char* const> words, RenderParams& params) {
  if (params.bend_last < 0) params.bend_last = 0;
  const std::size_t points = static_cast<std::size_t>(params.bend_last) + 1;
  const double target = params.target_freq;
  params.bend_freq.assign(points, target);
  if (words.size() >= 2 && words[0][0] == '!') {
    std::vector<int> cents(points, 0);
    decode_bend_string(words[1], cents);
    for (std::size_t i = 0; i < points; ++i)
      if (cents[i] != 0) params.bend_freq[i] = target * cents_factor(cents[i]);
    return;
  }
  for (std::size_t i = 0; i < points && i < words.size(); ++i) {
    double cents = 0.0;
    read_word_double(words[i], cents);
    if (std::isnan(cents)) cents = 0.0;  // unreadable, like a word that is no number
    params.bend_freq[i] *= cents_factor(cents);
  }
}

}  // namespace quillet
