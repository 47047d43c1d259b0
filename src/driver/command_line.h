// The command line: the usage text, the positional words with the argument
// counts at which each is read, the flags word, the input reader choice and
// the settings read from the flags for the loop (W and Y).
#pragma once

#include <string>

#include "core/render_params.h"

namespace quillet {

// Positions of the words on the command line (word 0 is the program).
inline constexpr int ARG_INPUT = 1;
inline constexpr int ARG_OUTPUT = 2;
inline constexpr int ARG_PITCH = 3;
inline constexpr int ARG_TIME = 4;
inline constexpr int ARG_FLAGS = 5;
inline constexpr int ARG_OFFSET = 6;
inline constexpr int ARG_LENGTH_REQUIRE = 7;
inline constexpr int ARG_FIXED = 8;
inline constexpr int ARG_END_BLANK = 9;
inline constexpr int ARG_VOLUME = 10;
inline constexpr int ARG_MODULATION = 11;
inline constexpr int ARG_BEND = 12;

// Fewer words than this print the usage text.
inline constexpr int MIN_ARGC = 5;

// Prints the usage text.
void print_usage();

// Word index of argv when argc has reached threshold, else nullptr.
const char* word_at(int argc, const char* const* argv, int index, int threshold);

// The flags word: argument 5 when argc >= 6, else "L".
std::string flags_word(int argc, const char* const* argv);

// True when path ends in ".aiff" (exact case): such inputs are read as AIFF.
bool is_aiff_path(const std::string& path);

// Fills saw_test (flag W) and aperiodic_floor (flag Y, percent, clamped to
// [0, 1]) from params.flags.
void read_loop_flags(RenderParams& params);

}  // namespace quillet
