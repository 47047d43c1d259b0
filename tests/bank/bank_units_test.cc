// The voice-bank tool's units: the pitch checks on hand-made lists, the
// folder walk, the progress text, the spectrogram and the picture's curve.
#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <numbers>

#include "bank/pitch_checks.h"
#include "bank/pitch_picture.h"
#include "bank/plot_command.h"
#include "bank/progress.h"
#include "bank/sample_walk.h"
#include "bank/sonogram.h"
#include "support/process.h"

namespace quillet {
namespace {

using namespace test;

FrequencyList list_of(std::vector<double> freq) {
  FrequencyList list;
  list.length = static_cast<int>(freq.size());
  freq.push_back(freq.back());
  list.freq = freq;
  list.amp.assign(freq.size(), 1.0);
  return list;
}

std::vector<double> steady(int count, double hz) { return std::vector<double>(count, hz); }

TEST(PitchChecks, OctaveExcursionsAreJumpsThatComeBack) {
  std::vector<double> freq = steady(60, 220.0);
  for (int i = 10; i < 15; ++i) freq[i] = 440.0;   // up and back: found
  for (int i = 30; i < 33; ++i) freq[i] = 108.0;   // down (about -1230 cents) and back: found
  const std::vector<OctaveExcursion> found = octave_excursions(list_of(freq));
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].first, 10);
  EXPECT_EQ(found[0].last, 14);
  EXPECT_EQ(found[1].first, 30);
  EXPECT_EQ(found[1].last, 32);

  std::vector<double> fifth = steady(40, 220.0);
  for (int i = 10; i < 15; ++i) fifth[i] = 330.0;  // a fifth is no octave
  EXPECT_TRUE(octave_excursions(list_of(fifth)).empty());

  std::vector<double> stays = steady(40, 220.0);
  for (int i = 20; i < 40; ++i) stays[i] = 440.0;  // a jump that never comes back
  EXPECT_TRUE(octave_excursions(list_of(stays)).empty());

  std::vector<double> broken = steady(40, 220.0);
  for (int i = 10; i < 15; ++i) broken[i] = 440.0;
  broken[12] = UNVOICED_HZ;  // the stretch ends inside the excursion
  EXPECT_TRUE(octave_excursions(list_of(broken)).empty());

  std::vector<double> longer = steady(100, 220.0);
  for (int i = 10; i < 10 + MAX_EXCURSION_STEPS + 5; ++i) longer[i] = 440.0;
  EXPECT_TRUE(octave_excursions(list_of(longer)).empty());
}

TEST(PitchChecks, SharesCountVoicedSteps) {
  std::vector<double> a = steady(10, 200.0);
  std::vector<double> b = steady(10, 200.0);
  b[0] = 240.0;          // +316 cents: apart
  b[1] = 236.0;          // +286 cents: not apart
  b[2] = UNVOICED_HZ;    // voiced in one list only: not counted
  a[3] = UNVOICED_HZ;
  EXPECT_DOUBLE_EQ(disagreement_share(list_of(a), list_of(b), 300.0), 1.0 / 8.0);
  EXPECT_DOUBLE_EQ(disagreement_share(list_of(steady(4, UNVOICED_HZ)), list_of(b), 300.0), 0.0);
  EXPECT_DOUBLE_EQ(voiced_share(list_of(a)), 0.9);
  EXPECT_FALSE(step_voiced(0.0));
  EXPECT_FALSE(step_voiced(NAN));
  EXPECT_NEAR(cents_apart(440.0, 220.0), 1200.0, 1e-9);
}

TEST(SampleWalk, FoldersAreWalkedForSoundsAndMissingPathsReported) {
  ScratchDir dir;
  std::filesystem::create_directories(dir.file("a/b"));
  for (const char* name : {"a/one.wav", "a/b/two.WAV", "a/b/three.aiff", "a/notes.txt", "x.bin"}) {
    write_file_bytes(dir.file(name), "");
  }
  const SampleWalk walk = walk_samples({dir.file("a"), dir.file("x.bin"), dir.file("a/one.wav"),
                                        dir.file("gone.wav")});
  const std::vector<std::string> expected{dir.file("a/b/three.aiff"), dir.file("a/b/two.WAV"),
                                          dir.file("a/one.wav"), dir.file("x.bin")};
  EXPECT_EQ(walk.samples, expected);
  ASSERT_EQ(walk.missing.size(), 1u);
  EXPECT_EQ(walk.missing[0].path, dir.file("gone.wav"));
  EXPECT_EQ(walk.missing[0].reason, "no such file or folder");
}

TEST(Progress, BarAndClockText) {
  EXPECT_EQ(clock_text(0.4), "0:00");
  EXPECT_EQ(clock_text(61.6), "1:02");
  EXPECT_EQ(clock_text(3725.0), "1:02:05");
  EXPECT_EQ(progress_bar(3, 12, "voice.wav", 2.0, 6.0, 80),
            "[######..................] 3/12  0:02 elapsed, 0:06 left  voice.wav");
  const std::string narrow = progress_bar(12, 12, "/a/long/folder/name/voice.wav", 0, 0, 75);
  EXPECT_EQ(narrow.size(), 74u);
  EXPECT_EQ(narrow.substr(narrow.size() - 9), "voice.wav");
  EXPECT_NE(narrow.find("...", 50), std::string::npos);
  EXPECT_EQ(default_picture_name("bank/voice.wav"), "bank/voice_wav.png");
}

