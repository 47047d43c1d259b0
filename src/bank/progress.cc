#include "bank/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quillet {
namespace {

int terminal_width() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40) return size.ws_col;
  return 80;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

Progress start_progress(int total) {
  Progress progress;
  progress.total = total;
  progress.terminal = isatty(STDERR_FILENO) != 0;
  progress.start = std::chrono::steady_clock::now();
  if (progress.terminal && total > 0) {
    std::fprintf(stderr, "%s", progress_bar(0, total, "", 0.0, 0.0, terminal_width()).c_str());
  }
  return progress;
}

std::string clock_text(double seconds) {
  const long whole = std::lround(std::max(seconds, 0.0));
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  }
  return text;
}

std::string progress_bar(int done, int total, const std::string& name, double elapsed_s,
                         double remaining_s, int width) {
  constexpr int kBarCells = 24;
  const int filled = total > 0 ? done * kBarCells / total : kBarCells;
  std::string text = "[" + std::string(filled, '#') + std::string(kBarCells - filled, '.') + "] " +
                     std::to_string(done) + "/" + std::to_string(total) + "  " +
                     clock_text(elapsed_s) + " elapsed, " + clock_text(remaining_s) + " left  ";
  const int room = width - 1 - static_cast<int>(text.size());
  if (room > 3) {
    text += static_cast<int>(name.size()) <= room ? name : "..." + name.substr(name.size() - (room - 3));
  }
  return text;
}

void report_sample(Progress& progress, const std::string& name, const std::string& line) {
  ++progress.done;
  if (!progress.terminal) {
    std::fprintf(stderr, "[%d/%d] %s\n", progress.done, progress.total, line.c_str());
    return;
  }
  const double elapsed = seconds_since(progress.start);
  const double remaining = elapsed / progress.done * (progress.total - progress.done);
  const std::string bar = progress_bar(progress.done, progress.total, name, elapsed, remaining,
                                       terminal_width());
  std::fprintf(stderr, "\r\x1b[K%s", bar.c_str());
}

void end_progress(const Progress& progress) {
  if (progress.terminal && progress.done > 0) std::fprintf(stderr, "\r\x1b[K");
}

}  // namespace quillet
