// One sample of a voice bank as the renderer sees it: the sound read by the
// reader its name asks for and passed by the renderer's format checks, and its
// frequency list by either analysis.
#pragma once

#include <optional>
#include <string>

#include "analysis/frequency_grid.h"
#include "core/frequency_list.h"
#include "core/wave_info.h"

namespace quillet {

enum class AnalysisMethod { written, accurate };

const char* method_name(AnalysisMethod method);  // "written" or "accurate"

struct BankSample {
  std::string path;
  WaveInfo info;
  SampleStore samples;  // with the renderer's zero tail
  int frame_count = 0;
  int sample_rate = 0;
  int channels = 0;
};

// Reads path as the renderer does (AIFF when the name ends in ".aiff", else
// WAV, then the format checks). On refusal returns nothing and sets *reason to
// a plain-English reason. Prints nothing.
std::optional<BankSample> read_bank_sample(const std::string& path, std::string* reason);

// How the sample's ".frq" side file stands against the sound.
enum class SideFileAge { absent, older_than_sound, not_older_than_sound };
SideFileAge side_file_age(const std::string& sample_path);

// The renderer's frequency grid for the sample's rate.
FrequencyGrid bank_sample_grid(const BankSample& sample);

// The number of steps the renderer lists for the sample (frame_count / 256 + 1).
int listed_steps(const BankSample& sample);

// The sample's frequency list by either method, touching no file beside the
// sample and printing nothing on standard output: the written method runs the
// renderer's own analysis in a private temporary folder. Absent only when the
// temporary folder cannot be used.
std::optional<FrequencyList> analyse_bank_sample(const BankSample& sample, AnalysisMethod method);

// Writes the sample's ".frq" side file whole (or not at all) by method; the
// written method's file is byte for byte the one the renderer writes with
// flag G. Returns whether the side file was written.
bool write_bank_side_file(const BankSample& sample, AnalysisMethod method);

}  // namespace quillet
