// The frequency list side files: binary ".frq" and text ".frt".
#pragma once

#include <optional>
#include <string>

#include "analysis/frequency_grid.h"
#include "core/frequency_list.h"

namespace quillet {

// Side-file name for input path and extension (".frq" or ".frt"): the path
// with the extension appended, a ".wav" right before it becoming "_wav".
std::string side_file_name(const std::string& path, const std::string& extension);

// A list read back holds exactly the file's count of steps plus one spare
// entry in each array (the spare repeats the last step). Absent when the file
// is missing, not a regular file, foreign (magic or header), has a step other
// than 256, a count of 0 or less, a freq_avg that is not a finite positive
// number, or ends before its last step. A stored freq that is not a finite
// positive number reads as 55.0, an amp that is not finite as 0.0; a text row
// without both numbers reads as 55.0 and 0.0.
std::optional<FrequencyList> read_frq(const std::string& path);
std::optional<FrequencyList> read_frt(const std::string& path);

// Write the whole file through replace_file_contents, so readers never see a
// partial file. Return whether the file was written.
bool write_frq(const std::string& path, const double* freq, const double* amp, int count,
               double freq_avg);
bool write_frt(const std::string& path, const double* freq, const double* amp, int count,
               double freq_avg, const FrequencyGrid& grid);

// Note name, octave and offset in tenths of a semitone of the grid frequency
// nearest to frequency, such as "A#1 -0.4".
std::string note_label(const FrequencyGrid& grid, double frequency);

}  // namespace quillet
