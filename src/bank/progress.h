// Progress of a batch on standard error: on a terminal one bar redrawn in
// place (samples done of total, the latest name, elapsed and remaining time),
// elsewhere one plain line per sample.
#pragma once

#include <chrono>
#include <string>

namespace quillet {

struct Progress {
  int total = 0;
  int done = 0;
  bool terminal = false;
  std::chrono::steady_clock::time_point start;
};

// A progress for total samples; terminal when standard error is one.
Progress start_progress(int total);

// One sample ended: line is its plain line, such as "analysed voice.wav".
void report_sample(Progress& progress, const std::string& name, const std::string& line);

// Clears the bar, so that what follows starts on a clean line.
void end_progress(const Progress& progress);

// The bar's text for done of total, the name and the times in seconds,
// fitted to width columns.
std::string progress_bar(int done, int total, const std::string& name, double elapsed_s,
                         double remaining_s, int width);

// "m:ss" (or "h:mm:ss" from an hour on) for a number of seconds.
std::string clock_text(double seconds);

}  // namespace quillet
