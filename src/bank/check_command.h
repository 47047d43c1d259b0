// quillet-bank check: finds the samples whose side file is missing, stale,
// unreadable, of the wrong length or likely wrong in pitch, and with --fix
// writes them a new one by the accurate analysis.
#pragma once

#include <string>
#include <vector>

namespace quillet {

inline constexpr double DISAGREEMENT_CENTS = 300.0;
inline constexpr double DISAGREEMENT_SHARE = 0.05;  // of the steps voiced in both lists
inline constexpr double VOICED_SHARE_FLOOR = 0.10;  // below it a sample is almost all unvoiced

struct SampleCheck {
  bool readable = true;               // false: the sound itself was refused
  std::vector<std::string> problems;  // plain-English, one per problem
};

// Every problem of one sample (runs the accurate analysis when the side file
// is readable and fits the sound).
SampleCheck check_sample(const std::string& path);

// The whole subcommand; returns the exit status.
int run_check_command(const std::vector<std::string>& args);

}  // namespace quillet
