// The resynthesis loop: maps every output sample to an input position and
// renders the voiced signal (pitch-shifted heads) and the aperiodic signal.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/frequency_list.h"
#include "core/wave_info.h"
#include "core/render_params.h"

namespace quillet {

// The two rendered signals, on the scale of 16-bit samples, one entry per
// output sample followed by a zero-filled tail of spare entries.
struct RenderedSignals {
  std::vector<double> voiced;
  std::vector<double> aperiodic;
};

// Output samples over which the speed moves from normal to stretched: 128
// before the fixed head's end and 127 after it.
inline constexpr int TRANSITION_LENGTH = 255;

// The mapping from output samples to input positions, built once per run.
struct TimeMap {
  double time_factor = 1.0;      // T
  double rate_ratio = 1.0;       // R
  double offset = 0.0;           // input frame of output sample 0
  double input_step = 1.0;       // R / T, the advance without a fixed head
  bool has_fixed_head = false;
  double fixed_out = 0.0;        // F, end of the fixed head in output samples
  double k1 = 0.0;               // linear factor of the transition position
  double k2 = 0.0;               // sine factor of the transition position
  std::array<double, TRANSITION_LENGTH> sin_table{};
  std::array<double, TRANSITION_LENGTH> cos_table{};
};

// Input position of an output sample (frames) and the input advance per
// output sample there.
struct InputPlace {
  double pos = 0.0;
  double adv = 0.0;
};

TimeMap make_time_map(const RenderParams& params);
InputPlace map_output_sample(const TimeMap& map, int n);

// Input frames in one period of f_loc Hz at sample_rate, doubled until it
// reaches 32 frames.
double voiced_lag(double sample_rate, double f_loc);

// Brings phase into [0, lag]: first down from above the lag, then up from
// below 0. Values more than 64 lags out are first reduced with fmod.
double wrap_voiced_phase(double phase, double lag);

// Entries of voiced and aperiodic: out_len, then the spare tail.
int64_t rendered_length(const RenderParams& params);

// Renders both signals for the whole note; prints "%d -> %d  \r" (block index,
// output sample / 256) whenever the loop enters a new block of the input.
// Notes of 4096 samples or more are rendered in two parts on two threads
// where the processor has two cores: the first thread renders from the
// start, a run of samples at a time; the second walks the samples from the
// start without rendering them, to carry the loop's state (the voiced head,
// the grain readers) exactly as rendering would, until it stands half way
// between the first one's claims and the end, and renders from there on;
// its progress lines are printed after the first thread's. Every signal entry
// and every byte printed equal those of rendering on one thread.
RenderedSignals resynthesize(const RenderParams& params, const SampleStore& samples, int channels,
                             const FrequencyList& list);

// As resynthesize, on one thread when threads is below 2.
RenderedSignals resynthesize(const RenderParams& params, const SampleStore& samples, int channels,
                             const FrequencyList& list, int threads);

// As resynthesize on two threads, the second one's part starting at split
// exactly (without a second thread, this one renders all).
RenderedSignals resynthesize_in_two(const RenderParams& params, const SampleStore& samples, int channels,
                                    const FrequencyList& list, int split);

}  // namespace quillet
