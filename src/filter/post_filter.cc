#include "filter/post_filter.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>

#include "core/frequency_list.h"
#include "core/constants.h"
#include "core/parallel.h"
#include "core/numeric.h"
#include "filter/envelope.h"
#include "filter/filter_options.h"
#include "filter/filter_plan.h"
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

double entry_or_zero(const std::vector<double>& values, long long i) {
  return (i >= 0 && i < static_cast<long long>(values.size())) ? values[i] : 0.0;
}

// Last index i of a list whose entries i and i + 1 both exist (0 if none).
long long last_pair_index(const std::vector<double>& values) {
  return std::max(static_cast<long long>(values.size()) - 2, 0LL);
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
  settings.level = tables.level;
  const std::vector<double> input_spectrum = input_spectrum_at(call, tables, place.input);
  const std::vector<double> output_spectrum = output_spectrum_at(call, tables, c, place.window);
  compute_gain_curve(input_spectrum, output_spectrum, settings, slot.curve);
}

// A filtered signal's samples, made without being set first: the frames
// write every one of them, each part its own, so the pages are first
// touched by the thread that fills them. Whatever the frames would leave
// unwritten is set to 0 beforehand.
struct WorkSignal {
  std::unique_ptr<double[]> values;
  std::size_t size = 0;

  std::span<double> span() const { return {values.get(), size}; }
};

// Samples the planned frames write: frame j > 0 completes 512 (j - 1) ...
// 512 j - 1.
long long samples_written(const FilterPlan& plan) {
  return (static_cast<long long>(plan.frames.size()) - 1) * SPECTRUM_HALF;
}

// Sets to 0 the samples of work the planned frames leave unwritten.
void clear_unwritten(const FilterPlan& plan, std::span<double> work) {
  const long long written = std::clamp(samples_written(plan), 0LL, static_cast<long long>(work.size()));
  std::fill(work.begin() + written, work.end(), 0.0);
}

WorkSignal make_work_signal(const FilterPlan& plan, int out_len) {
  WorkSignal work;
  work.size = static_cast<std::size_t>(std::max(out_len, 0));
  work.values = std::make_unique_for_overwrite<double[]>(work.size);
  clear_unwritten(plan, work.span());
  return work;
}

// What every frame reads, set once for the run.
struct FilterRun {
  const FilterCall& call;
  const FilterPlan& plan;
  FilterOptions options{};
  bool filters_aperiodic = false;  // the band split is on and the caller reads its result
  SpectralTables tables{};
  std::vector<double> fade_in{};
  WorkSignal voiced_work{};     // the filtered voiced signal, unless it is made in spare memory
  WorkSignal aperiodic_work{};  // the filtered aperiodic signal, with the band split
  std::span<double> voiced_into{};  // where the filtered voiced signal is made
  std::FILE* dump = nullptr;
};

// The curve in force and the one before it (all ones before the first
// update), as the frames of one part reach them.
struct CurvesInForce {
  int update = -1;
  CurveSlot now;
  CurveSlot before;
};

void make_planned_curve(const FilterRun& run, int u, CurveSlot& slot) {
  make_curve(slot, run.options, run.tables, run.call, run.plan.updates[static_cast<std::size_t>(u)]);
}

// Brings held to update u (never an earlier one): only the curves of u and
// the update before it are made, those of updates between frames are never
// in force at one.
void bring_curves_to(const FilterRun& run, int u, CurvesInForce& held) {
  if (u <= held.update) return;
  if (u == held.update + 1 && held.update >= 0) {
    std::swap(held.before, held.now);
  } else if (u >= 1) {
    make_planned_curve(run, u - 1, held.before);
  } else {
    held.before = held.now;  // update 0 crossfades from the ones in force before it
  }
  make_planned_curve(run, u, held.now);
  held.update = u;
}

// One part of the frames: its own curves and overlap-adds, on a cache line
// of its own, as each part writes its peaks at every sample.
struct alignas(64) FramePart {
  CurvesInForce curves;
  OverlapAdd voiced_out;
  OverlapAdd aperiodic_out;
};

