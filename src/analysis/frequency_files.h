// The frequency list side files: binary ".frq" and text ".frt".
#pragma once

#include <optional>
#include <string>

#include "analysis/frequency_grid.h"
#include "analysis/frequency_list.h"

namespace quillet {

// Side-file name for input path and extension (".frq" or ".frt"): the path
// with the extension appended, a ".wav" right before it becoming "_wav".
std::string side_file_name(const std::string& path, const std::string& extension);

// A list read back holds count + 1 entries in each array; entries 0..count-1
// are filled from the file. Absent when the file is missing or unreadable.
std::optional<FrequencyList> read_frq(const std::string& path);
std::optional<FrequencyList> read_frt(const std::string& path);

// Write atomically (a unique temporary file renamed into place). Return
// whether the file was written.
bool write_frq(const std::string& path, const double* freq, const double* amp, int count,
               double freq_avg);
bool write_frt(const std::string& path, const double* freq, const double* amp, int count,
               double freq_avg, const FrequencyGrid& grid);

// Note name, octave and offset in tenths of a semitone of the grid frequency
// nearest to frequency, such as "A#1 -0.4".
std::string note_label(const FrequencyGrid& grid, double frequency);

}  // namespace quillet
