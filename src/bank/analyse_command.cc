#include "bank/analyse_command.h"

#include <cstdio>

#include "bank/bank_usage.h"
#include "bank/progress.h"
#include "bank/sample_walk.h"
#include "bank/worker_pool.h"

namespace quillet {
namespace {

constexpr int kAnalysed = 0;
constexpr int kRefused = 1;

bool parse_method(const std::string& word, AnalysisMethod* method) {
  if (word == "written") *method = AnalysisMethod::written;
  else if (word == "accurate") *method = AnalysisMethod::accurate;
  else return false;
  return true;
}

// Runs in a worker: reads and analyses one sample.
JobOutcome analyse_one(const std::string& path, AnalysisMethod method) {
  std::string reason;
  const std::optional<BankSample> sample = read_bank_sample(path, &reason);
  if (!sample) return {kRefused, reason};
  if (!write_bank_side_file(*sample, method)) return {kRefused, "the side file could not be written"};
  return {kAnalysed, ""};
}

}  // namespace

bool parse_analyse_options(const std::vector<std::string>& args, AnalyseOptions* options,
                           std::string* reason) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    const bool has_value = i + 1 < args.size();
    if (word == "--force") {
      options->force = true;
    } else if (word == "--method") {
      if (!has_value || !parse_method(args[++i], &options->method)) {
        *reason = "--method takes written or accurate";
        return false;
      }
    } else if (word == "--jobs") {
      if (!has_value || !read_count(args[++i], 1, 4096, &options->jobs)) {
        *reason = "--jobs takes a number from 1 to 4096";
        return false;
      }
    } else if (word.size() > 1 && word[0] == '-') {
      *reason = "analyse: unknown option " + word;
      return false;
    } else {
      options->paths.push_back(word);
    }
  }
  if (options->paths.empty()) *reason = "analyse needs at least one PATH";
  return !options->paths.empty();
}

BatchSummary analyse_samples(const std::vector<std::string>& samples, AnalysisMethod method,
                             bool force, int jobs) {
  BatchSummary summary;
  Progress progress = start_progress(static_cast<int>(samples.size()));
  std::vector<std::string> pending;
  for (const std::string& path : samples) {
    if (!force && side_file_age(path) == SideFileAge::not_older_than_sound) {
      ++summary.skipped;
      report_sample(progress, path, "skipped " + path + " (side file up to date)");
    } else {
      pending.push_back(path);
    }
  }
  run_jobs(
      static_cast<int>(pending.size()), jobs,
      [&](int index) { return analyse_one(pending[index], method); },
      [&](int index, const JobOutcome& outcome) {
        const std::string& path = pending[index];
        if (outcome.status == kAnalysed) {
          ++summary.analysed;
          report_sample(progress, path, "analysed " + path);
        } else {
          summary.refused.emplace_back(path, outcome.text);
          report_sample(progress, path, "refused " + path + ": " + outcome.text);
        }
      });
  end_progress(progress);
  return summary;
}

void print_batch_summary(const BatchSummary& summary) {
  std::printf("analysed %d, skipped %d, refused %zu\n", summary.analysed, summary.skipped,
              summary.refused.size());
  for (const auto& [path, reason] : summary.refused) {
    std::printf("refused %s: %s\n", path.c_str(), reason.c_str());
  }
}

int run_analyse_command(const std::vector<std::string>& args) {
  AnalyseOptions options;
  std::string reason;
  if (!parse_analyse_options(args, &options, &reason)) return usage_error(reason);
  const SampleWalk walk = walk_samples(options.paths);
  const int jobs = options.jobs > 0 ? options.jobs : machine_cores();
  BatchSummary summary = analyse_samples(walk.samples, options.method, options.force, jobs);
  for (const MissingPath& missing : walk.missing) summary.refused.emplace_back(missing.path, missing.reason);
  print_batch_summary(summary);
  return summary.refused.empty() ? 0 : 1;
}

}  // namespace quillet
