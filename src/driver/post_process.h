// Post-processing of the rendered signals into the output file: smoothing,
// breathiness mixes, the post filter, normalisation, volume, clipping and the
// 16-bit WAV.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/frequency_list.h"
#include "core/wave_info.h"
#include "core/render_params.h"
#include "synth/resynthesis.h"

namespace quillet {

// Runs every stage and writes output_path. Prints the stage lines. Returns 0
// when the file was written; prints "file write error." and returns -1 when
// it could not be.
int post_process_and_write(const RenderParams& params, RenderedSignals& signals,
                           const SampleStore& samples, int channels, const FrequencyList& list,
                           const std::string& output_path);

// The stages, one by one. Flag weights are written in percent.

// Weight of a one-pole smoothing letter ("h", "H"): 0 when absent; otherwise
// the number after it (0 if unreadable) times 0.01, below 0 -> 0, 1 or more ->
// 0.9999999, then its square root.
double one_pole_weight(const std::string& flags, char letter);

// Weight of a three-tap smoothing letter ("c", "C", "D", "E"): default_weight
// when absent; otherwise the number after it (default_weight if unreadable)
// times 0.01, clamped to [0, 1].
double three_tap_weight(const std::string& flags, char letter, double default_weight);

// y[i] = (1 - a) y[i] + a y[i - 1] for i = 1 ... out_len - 1, recursively.
void one_pole_smooth(std::vector<double>& y, int out_len, double a);

// y[i] = w s[i] + (1 - w) y[i] with s[i] = 0.5 y[i] + 0.25 y[i + d] + 0.25 y[i - d]
// from the values before the pass (the last term only for i >= d; entries past
// the end of y read 0).
void three_tap_smooth(std::vector<double>& y, int out_len, double w, int d);

struct MixWeights {
  double voice = 1.0;
  double breath = 1.0;
};

// Mix weights of a breathiness letter ("B", "b"): start unchanged when the
// letter is absent or the last character; otherwise x = the number after it
// (default_value if unreadable), "Bre=%0.1lf\n" printed when print_line, and
// 0 <= x < 50: voice 1, breath x * 0.02; 50 < x <= 100: voice (100 - x) * 0.02,
// breath 1; anything else: both 1.
MixWeights mix_weights(const std::string& flags, char letter, double default_value,
                       MixWeights start, bool print_line);

// Whether mix_weights reads letter: present and not the last character.
bool mix_letter_applies(const std::string& flags, char letter);

// y[i] = voice y[i] + breath z[i] for i < out_len (entries past the end of z read 0).
void mix_signals(std::vector<double>& y, const std::vector<double>& z, int out_len,
                 const MixWeights& weights);

// Stages 1 to 3: the one-pole smoothing "h", then the three-tap smoothing
// "c" at tap distance 1, which runs at 0.5 by default unless "h" smoothed,
// then the first breathiness mix "B" of z into y (which prints its line);
// the numbers of the three stages run one after the other.
void smooth_and_mix_before_filter(const std::string& flags, std::vector<double>& y,
                                  const std::vector<double>& z, int out_len);

// Last low bin the post filter may not boost: from the target (letter "F" sets
// the factor, default 3) or the average frequency (letter "K"), or set
// directly (letter "L"); never above 17.
int filter_band_index(const std::string& flags, double target_freq, double avg_freq);

// Gain that normalises a signal of the given peak: 16384 / peak scaled by the
// strength (letter "P" in percent, default 0.86), plus 1 - strength.
double normalisation_gain(const std::string& flags, double peak);

// y[i] * gain * volume clipped to +-32767 and truncated, for i < out_len.
std::vector<int16_t> to_pcm16(const std::vector<double>& y, int out_len, double gain,
                              double volume);

}  // namespace quillet