FramePart start_part(const FilterRun& run) {
  FramePart part;
  part.curves.now.cutoff_bin = run.options.cutoff_bin;
  return part;
}

// Writes the part's frames into the run's filtered signals; a part without
// them only keeps the last frame's overlap.
void write_into_run(FramePart& part, FilterRun& run) {
  part.voiced_out.work = run.voiced_into;
  part.aperiodic_out.work = run.aperiodic_work.span();
}

// Gains of the aperiodic signal: the opposite sides of the band split; 1
// everywhere while the cutoff is not above 0.
std::vector<double> aperiodic_gains(const FilterOptions& options, double cutoff_bin) {
  std::vector<double> gains(SPECTRUM_SIZE, 1.0);
  if (!(cutoff_bin > 0.0)) return gains;
  for (int i = 0; i < SPECTRUM_SIZE; ++i) {
    if (i < cutoff_bin) {
      gains[i] = options.band_gain;
    } else if (i == cutoff_bin) {
      gains[i] = (options.band_gain + 1) / 2;
    }
  }
  return gains;
}

// Gains of the voiced signal: the previous curve crossfaded into the current
// one over the first 256 positions of an input block.
std::vector<double> voiced_gains(const FilterRun& run, const CurvesInForce& curves, int r) {
  std::vector<double> gains(SPECTRUM_SIZE);
  const double fade = run.fade_in[static_cast<std::size_t>(r)];
  const std::vector<double>& now = curves.now.curve;
  const std::vector<double>& before = curves.before.curve;
  for (int i = 0; i < SPECTRUM_SIZE; ++i) gains[i] = fade * now[i] + (1 - fade) * before[i];
  return gains;
}

// Frame j for voiced, and for aperiodic while the band split is active; the
// frames before the completing one add their record to the dump.
void synthesize_planned(const FilterRun& run, std::size_t j, FramePart& part) {
  const FramePlan& frame = run.plan.frames[j];
  bring_curves_to(run, frame.update, part.curves);
  const long long frame_at = static_cast<long long>(j) * SPECTRUM_HALF;
  const std::vector<double> gains = voiced_gains(run, part.curves, frame.r);
  double dumped[DUMPED_BINS];
  const bool dumping = run.dump != nullptr && j + 1 < run.plan.frames.size();
  const FrameGains voiced{&gains, true, dumping ? dumped : nullptr};
  synthesize_frame(run.call.voiced, frame_at, voiced, run.tables, part.voiced_out);
  if (dumping) std::fwrite(dumped, sizeof(double), DUMPED_BINS, run.dump);
  if (!run.filters_aperiodic) return;
  const std::vector<double> band = aperiodic_gains(run.options, part.curves.now.cutoff_bin);
  const FrameGains aperiodic{&band, false, nullptr};
  synthesize_frame(run.call.aperiodic, frame_at, aperiodic, run.tables, part.aperiodic_out);
}

// Frames the first part claims at a time.
constexpr int FRAME_RUN = 4;

// The first part: runs of frames from j on, as far as the boundary; returns
// where it stopped.
int first_part(FilterRun& run, SplitBoundary& boundary, FramePart& part, int j) {
  write_into_run(part, run);
  for (int run_end = boundary.claim(j); run_end > j; run_end = boundary.claim(j)) {
    for (; j < run_end; ++j) synthesize_planned(run, static_cast<std::size_t>(j), part);
  }
  return j;
}

// Frames from start up to end with part: the frame before start is made
// once more first, to complete the first samples, without writing them.
void frames_from(FilterRun& run, FramePart& part, int start, int end) {
  if (start > 0) synthesize_planned(run, static_cast<std::size_t>(start - 1), part);
  write_into_run(part, run);
  for (int j = start; j < end; ++j) synthesize_planned(run, static_cast<std::size_t>(j), part);
}

// What a part's start costs, in frames (the curves in force there and the
// frame before it), and the fewest frames worth it.
constexpr int PART_START_COST = 3;
constexpr int FEWEST_TAKEN_FRAMES = 4;

