// quillet-bank analyse: writes the ".frq" side files of many samples, several
// at once, and sums up what it did.
#pragma once

#include <string>
#include <vector>

#include "bank/bank_sample.h"

namespace quillet {

struct AnalyseOptions {
  AnalysisMethod method = AnalysisMethod::written;
  bool force = false;
  int jobs = 0;  // 0: the machine's cores
  std::vector<std::string> paths;
};

// Reads the words after "analyse"; on bad usage returns false and sets *reason.
bool parse_analyse_options(const std::vector<std::string>& args, AnalyseOptions* options,
                           std::string* reason);

// What became of the samples of a batch.
struct BatchSummary {
  int analysed = 0;
  int skipped = 0;
  std::vector<std::pair<std::string, std::string>> refused;  // path, reason
};

// Analyses the given samples (skipping up-to-date ones unless force), with
// progress on standard error.
BatchSummary analyse_samples(const std::vector<std::string>& samples, AnalysisMethod method,
                             bool force, int jobs);

// Prints the summary on standard output.
void print_batch_summary(const BatchSummary& summary);

// The whole subcommand; returns the exit status.
int run_analyse_command(const std::vector<std::string>& args);

}  // namespace quillet
