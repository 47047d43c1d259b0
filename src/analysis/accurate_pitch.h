// The accurate pitch analysis of a whole sound: per 256-frame step, a
// probabilistic threshold estimator over the cumulative mean normalised
// difference function gives pitch candidates with probabilities; a hidden
// Markov model over fine pitch states and their unvoiced twins, decoded by
// Viterbi, picks one path through them. The result has the frequency list's
// shape: the renderer's steps and amplitudes, its average rule, and 55.0 for
// unvoiced steps.
#pragma once

#include "analysis/frequency_grid.h"
#include "core/frequency_list.h"
#include "core/wave_info.h"

namespace quillet {

// The frequency list of a whole sound by the accurate method: the same steps
// as the renderer's analysis (frame_count / 256 + 1 listed steps, steps
// 0 .. nsteps), its amp values, freq_avg by its running-average rule applied
// to these frequencies, UNVOICED_HZ (55.0) for unvoiced steps. The returned
// list has length = nsteps + 1 and freq / amp with nsteps + 2 entries (the
// last repeats entry nsteps), exactly the shape analyse_pitch returns, so
// write_frq(path, freq.data(), amp.data(), nsteps + 1, freq_avg) stores it.
// Reads channel 0 of a multichannel store. Prints nothing and uses no
// globals, so several sounds may be analysed at once.
// The steps' candidates and refinements are shared out among the machine's
// cores (at most two); every number is the one a single thread gives.
FrequencyList analyse_pitch_accurate(const SampleStore& samples, int frame_count, int sample_rate,
                                     int channels, const FrequencyGrid& grid);

// The same on threads threads (1: all on the calling thread).
FrequencyList analyse_pitch_accurate(const SampleStore& samples, int frame_count, int sample_rate,
                                     int channels, const FrequencyGrid& grid, int threads);

}  // namespace quillet