// A thread through with its own frames while the other is not (its
// processor busy elsewhere, say): takes the later frames of the other's part
// (as boundary deals them, from floor on), half of what the other has left
// counting the start of a new part, as long as that is worth it, each taken
// run a part of its own.
void take_back_frames(FilterRun& run, SplitBoundary& boundary, int floor, std::vector<FramePart>& taken) {
  for (;;) {
    const SplitBoundary::Progress other = boundary.progress();
    const int at = std::max(floor, other.claimed + (other.boundary - other.claimed + PART_START_COST) / 2);
    if (other.boundary - at < FEWEST_TAKEN_FRAMES) return;
    try {
      taken.push_back(start_part(run));
    } catch (const std::bad_alloc&) {
      return;
    }
    const int until = boundary.take_back(at);
    if (until < 0) {
      taken.pop_back();  // the first got there meanwhile: look again
      continue;
    }
    frames_from(run, taken.back(), at, until);
  }
}

// The later part: from the boundary on, in runs claimed from its own
// boundary (the first may take back its last frames), then what it takes
// back from the first; without memory for its own curves it takes no part,
// and the first does all.
void later_part(FilterRun& run, SplitBoundary& boundary, SplitBoundary& own_boundary,
                std::optional<FramePart>& part, std::vector<FramePart>& taken) {
  try {
    part.emplace(start_part(run));
  } catch (const std::bad_alloc&) {
    boundary.go_alone();
    return;
  }
  const int end = static_cast<int>(run.plan.frames.size());
  const int start = boundary.take();
  if (start >= end) return;
  if (start > 0) synthesize_planned(run, static_cast<std::size_t>(start - 1), *part);
  first_part(run, own_boundary, *part, start);
  take_back_frames(run, boundary, 0, taken);
}

// Notes with fewer frames are filtered on one thread.
constexpr int MIN_SPLIT_FRAMES = 8;

struct FilterOutcome {
  double peak = 0.0;
  double final_cutoff = 0.0;  // the cutoff in force after the last frame
};

// Every planned frame, in two parts on two threads when threads asks and
// the dump (written in frame order) is off.
FilterOutcome run_frames(FilterRun& run, int threads, int fixed_split) {
  const int end = static_cast<int>(run.plan.frames.size());
  const bool two = threads >= 2 && run.dump == nullptr && end >= MIN_SPLIT_FRAMES;
  SplitBoundary boundary(end, fixed_split < 0 ? -1 : std::min(fixed_split, end), FRAME_RUN, LaterShare{});
  SplitBoundary later_boundary(end, -1, FRAME_RUN, LaterShare{});  // deals the later part's frames
  FramePart first = start_part(run);
  std::optional<FramePart> later;
  std::vector<FramePart> taken;   // the runs the later part took back from the first
  std::vector<FramePart> helped;  // the runs the first took back from the later part, the last first
  std::exception_ptr later_failure;
  {
    WithdrawableHelper helper;
    const auto later_work = [&] {
      try {
        later_part(run, boundary, later_boundary, later, taken);
      } catch (...) {
        later_failure = std::current_exception();
      }
    };
    if (!two || !helper.start(later_work)) boundary.go_alone();
    const int stopped = first_part(run, boundary, first, 0);
    if (two) take_back_frames(run, later_boundary, boundary.progress().boundary, helped);
    if (!helper.finish()) boundary.go_alone();  // a helper that never began leaves its frames to this part
    first_part(run, boundary, first, stopped);  // and so does one without memory for its own
  }
  if (later_failure) std::rethrow_exception(later_failure);
  FilterOutcome outcome;
  outcome.peak = std::max(first.voiced_out.peak, first.aperiodic_out.peak);
  outcome.final_cutoff = first.curves.now.cutoff_bin;
  if (later && later->curves.update >= 0) {
    outcome.peak = std::max({outcome.peak, later->voiced_out.peak, later->aperiodic_out.peak});
    outcome.final_cutoff = later->curves.now.cutoff_bin;
  }
  for (const std::vector<FramePart>* parts : {&taken, &helped}) {
    for (const FramePart& part : *parts) {
      outcome.peak = std::max({outcome.peak, part.voiced_out.peak, part.aperiodic_out.peak});
    }
  }
  if (!helped.empty()) outcome.final_cutoff = helped.front().curves.now.cutoff_bin;  // it made the last frame
  return outcome;
}

