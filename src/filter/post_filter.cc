#include "filter/post_filter.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include "core/frequency_list.h"
#include "core/constants.h"
#include "core/parallel.h"
#include "core/numeric.h"
#include "filter/envelope.h"
#include "filter/filter_options.h"
#include "filter/frame_synthesis.h"
#include "filter/fft.h"
#include "core/flags.h"
#include "synth/spline.h"

namespace quillet {

namespace {

constexpr double BINS_PER_HZ = 1024.0 / 44100.0;
constexpr int FADE_LENGTH = 256;

// The call's inputs, read-only throughout the run. voiced and aperiodic are
// the unfiltered signals.
struct FilterCall {
  const std::vector<double>& voiced;
  const std::vector<double>& aperiodic;
  const SampleStore& samples;
  int channels;
  int band_index;
  double gen;
  double fce;
  const std::vector<double>& bend_freq;
  int bend_step;
  const std::vector<double>& freq;
  double avg_freq;
  int bend_mode;
};

// Everything the filter builds for one run.
struct FilterState {
  FilterOptions options;
  bool split_active = false;
  SpectralTables tables;
  std::vector<double> fade_in;
  std::vector<double> curve = std::vector<double>(SPECTRUM_SIZE, 1.0);
  std::vector<double> prev_curve = std::vector<double>(SPECTRUM_SIZE, 1.0);
  OverlapAdd voiced_out;
  OverlapAdd aperiodic_out;
  std::FILE* dump = nullptr;
};

// From output samples to input positions: one to one inside the fixed head,
// stretched by ratio after it.
struct TimeMapping {
  double fixed_in = 0.0;
  int offset = 0;
  double ratio = 1.0;          // input samples per output sample after the head
  int stretched_window = SPECTRUM_SIZE;
};

// The mapped input position of an output sample, and the output window used
// for the output spectrum there.
struct Place {
  int input = 0;
  int window = SPECTRUM_SIZE;
};

double entry_or_zero(const std::vector<double>& values, long long i) {
  return (i >= 0 && i < static_cast<long long>(values.size())) ? values[i] : 0.0;
}

// Last index i of a list whose entries i and i + 1 both exist (0 if none).
long long last_pair_index(const std::vector<double>& values) {
  return std::max(static_cast<long long>(values.size()) - 2, 0LL);
}

TimeMapping make_time_mapping(int out_len, int sample_count, int offset, double fixed_in) {
  TimeMapping mapping;
  mapping.fixed_in = fixed_in;
  mapping.offset = offset;
  // With no output after the head the ratio is never used.
  const double stretched_out = out_len - fixed_in;
  if (stretched_out != 0.0) mapping.ratio = (sample_count - fixed_in) / stretched_out;
  mapping.stretched_window =
      mapping.ratio != 0.0 ? saturating_trunc(1024 / mapping.ratio + 0.5) : INT_MAX;
  return mapping;
}

Place map_to_input(const TimeMapping& mapping, int c) {
  Place place;
  long long input = 0;
  if (c < mapping.fixed_in) {
    input = static_cast<long long>(c) + mapping.offset;
  } else {
    input = saturating_trunc((c - mapping.fixed_in) * mapping.ratio + mapping.fixed_in +
                             mapping.offset);
    place.window = mapping.stretched_window;
  }
  place.input = static_cast<int>(std::clamp(input, 0LL, static_cast<long long>(INT_MAX)));
  return place;
}

double voiced_or_average(double frequency, double avg_freq) {
  return frequency > UNVOICED_HZ ? frequency : avg_freq;
}

// Pitch of the input at the mapped position, in bins of the warped envelope.
double source_pitch_bins(const FilterCall& call, int input) {
  const long long i = std::min(static_cast<long long>(input / BLOCK_STEP), last_pair_index(call.freq));
  const int q = input % BLOCK_STEP;
  const double fa = voiced_or_average(entry_or_zero(call.freq, i), call.avg_freq);
  const double fb = voiced_or_average(entry_or_zero(call.freq, i + 1), call.avg_freq);
  if (call.gen == 0.0) return 0.0;
  return ((BLOCK_STEP - q) * fa + q * fb) / BLOCK_STEP / call.gen * BINS_PER_HZ;
}

// Pitch the output is sung at, in bins: from the pitch-bend curve, indexed by
// input position (bend mode 0) or by output sample.
double target_pitch_bins(const FilterCall& call, int c, int input) {
  const int step = std::max(call.bend_step, 1);
  long long i = 0;
  int q = 0;
  if (call.bend_mode == 0) {
    i = std::min(static_cast<long long>(input / BLOCK_STEP), last_pair_index(call.bend_freq));
    q = input % BLOCK_STEP;
  } else {
    i = c / step;
    q = c % step;
  }
  const double fa = entry_or_zero(call.bend_freq, i);
  const double fb = entry_or_zero(call.bend_freq, i + 1);
  return ((step - q) * fa + q * fb) / step * BINS_PER_HZ;
}

// Sum of the magnitude spectra of the input frames starting at E - 512 and E.
std::vector<double> input_spectrum_at(const FilterCall& call, const SpectralTables& tables,
                                      int input) {
  std::vector<double> spectrum(SPECTRUM_SIZE + 1, 0.0);
  std::vector<double> frame(SPECTRUM_SIZE);
  for (const int start : {input - SPECTRUM_HALF, input}) {
    convert_block(frame.data(), call.samples, start, SPECTRUM_SIZE, call.channels);
    magnitude_spectrum(frame.data(), SPECTRUM_SIZE, tables);
    for (int k = 0; k < SPECTRUM_SIZE; ++k) spectrum[k] = spectrum[k] + frame[k];
  }
  return spectrum;
}

// Sum of the magnitude spectra of the unfiltered voiced signal over the
// output window from C - 512 on. Frames lying wholly past the end of the
// signal add exact zeros and are skipped.
std::vector<double> output_spectrum_at(const FilterCall& call, const SpectralTables& tables,
                                       int c, int window) {
  std::vector<double> spectrum(SPECTRUM_SIZE, 0.0);
  std::vector<double> frame(SPECTRUM_SIZE);
  const long long frames = window > 0 ? 2LL * window / SPECTRUM_SIZE : 0;
  const long long signal_end = static_cast<long long>(call.voiced.size());
  for (long long j = 0; j < frames; ++j) {
    const long long start = static_cast<long long>(c) - SPECTRUM_HALF + SPECTRUM_HALF * j;
    if (start >= signal_end) break;
    read_frame(call.voiced, start, frame.data());
    magnitude_spectrum(frame.data(), SPECTRUM_SIZE, tables);
    for (int k = 0; k < SPECTRUM_SIZE; ++k) spectrum[k] = spectrum[k] + frame[k];
  }
  return spectrum;
}

// An envelope update: the output sample where the mapped input block changes.
struct EnvelopeUpdate {
  int c = 0;
  Place place;
};

// The gain curve of one update and the cutoff bin in force from it on.
struct CurveSlot {
  std::vector<double> curve = std::vector<double>(SPECTRUM_SIZE, 1.0);
  double cutoff_bin = 0.0;
};

// The curve of the update at output sample c. Depends on the call, the flags'
// options and the update alone, so updates can be made in any order.
void make_curve(CurveSlot& slot, const FilterOptions& options, const SpectralTables& tables,
                const FilterCall& call, const EnvelopeUpdate& update) {
  const int c = update.c;
  const Place& place = update.place;
  EnvelopeSettings settings;
  settings.source_bins = source_pitch_bins(call, place.input);
  settings.target_bins = target_pitch_bins(call, c, place.input);
  slot.cutoff_bin = options.cutoff_bin;
  if (options.harmonic_multiple > 0.0) {
    slot.cutoff_bin = std::floor(settings.target_bins * options.harmonic_multiple);
  }
  settings.gen = call.gen;
  settings.fce = call.fce;
  settings.cutoff_bin = slot.cutoff_bin;
  settings.band_gain = options.band_gain;
  settings.band_index = call.band_index;
  settings.window = place.window;
  const std::vector<double> input_spectrum = input_spectrum_at(call, tables, place.input);
  const std::vector<double> output_spectrum = output_spectrum_at(call, tables, c, place.window);
  compute_gain_curve(input_spectrum, output_spectrum, settings, slot.curve);
}

// Every output sample at which the mapped input block changes, in order.
std::vector<EnvelopeUpdate> list_updates(const TimeMapping& mapping, int length) {
  std::vector<EnvelopeUpdate> updates;
  int prev_block = -1;
  for (int c = 0; c < length; ++c) {
    const Place place = map_to_input(mapping, c);
    const int block = place.input / SPECTRUM_SIZE;
    if (block != prev_block) updates.push_back(EnvelopeUpdate{c, place});
    prev_block = block;
  }
  return updates;
}

void apply_update(FilterState& state, const CurveSlot& slot) {
  state.options.cutoff_bin = slot.cutoff_bin;
  state.prev_curve = state.curve;
  state.curve = slot.curve;
}

// Curves made ahead of the frames that use them.
constexpr int CURVES_AHEAD = 8;

// Gains of the aperiodic signal: the opposite sides of the band split; 1
// everywhere while the cutoff is not above 0.
std::vector<double> aperiodic_gains(const FilterOptions& options) {
  std::vector<double> gains(SPECTRUM_SIZE, 1.0);
  if (!(options.cutoff_bin > 0.0)) return gains;
  for (int i = 0; i < SPECTRUM_SIZE; ++i) {
    if (i < options.cutoff_bin) {
      gains[i] = options.band_gain;
    } else if (i == options.cutoff_bin) {
      gains[i] = (options.band_gain + 1) / 2;
    }
  }
  return gains;
}

// Gains of the voiced signal: the previous curve crossfaded into the current
// one over the first 256 positions of an input block.
std::vector<double> voiced_gains(const FilterState& state, int r) {
  std::vector<double> gains(SPECTRUM_SIZE);
  const double fade = state.fade_in[r];
  for (int i = 0; i < SPECTRUM_SIZE; ++i) {
    gains[i] = fade * state.curve[i] + (1 - fade) * state.prev_curve[i];
  }
  return gains;
}

// The frame at output sample frame_at for voiced, and for aperiodic while the
// band split is active. dump_record adds the frame's record to the dump.
void synthesize_frames(FilterState& state, const FilterCall& call, long long frame_at, int r,
                       bool dump_record) {
  const std::vector<double> gains = voiced_gains(state, r);
  double dumped[DUMPED_BINS];
  const bool dumping = dump_record && state.dump != nullptr;
  const FrameGains voiced{&gains, true, dumping ? dumped : nullptr};
  synthesize_frame(call.voiced, frame_at, voiced, state.tables, state.voiced_out);
  if (dumping) std::fwrite(dumped, sizeof(double), DUMPED_BINS, state.dump);
  if (!state.split_active) return;
  const std::vector<double> band = aperiodic_gains(state.options);
  const FrameGains aperiodic{&band, false, nullptr};
  synthesize_frame(call.aperiodic, frame_at, aperiodic, state.tables, state.aperiodic_out);
}

std::vector<double> make_fade_in() {
  std::vector<double> fade(SPECTRUM_SIZE, 1.0);
  for (int r = 0; r < FADE_LENGTH; ++r) fade[r] = 0.5 - 0.5 * std::cos(r * TWO_PI / 512);
  return fade;
}

FilterState start_filter(const std::string& flags, int out_len) {
  FilterState state;
  state.options = read_filter_options(flags);
  state.split_active = band_split_active(state.options);
  state.tables = make_spectral_tables();
  state.fade_in = make_fade_in();
  state.voiced_out.work.assign(out_len, 0.0);
  if (state.split_active) state.aperiodic_out.work.assign(out_len, 0.0);
  std::printf("\x83\x74\x83\x42\x83\x8b\x83\x5e\x92\x86\n");  // フィルタ中
  if (has_flag(flags, 'S')) state.dump = std::fopen("tmp.bin", "wb");
  return state;
}

void copy_back(const std::vector<double>& work, std::vector<double>& signal) {
  const std::size_t count = std::min(work.size(), signal.size());
  std::copy(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(count), signal.begin());
}

}  // namespace

double post_filter(std::vector<double>& voiced, std::vector<double>& aperiodic, int out_len,
                   const SampleStore& samples, int channels, int sample_count, int offset_samples,
                   double fixed_in, int band_index, double gen, double fce,
                   const std::vector<double>& bend_freq, int bend_step,
                   const std::vector<double>& freq, double avg_freq, const std::string& flags,
                   int bend_mode, int threads) {
  const int length = std::max(out_len, 0);
  const FilterCall call{voiced, aperiodic, samples, channels, band_index, gen, fce,
                        bend_freq, bend_step, freq, avg_freq, bend_mode};
  const TimeMapping mapping = make_time_mapping(length, sample_count, offset_samples, fixed_in);
  FilterState state = start_filter(flags, length);
  const std::vector<EnvelopeUpdate> updates = list_updates(mapping, length);
  const FilterOptions options = state.options;
  MadeAhead<CurveSlot> curves(static_cast<int>(updates.size()), CURVES_AHEAD,
                              threads > 0 ? threads : worker_threads(),
                              [&](int u, CurveSlot& slot) {
                                make_curve(slot, options, state.tables, call, updates[u]);
                              });
  int next_update = 0;
  int prev_block = -1;
  int prev_frame = -1;
  int last_r = 0;
  for (int c = 0; c < length; ++c) {
    const Place place = map_to_input(mapping, c);
    const int block = place.input / SPECTRUM_SIZE;
    const int r = place.input % SPECTRUM_SIZE;
    const int frame = c / SPECTRUM_HALF;
    if (frame != prev_frame) std::printf("%d->%d \r", block, frame);
    if (block != prev_block) apply_update(state, curves.take(next_update++));
    if (frame != prev_frame) synthesize_frames(state, call, c, r, true);
    prev_frame = frame;
    prev_block = block;
    last_r = r;
  }
  // The samples after the last frame start are completed by one more frame.
  if (length > 0) {
    const long long frame_at = (static_cast<long long>(length - 1) / SPECTRUM_HALF + 1) * SPECTRUM_HALF;
    synthesize_frames(state, call, frame_at, last_r, false);
  }
  if (state.dump != nullptr) std::fclose(state.dump);
  copy_back(state.voiced_out.work, voiced);
  if (state.options.cutoff_bin > 0.0) copy_back(state.aperiodic_out.work, aperiodic);
  return std::max(state.voiced_out.peak, state.aperiodic_out.peak);
}

}  // namespace quillet