TEST(Spectrogram, ASinePeaksAtItsBin) {
  const int rate = 44100;
  EXPECT_EQ(spectrogram_frame_size(rate), 2048);
  EXPECT_EQ(spectrogram_frame_size(22050), 1024);
  const double hz = 1000.0;
  SampleStore store(rate / 2);
  for (size_t i = 0; i < store.size(); ++i) {
    store[i] = static_cast<int16_t>(std::lround(16000.0 * std::sin(2.0 * std::numbers::pi * hz * i / rate)));
  }
  const Spectrogram s = compute_spectrogram(store, static_cast<int>(store.size()), 1, rate);
  const int column = s.columns / 2;
  int peak = 0;
  for (int bin = 1; bin < s.bins; ++bin) {
    if (s.db[column * s.bins + bin] > s.db[column * s.bins + peak]) peak = bin;
  }
  EXPECT_EQ(peak, static_cast<int>(std::lround(hz * s.frame_size / rate)));
  EXPECT_NEAR(s.db[column * s.bins + peak], 20.0 * std::log10(16000.0 / 32768.0), 1.5);
}

// Red, green and blue of a pixel of a PNG.
struct Pixel {
  int r, g, b;
};
Pixel pixel_at(cairo_surface_t* image, double x, double y) {
  const unsigned char* data = cairo_image_surface_get_data(image);
  const int stride = cairo_image_surface_get_stride(image);
  uint32_t value;
  std::memcpy(&value, data + static_cast<int>(y) * stride + static_cast<int>(x) * 4, 4);
  return {static_cast<int>(value >> 16 & 255), static_cast<int>(value >> 8 & 255), static_cast<int>(value & 255)};
}
bool curve_red(Pixel p) { return p.r > 200 && p.g < 80 && p.b < 80; }

TEST(PitchPicture, TheCurveLiesWhereTheListSays) {
  ScratchDir dir;
  const int rate = 44100;
  std::vector<double> freq = steady(100, 220.0);
  for (int i = 40; i < 60; ++i) freq[i] = UNVOICED_HZ;
  for (int i = 60; i < 100; ++i) freq[i] = 440.0;
  const FrequencyList list = list_of(freq);
  const int frames = 99 * 256;
  const SampleStore silence(frames + 3072, 0);
  const Spectrogram spectrogram = compute_spectrogram(silence, frames, 1, rate);
  const std::string png = dir.file("p.png");
  ASSERT_EQ(draw_pitch_picture(png, "test", spectrogram, frames, {{"side file", &list, 0.95, 0.15, 0.15}}), "");
  cairo_surface_t* image = cairo_image_surface_create_from_png(png.c_str());
  ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
  const PictureLayout layout = picture_layout(frames, rate);
  EXPECT_EQ(cairo_image_surface_get_width(image), layout.width);
  for (int step : {5, 20, 35}) {
    const double x = x_of_time(layout, step_seconds(step, rate));
    EXPECT_TRUE(curve_red(pixel_at(image, x, y_of_frequency(layout, 220.0)))) << step;
    EXPECT_FALSE(curve_red(pixel_at(image, x, y_of_frequency(layout, 440.0)))) << step;
    EXPECT_FALSE(curve_red(pixel_at(image, x, y_of_frequency(layout, 220.0) - 12))) << step;
  }
  for (int step : {65, 80, 95}) {
    const double x = x_of_time(layout, step_seconds(step, rate));
    EXPECT_TRUE(curve_red(pixel_at(image, x, y_of_frequency(layout, 440.0)))) << step;
  }
  for (int step : {45, 50, 55}) {  // the unvoiced gap
    const double x = x_of_time(layout, step_seconds(step, rate));
    for (double hz : {220.0, 330.0, 440.0}) EXPECT_FALSE(curve_red(pixel_at(image, x, y_of_frequency(layout, hz))));
  }
  cairo_surface_destroy(image);

  const std::string svg = dir.file("p.svg");
  ASSERT_EQ(draw_pitch_picture(svg, "test", spectrogram, frames, {{"side file", &list, 0.95, 0.15, 0.15}}), "");
  const std::string text = read_file_bytes(svg);
  EXPECT_EQ(text.rfind("<?xml", 0), 0u);
  EXPECT_NE(text.find("</svg>"), std::string::npos);
}

TEST(PitchPicture, AxesCarryNoteNames) {
  const std::vector<NoteMark> marks = note_marks(50.0, 3000.0);
  ASSERT_FALSE(marks.empty());
  EXPECT_EQ(marks.front().name, "A1");
  EXPECT_NEAR(marks.front().hz, 55.0, 1e-9);
  EXPECT_EQ(marks.back().name, "C7");
  const PictureLayout layout = picture_layout(44100, 44100);
  EXPECT_DOUBLE_EQ(y_of_frequency(layout, layout.low_hz), layout.bottom);
  EXPECT_DOUBLE_EQ(y_of_frequency(layout, layout.high_hz), layout.top);
  EXPECT_NEAR(y_of_frequency(layout, 200.0) - y_of_frequency(layout, 400.0),
              y_of_frequency(layout, 400.0) - y_of_frequency(layout, 800.0), 1e-9);  // octaves evenly spaced
  EXPECT_DOUBLE_EQ(x_of_time(layout, 0.5), (layout.left + layout.right) / 2);
}

}  // namespace
}  // namespace quillet