std::vector<double> make_fade_in() {
  std::vector<double> fade(SPECTRUM_SIZE, 1.0);
  for (int r = 0; r < FADE_LENGTH; ++r) fade[r] = 0.5 - 0.5 * std::cos(r * TWO_PI / 512);
  return fade;
}

// With AperiodicUse::done the aperiodic signal is not filtered, and spare
// (memory of out_len samples or more, or nullptr) takes the filtered voiced
// signal.
void start_run(FilterRun& run, const std::string& flags, int out_len, AperiodicUse aperiodic_use,
               std::vector<double>* spare) {
  run.options = read_filter_options(flags);
  run.filters_aperiodic = band_split_active(run.options) && aperiodic_use == AperiodicUse::read_later;
  run.tables = make_spectral_tables();
  run.fade_in = make_fade_in();
  if (spare != nullptr && aperiodic_use == AperiodicUse::done) {
    run.voiced_into = std::span<double>(spare->data(), static_cast<std::size_t>(std::max(out_len, 0)));
    clear_unwritten(run.plan, run.voiced_into);
  } else {
    run.voiced_work = make_work_signal(run.plan, out_len);
    run.voiced_into = run.voiced_work.span();
  }
  if (run.filters_aperiodic) run.aperiodic_work = make_work_signal(run.plan, out_len);
  std::printf("\x83\x74\x83\x42\x83\x8b\x83\x5e\x92\x86\n");  // フィルタ中
  if (has_flag(flags, 'S')) run.dump = std::fopen("tmp.bin", "wb");
}

// The progress line of every frame but the completing one, in order.
void print_progress(const FilterPlan& plan) {
  for (std::size_t j = 0; j + 1 < plan.frames.size(); ++j) std::printf("%d->%zu \r", plan.frames[j].block, j);
}

void copy_back(const WorkSignal& work, std::vector<double>& signal) {
  const std::size_t count = std::min(work.size, signal.size());
  std::copy_n(work.values.get(), count, signal.begin());
}

}  // namespace

double post_filter(std::vector<double>& voiced, std::vector<double>& aperiodic, int out_len,
                   const SampleStore& samples, int channels, int sample_count, int offset_samples,
                   double fixed_in, int band_index, double gen, double fce,
                   const std::vector<double>& bend_freq, int bend_step,
                   const std::vector<double>& freq, double avg_freq, const std::string& flags,
                   int bend_mode, int threads, int fixed_split, AperiodicUse aperiodic_use) {
  const int length = std::max(out_len, 0);
  const bool spare = aperiodic_use == AperiodicUse::done && aperiodic.size() == voiced.size() &&
                     aperiodic.size() >= static_cast<std::size_t>(length);
  const FilterCall call{voiced, aperiodic, samples, channels, band_index, gen, fce,
                        bend_freq, bend_step, freq, avg_freq, bend_mode};
  const TimeMapping mapping = make_time_mapping(length, sample_count, offset_samples, fixed_in);
  const FilterPlan plan = plan_filter(mapping, length);
  FilterRun run{call, plan};
  start_run(run, flags, length, aperiodic_use, spare ? &aperiodic : nullptr);
  const FilterOutcome outcome = run_frames(run, threads > 0 ? threads : worker_threads(), fixed_split);
  if (run.dump != nullptr) std::fclose(run.dump);
  print_progress(run.plan);
  if (run.voiced_work.values) {
    copy_back(run.voiced_work, voiced);
  } else {
    // The filtered samples are in aperiodic's memory: the vectors trade
    // places, and voiced takes back its own entries past the filtered ones.
    voiced.swap(aperiodic);
    std::copy(aperiodic.begin() + length, aperiodic.end(), voiced.begin() + length);
  }
  if (run.filters_aperiodic && outcome.final_cutoff > 0.0) copy_back(run.aperiodic_work, aperiodic);
  return outcome.peak;
}

}  // namespace quillet
