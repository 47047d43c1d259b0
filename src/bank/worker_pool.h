// Runs one job per item in worker processes, several at once. Each job runs
// in a child of its own, so a sample that brings its analysis down costs only
// that sample; its outcome is a status and a short text sent back through a
// pipe.
#pragma once

#include <functional>
#include <string>

namespace quillet {

struct JobOutcome {
  int status = 0;        // the job's own status; negative when the worker died
  std::string text;      // what the job sent back (at most a few KiB)
};

using Job = std::function<JobOutcome(int index)>;
using JobDone = std::function<void(int index, const JobOutcome& outcome)>;

// Runs job(0) .. job(count - 1), at most jobs at once, and calls done in the
// parent as each one ends (in the order they end). A job whose worker cannot
// be started runs in the parent instead.
void run_jobs(int count, int jobs, const Job& job, const JobDone& done);

// The machine's cores (at least 1).
int machine_cores();

}  // namespace quillet
