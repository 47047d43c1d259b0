// The analysis of a sound's frequency list: a coarse estimate per step, a pass
// that holds every step to the sound's overall pitch range and repairs
// outliers, a refinement of each voiced step's period to a fraction of a
// sample, and the smoothing of the list of a low voice.
#pragma once

#include <vector>

#include "analysis/frequency_grid.h"
#include "analysis/pitch_estimators.h"
#include "core/wave_info.h"
#include "core/constants.h"

namespace quillet {

inline constexpr int CONTINUITY_HISTORY = 6;
inline constexpr double ENERGY_WEIGHT_SCALE = 3.0517578125e-05;
inline constexpr int COARSE_HALF_RANGE = 8;
inline constexpr int GLOBAL_HALF_RANGE = 50;
inline constexpr int REPAIR_HALF_RANGE = 30;
inline constexpr int REFINE_LEAD = 1536;
inline constexpr int REFINE_TRIALS = 257;
inline constexpr int REFINE_HALF_SPAN = 512;
inline constexpr int REFINE_MIDDLE = 128;
inline constexpr double SEMITONE_DOWN = 0.9438743126817;
inline constexpr double SEMITONE_UP = 1.0594630943593;
inline constexpr double SMOOTH_NEAR_WEIGHT = 0.866025404;
inline constexpr double SMOOTH_FAR_WEIGHT = 0.5;

// The sound under analysis and the grid it is measured on.
struct SoundView {
  const SampleStore& samples;
  int channels;
  int sample_rate;
  int nsteps;  // frame count / 256; steps 0..nsteps are analysed
  const FrequencyGrid& grid;
};

// Grid indices lo..hi, both ends included.
struct GridRange {
  int lo = 1;
  int hi = GRID_SIZE;
};

// Running weighted average of the step frequencies.
struct ContinuitySums {
  double sum = 0.0;
  double weight_sum = 0.0;
};

// One thread's buffers for measuring steps: a block and its grid spectrum.
struct StepScratch {
  std::vector<double> y = std::vector<double>(BLOCK_LENGTH);
  // The measuring blocks of BATCH_BLOCKS consecutive steps, one run of samples.
  std::vector<double> run = std::vector<double>(BLOCK_LENGTH + (BATCH_BLOCKS - 1) * BLOCK_STEP);
  std::vector<double> spectrum = std::vector<double>(GRID_SIZE);
  std::vector<std::vector<double>> spectra;  // of up to four blocks measured together
};

// The spectral peak of a step's measuring block over lo .. hi - 1, made ahead
// of the second pass; peak is -1 until it has been measured.
struct StepMeasurement {
  int lo = 0;
  int hi = 0;
  int peak = -1;
};

// Working data of one analysis. The passes share the independent per-step
// measurements out among up to four threads, each with its own scratch; the
// running sums, the repair walks and the progress lines stay in step order on
// the calling thread.
class SplitHelper;

struct PitchWork {
  StepScratch scratch;  // the calling thread's buffers
  // While the second pass walks its steps: the helper that measures half of
  // each spectrum the walk measures (none: the walk measures alone).
  SplitHelper* split_spectra = nullptr;
  GridFactors factors;  // grid spectrum factors of every index measured so far
  std::vector<int> cand;  // nsteps + 2 candidate grid indices; the last stays 0
  std::vector<StepMeasurement> ahead;  // second pass: one measurement per step at most
  ContinuitySums sums;
};

// Range of grid indices centre - half .. centre + half, clipped to 1 .. 901.
GridRange grid_range_around(int centre, int half);

// Adds step i (frequency freq[i], amplitude amp) to the running average when
// 55 < freq[i] < 1000; freq[i - 1 .. i - 6] are the earlier steps.
void add_continuity_weight(ContinuitySums& sums, const double* freq, int i, double amp);

// First pass: amp[i], cand[i] and freq[i] (the grid frequency of cand[i]) for
// every step. Prints a progress line per step.
void coarse_pass(const SoundView& sound, PitchWork& work, double* freq, double* amp);

// The global range around the average of the first pass; resets the sums.
GridRange global_range(const SoundView& sound, PitchWork& work);

// Second pass: freq[i] of every step within the global range or repaired from
// its neighbours. Returns the average frequency of the voiced steps.
double consistency_pass(const SoundView& sound, PitchWork& work, const GridRange& global,
                        double* freq, const double* amp);

// Third pass: each voiced step's frequency refined from its period.
void refine_pass(const SoundView& sound, PitchWork& work, double* freq);

// amp[0 .. nsteps] as the first pass measures them, without its estimates
// or progress lines.
void step_amplitudes(const SoundView& sound, double* amp);

// The average that the second pass returns, taken over a finished list
// freq[0 .. nsteps] with amplitudes amp: the running continuity average of
// its steps, UNVOICED_HZ when it has no weight.
double continuity_average(const double* freq, const double* amp, int nsteps);

// Smooths freq[0 .. nsteps + 1] (entry nsteps + 1 is set to entry nsteps
// first); unvoiced neighbours count as freq_avg.
void smooth_low_voice(std::vector<double>& freq, int nsteps, double freq_avg);

}  // namespace quillet
