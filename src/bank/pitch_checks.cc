#include "bank/pitch_checks.h"

#include <algorithm>
#include <cmath>

namespace quillet {
namespace {

constexpr double kOctaveLow = 900.0;
constexpr double kOctaveHigh = 1500.0;

int listed(const FrequencyList& list) {
  return std::max(0, std::min<int>(list.length, static_cast<int>(list.freq.size())));
}

// +1 for a jump up by about an octave from step i - 1 to i, -1 for one down, else 0.
int octave_jump(const FrequencyList& list, int i) {
  const double cents = cents_apart(list.freq[i], list.freq[i - 1]);
  if (std::fabs(cents) < kOctaveLow || std::fabs(cents) > kOctaveHigh) return 0;
  return cents > 0 ? 1 : -1;
}

// The step at which the list comes back from a jump at step start, or -1.
int return_step(const FrequencyList& list, int start, int direction, int count) {
  const int end = std::min(count, start + MAX_EXCURSION_STEPS + 1);
  for (int i = start + 1; i < end; ++i) {
    if (!step_voiced(list.freq[i])) return -1;
    const int jump = octave_jump(list, i);
    if (jump == -direction) return i;
    if (jump == direction) return -1;
  }
  return -1;
}

}  // namespace

bool step_voiced(double frequency) {
  return std::isfinite(frequency) && frequency > 0.0 && frequency != UNVOICED_HZ;
}

double cents_apart(double frequency, double reference) {
  return 1200.0 * std::log2(frequency / reference);
}

std::vector<OctaveExcursion> octave_excursions(const FrequencyList& list) {
  std::vector<OctaveExcursion> found;
  const int count = listed(list);
  for (int i = 1; i < count; ++i) {
    if (!step_voiced(list.freq[i]) || !step_voiced(list.freq[i - 1])) continue;
    const int direction = octave_jump(list, i);
    if (direction == 0) continue;
    const int back = return_step(list, i, direction, count);
    if (back < 0) continue;
    found.push_back({i, back - 1});
    i = back;
  }
  return found;
}

double disagreement_share(const FrequencyList& list, const FrequencyList& other, double cents) {
  const int count = std::min(listed(list), listed(other));
  int both = 0;
  int apart = 0;
  for (int i = 0; i < count; ++i) {
    if (!step_voiced(list.freq[i]) || !step_voiced(other.freq[i])) continue;
    ++both;
    if (std::fabs(cents_apart(list.freq[i], other.freq[i])) > cents) ++apart;
  }
  return both == 0 ? 0.0 : static_cast<double>(apart) / both;
}

double voiced_share(const FrequencyList& list) {
  const int count = listed(list);
  if (count == 0) return 0.0;
  int voiced = 0;
  for (int i = 0; i < count; ++i) voiced += step_voiced(list.freq[i]) ? 1 : 0;
  return static_cast<double>(voiced) / count;
}

}  // namespace quillet
