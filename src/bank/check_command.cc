#include "bank/check_command.h"

#include <cstdio>
#include <optional>

#include "analysis/frequency_files.h"
#include "bank/analyse_command.h"
#include "bank/bank_sample.h"
#include "bank/bank_usage.h"
#include "bank/pitch_checks.h"
#include "bank/progress.h"
#include "bank/sample_walk.h"
#include "bank/worker_pool.h"
#include "core/constants.h"

namespace quillet {
namespace {

std::string format_text(const char* format, double a, double b = 0.0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

void check_pitch(const BankSample& sample, const FrequencyList& list, SampleCheck& check) {
  const double seconds_per_step = static_cast<double>(BLOCK_STEP) / sample.sample_rate;
  const std::vector<OctaveExcursion> jumps = octave_excursions(list);
  if (!jumps.empty()) {
    check.problems.push_back(format_text("octave jump and back at %.2f s", jumps[0].first * seconds_per_step) +
                             (jumps.size() > 1 ? " and " + std::to_string(jumps.size() - 1) + " more" : ""));
  }
  const double voiced = voiced_share(list);
  if (voiced < VOICED_SHARE_FLOOR) {
    check.problems.push_back(format_text("almost all unvoiced (%.1f %% of steps voiced)", 100.0 * voiced));
    return;
  }
  const std::optional<FrequencyList> accurate = analyse_bank_sample(sample, AnalysisMethod::accurate);
  const double apart = accurate ? disagreement_share(list, *accurate, DISAGREEMENT_CENTS) : 0.0;
  if (apart > DISAGREEMENT_SHARE) {
    check.problems.push_back(format_text(
        "more than 300 cents from the accurate analysis on %.1f %% of voiced steps", 100.0 * apart));
  }
}

void check_side_file(const BankSample& sample, SampleCheck& check) {
  const SideFileAge age = side_file_age(sample.path);
  if (age == SideFileAge::absent) {
    check.problems.push_back("no side file");
    return;
  }
  if (age == SideFileAge::older_than_sound) check.problems.push_back("side file older than the sound");
  const std::optional<FrequencyList> list = read_frq(sample.path);
  if (!list) {
    check.problems.push_back("side file unreadable");
    return;
  }
  if (list->length != listed_steps(sample)) {
    check.problems.push_back("side file lists " + std::to_string(list->length) + " steps, the sound has " +
                             std::to_string(listed_steps(sample)));
    return;
  }
  check_pitch(sample, *list, check);
}

JobOutcome check_job(const std::string& path) {
  const SampleCheck check = check_sample(path);
  std::string text;
  for (const std::string& problem : check.problems) text += problem + "\n";
  return {check.readable ? 0 : 1, text};
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

}  // namespace

SampleCheck check_sample(const std::string& path) {
  SampleCheck check;
  std::string reason;
  const std::optional<BankSample> sample = read_bank_sample(path, &reason);
  if (!sample) {
    check.readable = false;
    check.problems.push_back("sound refused: " + reason);
    return check;
  }
  check_side_file(*sample, check);
  return check;
}

int run_check_command(const std::vector<std::string>& args) {
  bool fix = false;
  std::vector<std::string> paths;
  for (const std::string& word : args) {
    if (word == "--fix") fix = true;
    else if (word.size() > 1 && word[0] == '-') return usage_error("check: unknown option " + word);
    else paths.push_back(word);
  }
  if (paths.empty()) return usage_error("check needs at least one PATH");
  const SampleWalk walk = walk_samples(paths);
  std::vector<std::vector<std::string>> problems(walk.samples.size());
  std::vector<bool> fixable(walk.samples.size(), false);
  Progress progress = start_progress(static_cast<int>(walk.samples.size()));
  run_jobs(static_cast<int>(walk.samples.size()), machine_cores(),
           [&](int index) { return check_job(walk.samples[index]); },
           [&](int index, const JobOutcome& outcome) {
             problems[index] = outcome.status < 0 ? std::vector<std::string>{outcome.text} : lines_of(outcome.text);
             fixable[index] = outcome.status == 0 && !problems[index].empty();
             if (progress.terminal) report_sample(progress, walk.samples[index], "");
           });
  end_progress(progress);
  int with_problems = 0;
  std::vector<std::string> to_fix;
  for (size_t i = 0; i < walk.samples.size(); ++i) {
    for (const std::string& problem : problems[i]) std::printf("%s: %s\n", walk.samples[i].c_str(), problem.c_str());
    with_problems += problems[i].empty() ? 0 : 1;
    if (fixable[i]) to_fix.push_back(walk.samples[i]);
  }
  for (const MissingPath& missing : walk.missing) std::printf("%s: %s\n", missing.path.c_str(), missing.reason.c_str());
  std::printf("checked %zu samples: %d with problems\n", walk.samples.size(), with_problems);
  if (fix && !to_fix.empty()) {
    const BatchSummary fixed = analyse_samples(to_fix, AnalysisMethod::accurate, true, machine_cores());
    std::printf("fixed %d of %zu samples by the accurate analysis\n", fixed.analysed, to_fix.size());
  }
  return with_problems > 0 || !walk.missing.empty() ? 1 : 0;
}

}  // namespace quillet
