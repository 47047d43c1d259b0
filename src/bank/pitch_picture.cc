#include "bank/pitch_picture.h"

#include <cairo-svg.h>
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bank/pitch_checks.h"
#include "core/atomic_file.h"
#include "core/constants.h"

namespace quillet {
namespace {

constexpr double kTopDb = 0.0;     // brightest level of the spectrogram
constexpr double kRangeDb = 80.0;  // levels below kTopDb - kRangeDb are black

cairo_status_t append_bytes(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

bool ends_with(const std::string& text, const std::string& ending) {
  return text.size() >= ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

// Dark blue through purple and orange to pale yellow for levels 0 .. 1.
void level_colour(double level, unsigned char* rgb) {
  static const double stops[][3] = {{0.0, 0.0, 0.02}, {0.25, 0.05, 0.40}, {0.65, 0.15, 0.40},
                                    {0.95, 0.50, 0.10}, {1.0, 0.95, 0.70}};
  const double at = std::clamp(level, 0.0, 1.0) * 4.0;
  const int stop = std::min(3, static_cast<int>(at));
  const double t = at - stop;
  for (int c = 0; c < 3; ++c) {
    const double value = stops[stop][c] + (stops[stop + 1][c] - stops[stop][c]) * t;
    rgb[c] = static_cast<unsigned char>(std::lround(255.0 * value));
  }
}

// The spectrogram resampled to the plot area's pixels.
cairo_surface_t* spectrogram_image(const Spectrogram& spectrogram, const PictureLayout& layout) {
  const int w = static_cast<int>(layout.right - layout.left);
  const int h = static_cast<int>(layout.bottom - layout.top);
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
  unsigned char* pixels = cairo_image_surface_get_data(image);
  const int stride = cairo_image_surface_get_stride(image);
  const double seconds_per_column = static_cast<double>(spectrogram.hop) / spectrogram.sample_rate;
  const double hz_per_bin = static_cast<double>(spectrogram.sample_rate) / spectrogram.frame_size;
  for (int y = 0; y < h; ++y) {
    const double hz = layout.low_hz * std::pow(layout.high_hz / layout.low_hz, 1.0 - (y + 0.5) / h);
    const double at_bin = std::clamp(hz / hz_per_bin, 0.0, spectrogram.bins - 1.0);
    const int bin = std::min(static_cast<int>(at_bin), spectrogram.bins - 2);
    const double above = at_bin - bin;  // levels between two bins are blended
    for (int x = 0; x < w; ++x) {
      const double seconds = layout.seconds * (x + 0.5) / w;
      const int column = std::clamp(static_cast<int>(std::lround(seconds / seconds_per_column)), 0,
                                    spectrogram.columns - 1);
      const float* levels = &spectrogram.db[static_cast<size_t>(column) * spectrogram.bins + bin];
      const double db = levels[0] * (1.0 - above) + levels[1] * above;
      unsigned char rgb[3];
      level_colour((db - (kTopDb - kRangeDb)) / kRangeDb, rgb);
      unsigned char* pixel = pixels + y * stride + x * 4;  // native-endian 0x00RRGGBB
      const uint32_t value = (uint32_t{rgb[0]} << 16) | (uint32_t{rgb[1]} << 8) | rgb[2];
      std::memcpy(pixel, &value, 4);
    }
  }
  cairo_surface_mark_dirty(image);
  return image;
}

void draw_text(cairo_t* cr, double x, double y, const std::string& text, double align_x) {
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text.c_str(), &extents);
  cairo_move_to(cr, x - extents.width * align_x - extents.x_bearing, y);
  cairo_show_text(cr, text.c_str());
}

void draw_axes(cairo_t* cr, const PictureLayout& layout, const std::string& title) {
  cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 13.0);
  cairo_set_line_width(cr, 1.0);
  for (const NoteMark& mark : note_marks(layout.low_hz, layout.high_hz)) {
    const double y = std::round(y_of_frequency(layout, mark.hz)) + 0.5;
    cairo_move_to(cr, layout.left - 6, y);
    cairo_line_to(cr, layout.left, y);
    cairo_stroke(cr);
    draw_text(cr, layout.left - 9, y + 4.5, mark.name, 1.0);
  }
  const double step = layout.seconds > 8.0 ? 1.0 : layout.seconds > 3.0 ? 0.5 : layout.seconds > 1.2 ? 0.2 : 0.1;
  for (int i = 0; i * step <= layout.seconds + 1e-9; ++i) {
    const double x = std::round(x_of_time(layout, i * step)) + 0.5;
    cairo_move_to(cr, x, layout.bottom);
    cairo_line_to(cr, x, layout.bottom + 6);
    cairo_stroke(cr);
    char label[32];
    std::snprintf(label, sizeof label, step < 0.5 ? "%.1f" : "%.1f", i * step);
    draw_text(cr, x, layout.bottom + 21, label, 0.5);
  }
  draw_text(cr, (layout.left + layout.right) / 2, layout.bottom + 40, "time (s)", 0.5);
  cairo_set_font_size(cr, 15.0);
  draw_text(cr, layout.left, layout.top - 12, title, 0.0);
  cairo_rectangle(cr, layout.left - 0.5, layout.top - 0.5, layout.right - layout.left + 1,
                  layout.bottom - layout.top + 1);
  cairo_stroke(cr);
}

// One curve: a line through consecutive voiced steps, a dot for a voiced step alone.
void draw_curve(cairo_t* cr, const PictureLayout& layout, int sample_rate, const PitchCurve& curve,
                double line_width) {
  const FrequencyList& list = *curve.list;
  const int count = std::min<int>(list.length, static_cast<int>(list.freq.size()));
  cairo_set_source_rgb(cr, curve.red, curve.green, curve.blue);
  cairo_set_line_width(cr, line_width);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  bool drawing = false;
  for (int i = 0; i < count; ++i) {
    const double hz = list.freq[i];
    if (!step_voiced(hz) || hz < layout.low_hz || hz > layout.high_hz) {
      drawing = false;
      continue;
    }
    const double x = x_of_time(layout, step_seconds(i, sample_rate));
    const double y = y_of_frequency(layout, hz);
    if (drawing) {
      cairo_line_to(cr, x, y);
    } else {
      cairo_move_to(cr, x, y);
      cairo_line_to(cr, x, y);  // a lone step still shows as a round dot
    }
    drawing = true;
  }
  cairo_stroke(cr);
}

void draw_legend(cairo_t* cr, const PictureLayout& layout, const std::vector<PitchCurve>& curves) {
  cairo_set_font_size(cr, 13.0);
  double x = layout.right;
  for (auto curve = curves.rbegin(); curve != curves.rend(); ++curve) {
    cairo_text_extents_t extents;
    cairo_text_extents(cr, curve->label.c_str(), &extents);
    x -= extents.x_advance;
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_move_to(cr, x, layout.top - 12);
    cairo_show_text(cr, curve->label.c_str());
    cairo_set_source_rgb(cr, curve->red, curve->green, curve->blue);
    cairo_set_line_width(cr, 4.0);
    cairo_move_to(cr, x - 30, layout.top - 16);
    cairo_line_to(cr, x - 8, layout.top - 16);
    cairo_stroke(cr);
    x -= 50;
  }
}

void draw_picture(cairo_t* cr, const PictureLayout& layout, const std::string& title,
                  const Spectrogram& spectrogram, const std::vector<PitchCurve>& curves) {
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_surface_t* image = spectrogram_image(spectrogram, layout);
  cairo_set_source_surface(cr, image, layout.left, layout.top);
  cairo_paint(cr);
  cairo_surface_destroy(image);
  draw_axes(cr, layout, title);
  cairo_save(cr);
  cairo_rectangle(cr, layout.left, layout.top, layout.right - layout.left, layout.bottom - layout.top);
  cairo_clip(cr);
  for (size_t i = 0; i < curves.size(); ++i) {
    draw_curve(cr, layout, spectrogram.sample_rate, curves[i], i == 0 ? 6.0 : 2.0);
  }
  cairo_restore(cr);
  draw_legend(cr, layout, curves);
}

}  // namespace

PictureLayout picture_layout(int frame_count, int sample_rate) {
  PictureLayout layout;
  layout.seconds = std::max(static_cast<double>(frame_count) / sample_rate, 0.01);
  const double plot_width = std::clamp(layout.seconds * 160.0, 700.0, 2900.0);
  layout.left = 60;
  layout.top = 40;
  layout.right = layout.left + std::round(plot_width);
  layout.bottom = layout.top + 480;
  layout.width = static_cast<int>(layout.right) + 20;
  layout.height = static_cast<int>(layout.bottom) + 55;
  layout.low_hz = 50.0;
  layout.high_hz = std::min(3000.0, sample_rate / 2.0);
  if (layout.high_hz <= layout.low_hz * 2) layout.low_hz = layout.high_hz / 8;
  return layout;
}

double x_of_time(const PictureLayout& layout, double seconds) {
  return layout.left + (layout.right - layout.left) * seconds / layout.seconds;
}

double y_of_frequency(const PictureLayout& layout, double hz) {
  const double position = std::log(hz / layout.low_hz) / std::log(layout.high_hz / layout.low_hz);
  return layout.bottom - (layout.bottom - layout.top) * position;
}

double step_seconds(int step, int sample_rate) {
  return static_cast<double>(step) * BLOCK_STEP / sample_rate;
}

std::vector<NoteMark> note_marks(double low_hz, double high_hz) {
  std::vector<NoteMark> marks;
  for (int midi = 0; midi < 128; ++midi) {
    const int semitone = midi % 12;
    if (semitone != 0 && semitone != 9) continue;
    const double hz = 440.0 * std::pow(2.0, (midi - 69) / 12.0);
    if (hz < low_hz || hz > high_hz) continue;
    marks.push_back({std::string(semitone == 0 ? "C" : "A") + std::to_string(midi / 12 - 1), hz});
  }
  return marks;
}

std::string draw_pitch_picture(const std::string& path, const std::string& title,
                               const Spectrogram& spectrogram, int frame_count,
                               const std::vector<PitchCurve>& curves) {
  const PictureLayout layout = picture_layout(frame_count, spectrogram.sample_rate);
  const bool svg = ends_with(path, ".svg");
  // The picture is made in memory and then put in place whole.
  std::string bytes;
  cairo_surface_t* surface =
      svg ? cairo_svg_surface_create_for_stream(append_bytes, &bytes, layout.width, layout.height)
          : cairo_image_surface_create(CAIRO_FORMAT_RGB24, layout.width, layout.height);
  cairo_t* cr = cairo_create(surface);
  draw_picture(cr, layout, title, spectrogram, curves);
  cairo_destroy(cr);
  cairo_status_t status = CAIRO_STATUS_SUCCESS;
  if (svg) {
    cairo_surface_finish(surface);
    status = cairo_surface_status(surface);
  } else {
    status = cairo_surface_write_to_png_stream(surface, append_bytes, &bytes);
  }
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS) return cairo_status_to_string(status);
  if (!replace_file_contents(path, bytes)) return "cannot write " + path;
  return "";
}

}  // namespace quillet
