// A picture of one sample: its spectrogram on a logarithmic frequency axis
// labelled with note names, a time axis in seconds, and pitch curves over it
// that break at unvoiced steps. Drawn with cairo into PNG or SVG.
#pragma once

#include <string>
#include <vector>

#include "bank/sonogram.h"
#include "core/frequency_list.h"

namespace quillet {

struct PitchCurve {
  std::string label;        // for the legend, such as "side file (written)"
  const FrequencyList* list = nullptr;
  double red = 1.0, green = 0.2, blue = 0.2;
};

// Where the plot area lies in the picture and what it shows.
struct PictureLayout {
  int width = 0, height = 0;                      // pixels
  double left = 0, top = 0, right = 0, bottom = 0;  // the plot area's edges in pixels
  double seconds = 0.0;                           // time at the right edge
  double low_hz = 0.0, high_hz = 0.0;             // frequency at the bottom and top edges
};

// The layout for a sound of frame_count frames at sample_rate: about 160
// pixels a second (800 to 3000 wide), 50 Hz up to 3 kHz or half the rate.
PictureLayout picture_layout(int frame_count, int sample_rate);

double x_of_time(const PictureLayout& layout, double seconds);
double y_of_frequency(const PictureLayout& layout, double hz);

// Time of a list's step.
double step_seconds(int step, int sample_rate);

// The note names shown on the frequency axis: every C and A inside it, such
// as "C4" (261.63 Hz) and "A4" (440 Hz).
struct NoteMark {
  std::string name;
  double hz = 0.0;
};
std::vector<NoteMark> note_marks(double low_hz, double high_hz);

// Draws the picture to path: SVG when it ends in ".svg", else PNG. Returns
// an empty string on success, else why it failed.
std::string draw_pitch_picture(const std::string& path, const std::string& title,
                               const Spectrogram& spectrogram, int frame_count,
                               const std::vector<PitchCurve>& curves);

}  // namespace quillet
