// The derived parameters of one run.
#pragma once

#include <string>
#include <vector>

namespace quillet {

struct RenderParams {
  std::string flags = "L";
  double rate_ratio = 1.0;       // input sample rate / 44100
  int sample_count = 0;          // input frames in use, counted from the offset
  int offset_samples = 0;        // input frame of output sample 0
  double fixed_in = 0.0;         // fixed head in input frames; 0.0 means none
  double fixed_out = 0.0;        // fixed head in output samples
  double volume = 1.0;
  double modulation = 100.0;     // percent, not scaled
  double time_factor = 1.0;
  int tone_shift = 0;            // tenths of a semitone
  double avg_freq = 0.0;         // average fundamental of the input, Hz
  double target_freq = 0.0;      // Hz
  double pitch_percent = 0.0;    // 0 means unset
  double input_step = 1.0;       // input frames advanced per output sample
  int out_len = 0;               // output samples
  int bend_mode = 0;             // 0: points every 256 input frames; 1: every bend_step output samples
  int bend_step = 256;
  int bend_last = 0;             // bend_freq has bend_last + 1 entries
  std::vector<double> bend_freq; // target frequency per pitch-bend point, Hz
  bool saw_test = false;         // flag W
  double aperiodic_floor = 1.0;  // flag Y as a factor in [0, 1]
};

}  // namespace quillet
