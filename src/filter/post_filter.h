// The formant filter: reshapes the short-time spectrum of the voiced signal
// so that its spectral envelope follows the envelope of the input at the
// mapped place, with an optional band split that also filters the aperiodic
// signal. Works on 1024-point spectra at a hop of 512 output samples.
#pragma once

#include <string>
#include <vector>

#include "core/wave_info.h"

namespace quillet {

// Rewrites voiced[0 ... out_len - 1] (and aperiodic[0 ... out_len - 1] while
// the band split ends with a cutoff above 0) and returns the largest absolute
// value written to either filtered signal (0.0 if none).
//
// freq is the frequency list's freq vector: one entry per 256 input frames,
// nsteps + 2 entries for a sound of nsteps = frame count / 256, so its size
// gives nsteps. bend_freq has bend_last + 1 entries. Reads past the end of
// any vector or of the sample store read 0.
//
// Prints its start line and a progress line per frame; with the flag "S"
// writes the gained magnitudes of every frame to "tmp.bin" in the current
// folder.
//
// threads: 1 makes every frame on the calling thread; 2 lets a second
// thread make the frames from a point beyond what the calling thread has
// claimed (from frame fixed_split on, when that is 0 or more); 0 takes
// worker_threads(). The dump keeps to one thread. Every count and every
// split gives the same bits.
//
// aperiodic_use: with AperiodicUse::done the caller reads aperiodic no more
// after the call. The band split then leaves it unfiltered, the filtered
// voiced signal is made in its memory (the two vectors trade places, voiced
// keeping its entries from out_len on) and the value returned is the largest
// of the voiced signal alone: voiced gets the same numbers, aperiodic is left
// with whatever it holds.
enum class AperiodicUse { read_later, done };

double post_filter(std::vector<double>& voiced, std::vector<double>& aperiodic, int out_len,
                   const SampleStore& samples, int channels, int sample_count, int offset_samples,
                   double fixed_in, int band_index, double gen, double fce,
                   const std::vector<double>& bend_freq, int bend_step,
                   const std::vector<double>& freq, double avg_freq, const std::string& flags,
                   int bend_mode, int threads = 0, int fixed_split = -1,
                   AperiodicUse aperiodic_use = AperiodicUse::read_later);

}  // namespace quillet
