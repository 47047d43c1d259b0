// The pitch of a note: the target frequency from the pitch word (a note
// name, "n" and a grid index, or a percent of the input's average), and the
// pitch-bend curve, one target frequency per bend point, from cents words or
// from one encoded text.
#pragma once

#include <span>

#include "analysis/frequency_grid.h"
#include "core/render_params.h"

namespace quillet {

// Grid index of A0's semitone count: (semitone + 12 * octave - 21) * 10.
inline constexpr int NOTE_INDEX_OFFSET = 21;
// Bend points lie every 256 input samples by default.
inline constexpr int DEFAULT_BEND_STEP = 256;

// Frequency of a note name such as "A4", "C#3" or "Bb2", moved by shift
// tenths of a semitone; 0.0 when text is not a note name in range.
double parse_note_name(const char* text, int shift, const FrequencyGrid& grid);

// The 6-bit value of one character of the standard Base64 alphabet; 0 for
// any other character.
int base64_digit_value(char ch);

// Decodes the encoded pitch-bend text (pairs of Base64 digits holding 12-bit
// signed cents, "#count#" repeating the last value) into values, which the
// caller has zero-filled. Returns the length of text (0 for nullptr).
int decode_bend_string(const char* text, std::span<int> values);

// Reads flag t into tone_shift, then sets target_freq and pitch_percent from
// the pitch word, relative to params.avg_freq. Prints the frequency line for
// a note name.
void set_pitch_target(const char* pitch_word, const FrequencyGrid& grid, RenderParams& params);

// The words from argument 12 on (empty when there are none): mode token and
// cents values, or the mode token and the encoded text.
std::span<const char* const> bend_words(int argc, const char* const* argv);

// bend_mode, bend_step and bend_last from the bend words, with the split line
// when a mode token is given. Needs out_len, sample_count and offset_samples.
void set_bend_spacing(std::span<const char* const> words, RenderParams& params);

// Fills bend_freq (bend_last + 1 points) around target_freq.
void build_bend_curve(std::span<const char* const> words, RenderParams& params);

}  // namespace quillet
