#include "analysis/pitch_analysis.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <optional>

#include "analysis/frequency_files.h"
#include "analysis/pitch_passes.h"
#include "core/file_lock.h"
#include "core/flags.h"

namespace quillet {

namespace {

// "周波数表作成中\n"
constexpr const char* kAnalysisStarts = "\x8e\xfc\x94\x67\x90\x94\x95\x5c\x8d\xec\x90\xac\x92\x86\n";

// Takes a stored list to nsteps + 1 steps (a shorter one repeats its last
// stored step, a longer one is cut) with a spare entry after them. Absent
// when nothing usable was stored.
std::optional<FrequencyList> fit_to_steps(std::optional<FrequencyList> stored, int nsteps) {
  if (!stored) return std::nullopt;
  const std::ptrdiff_t held = std::min<std::ptrdiff_t>(
      {stored->length, static_cast<std::ptrdiff_t>(stored->freq.size()),
       static_cast<std::ptrdiff_t>(stored->amp.size())});
  if (held <= 0) return std::nullopt;
  FrequencyList list;
  list.freq_avg = stored->freq_avg;
  list.length = nsteps + 1;
  list.freq.resize(static_cast<size_t>(nsteps) + 2);
  list.amp.resize(static_cast<size_t>(nsteps) + 2);
  for (int i = 0; i <= nsteps; ++i) {
    const std::ptrdiff_t from = std::min<std::ptrdiff_t>(i, held - 1);
    list.freq[i] = stored->freq[from];
    list.amp[i] = stored->amp[from];
  }
  return list;
}

// The list stored beside the input: the binary file, else the text file
// (from which the binary file is created at once).
std::optional<FrequencyList> stored_list(const std::string& path, int nsteps) {
  std::optional<FrequencyList> list = fit_to_steps(read_frq(path), nsteps);
  if (list) return list;
  list = fit_to_steps(read_frt(path), nsteps);
  if (list) write_frq(path, list->freq.data(), list->amp.data(), nsteps + 1, list->freq_avg);
  return list;
}

FrequencyList analyse_sound(const SoundView& sound, const std::string& flags) {
  std::printf("%s", kAnalysisStarts);
  const int nsteps = sound.nsteps;
  FrequencyList list;
  list.length = nsteps + 1;
  list.freq.assign(static_cast<size_t>(nsteps) + 2, 0.0);
  list.amp.assign(static_cast<size_t>(nsteps) + 2, 0.0);
  PitchWork work;
  work.cand.assign(static_cast<size_t>(nsteps) + 2, 0);
  coarse_pass(sound, work, list.freq.data(), list.amp.data());
  const GridRange global = global_range(sound, work);
  list.freq_avg = consistency_pass(sound, work, global, list.freq.data(), list.amp.data());
  refine_pass(sound, work, list.freq.data());
  double limit = SMOOTH_LIMIT_HZ;
  read_flag_double(flags, 'A', limit);
  if (list.freq_avg < limit) smooth_low_voice(list.freq, nsteps, list.freq_avg);
  return list;
}

}  // namespace

FrequencyList analyse_pitch(const std::string& path, const std::string& flags,
                            const SampleStore& samples, int frame_count, int sample_rate,
                            int channels, const FrequencyGrid& grid) {
  frame_count = std::max(frame_count, 0);
  const int nsteps = frame_count / BLOCK_STEP;
  std::optional<FrequencyList> list = stored_list(path, nsteps);
  // Runs that would analyse the same input take turns; one that waited finds
  // the list the first one wrote. Where no lock can be had each run analyses.
  FileLock turn;
  if (!list && !has_flag(flags, 'G')) {
    turn = lock_file_exclusive(path);
    list = stored_list(path, nsteps);
  }
  if (!list || has_flag(flags, 'G')) {
    const SoundView sound{samples, channels, sample_rate, nsteps, grid};
    list = analyse_sound(sound, flags);
    write_frq(path, list->freq.data(), list->amp.data(), nsteps + 1, list->freq_avg);
  }
  if (has_flag(flags, 'T')) {
    write_frt(path, list->freq.data(), list->amp.data(), nsteps + 1, list->freq_avg, grid);
  }
  list->freq[nsteps + 1] = list->freq[nsteps];
  list->amp[nsteps + 1] = list->amp[nsteps];
  return std::move(*list);
}

}  // namespace quillet
