#include "synth/resynthesis.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "core/constants.h"
#include "synth/aperiodic.h"
#include "synth/spline.h"

namespace quillet {

namespace {

constexpr double TRANSITION_BEFORE = 128.0;   // output samples before the fixed head's end
constexpr double TRANSITION_AFTER = 127.0;    // output samples after it
constexpr double TRANSITION_SINE = 0.315;     // factor of the sine term of the position
constexpr double BLOCK_WEIGHT_FACTOR = PI / 256.0;
constexpr double MIN_LAG = 32.0;
constexpr double SAW_AMPLITUDE = 32768.0;
// The post-processing reads a few entries past out_len and the post filter up
// to a window of 1024 past it, so the tail never gets shorter than that.
constexpr int64_t MIN_SPARE_TAIL = 1024;
// An absurd stretch must not ask for gigabytes of silence.
constexpr int64_t MAX_SPARE_TAIL = int64_t{1} << 23;
// The highest block index whose block start and block still fit an int.
constexpr int64_t MAX_BLOCK_INDEX = (INT_MAX - BLOCK_LENGTH) / BLOCK_STEP;

// Conversion toward zero that saturates, with NaN giving 0.
int64_t trunc_saturated(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2e18) return INT64_MAX;
  if (v <= -9.2e18) return INT64_MIN;
  return static_cast<int64_t>(v);
}

// Entry i of a per-step array; past its end the last entry, and fallback
// when it is empty.
double entry_or_last(const std::vector<double>& values, int64_t i, double fallback) {
  if (values.empty()) return fallback;
  if (i < 0) return values.front();
  if (i >= static_cast<int64_t>(values.size())) return values.back();
  return values[static_cast<std::size_t>(i)];
}

// A frequency-list entry outside (55, 3 x average] is replaced by the average.
double usable_frequency(double f, double avg_freq) {
  return (f > UNVOICED_HZ && f <= 3.0 * avg_freq) ? f : avg_freq;
}

double local_frequency(const FrequencyList& list, int blk, double avg_freq, double w) {
  const double fa = usable_frequency(entry_or_last(list.freq, blk, avg_freq), avg_freq);
  const double fb = usable_frequency(entry_or_last(list.freq, blk + 1, avg_freq), avg_freq);
  return ((fa + fb) + (fa - fb) * w) * 0.5;
}

double target_frequency(const RenderParams& params, int n, int blk, double w) {
  const std::vector<double>& bend = params.bend_freq;
  const double fallback = params.target_freq;
  if (params.bend_mode == 1) {
    const int step = std::max(params.bend_step, 1);
    const int q = n / step;
    const int r = n % step;
    const double here = entry_or_last(bend, q, fallback);
    const double next = entry_or_last(bend, static_cast<int64_t>(q) + 1, fallback);
    return (static_cast<double>(step - r) * here + static_cast<double>(r) * next) / step;
  }
  const double here = entry_or_last(bend, blk, fallback);
  const double next = entry_or_last(bend, static_cast<int64_t>(blk) + 1, fallback);
  return here + (next - here) * (1.0 - w) / 2.0;
}

// How far the voiced head moves relative to the input position per output sample.
double voiced_increment(const RenderParams& params, double f_tgt, double f_loc, double adv) {
  const double rate = params.rate_ratio;
  double inc = f_tgt / params.avg_freq * rate - adv;
  if (params.modulation != 100.0) {
    const double inc_loc = f_tgt / f_loc * rate - adv;
    inc = inc_loc + (inc - inc_loc) * params.modulation / 100.0;
  }
  return inc;
}

// Crossfade of the head at pos + phase with the head one lag behind it.
double voiced_sample(const SplineBlock& block, double pos, double phase, double lag) {
  const double a = spline_eval(block, pos + phase);
  const double b = spline_eval(block, pos + phase - lag);
  const double c = 0.5 + 0.5 * std::cos(PI * phase / lag);
  return a * c + (1.0 - c) * b;
}

// Sawtooth at the target frequency, silent where the list found no pitch.
double saw_sample(const FrequencyList& list, int n, int blk, double f_tgt, double w) {
  double t = n * f_tgt / OUTPUT_RATE;
  t = t - std::floor(t);
  const double va = entry_or_last(list.freq, blk, UNVOICED_HZ) > UNVOICED_HZ ? 1.0 : 0.0;
  const double vb = entry_or_last(list.freq, blk + 1, UNVOICED_HZ) > UNVOICED_HZ ? 1.0 : 0.0;
  const double v = va + (vb - va) * (1.0 - w) / 2.0;
  return (t - 0.5) * SAW_AMPLITUDE * v;
}

// The input's own sample rate, recovered from rate = sample_rate / 44100.
double input_sample_rate(double rate_ratio) {
  const int64_t rate = trunc_saturated(rate_ratio * OUTPUT_RATE + 0.5);
  return static_cast<double>(std::clamp<int64_t>(rate, 0, UINT32_MAX));
}

// Block index of an input position; positions before frame 0 use block 0.
int block_index(int64_t ip) {
  return static_cast<int>(std::clamp<int64_t>(ip / BLOCK_STEP, 0, MAX_BLOCK_INDEX));
}

// The spline blocks the loop reads, solved SPLINE_LANES consecutive ones at a
// time: the loop mostly walks forward through the blocks, so the next ones
// are ready when it gets there. Each block holds the same numbers however it
// was solved.
struct BlockCache {
  std::array<SplineBlock, SPLINE_LANES> blocks;
  int first = 0;
  int count = 0;
};

// The block of index blk, solving it with its neighbours when it is not held:
// the ones after it, or the ones before it when the loop walks backwards.
const SplineBlock& cached_block(BlockCache& cache, int blk, int previous_blk, const SampleStore& samples,
                                int channels) {
  if (cache.count == 0 || blk < cache.first || blk >= cache.first + cache.count) {
    const bool backwards = previous_blk >= 0 && blk < previous_blk;
    const int first = backwards ? std::max(0, blk - (SPLINE_LANES - 1)) : blk;
    cache.first = first;
    cache.count = static_cast<int>(std::min<int64_t>(SPLINE_LANES, MAX_BLOCK_INDEX - first + 1));
    load_spline_blocks(cache.blocks.data(), cache.count, samples, first * BLOCK_STEP - BLOCK_LEAD, channels);
  }
  return cache.blocks[static_cast<std::size_t>(blk - cache.first)];
}

}  // namespace

TimeMap make_time_map(const RenderParams& params) {
  TimeMap map;
  const double t = params.time_factor;
  map.time_factor = t;
  map.rate_ratio = params.rate_ratio;
  map.offset = params.offset_samples;
  map.input_step = params.input_step;
  map.has_fixed_head = params.fixed_in != 0.0;
  map.fixed_out = params.fixed_out;
  map.k1 = (1.0 / t + 1.0 + (1.0 / t - 1.0) / 255.0) * 0.5;
  map.k2 = (1.0 / t - 1.0) * 255.0 * TRANSITION_SINE * 0.5;
  const double delta = PI / 255.0;
  for (int i = 0; i < TRANSITION_LENGTH; ++i) {
    map.sin_table[i] = std::sin(i * delta);
    map.cos_table[i] = std::cos(i * delta);
  }
  return map;
}

InputPlace map_output_sample(const TimeMap& map, int n) {
  const double t = map.time_factor;
  const double r = map.rate_ratio;
  const double x = n;
  const double f = map.fixed_out;
  if (!map.has_fixed_head) return {x / t * r + map.offset, map.input_step};
  if (x < f - TRANSITION_BEFORE) return {x * r + map.offset, r};
  if (x < f + TRANSITION_AFTER) {
    const int64_t h = std::clamp<int64_t>(trunc_saturated(x - f + TRANSITION_BEFORE), 0,
                                          TRANSITION_LENGTH - 1);
    const double pos =
        (f - TRANSITION_BEFORE + h * map.k1 - map.k2 * map.sin_table[h]) * r + map.offset;
    const double adv = ((1.0 + 1.0 / t) + (1.0 - 1.0 / t) * map.cos_table[h]) * 0.5 * r;
    return {pos, adv};
  }
  const int64_t h = std::clamp<int64_t>(trunc_saturated(x - f - TRANSITION_AFTER), 0, INT_MAX);
  return {((h + 128) / t + f - 1.0) * r + map.offset, r / t};
}

double voiced_lag(double sample_rate, double f_loc) {
  double lag = sample_rate / f_loc;
  while (lag < MIN_LAG && lag > 0.0) lag = lag * 2.0;
  return lag;
}

double wrap_voiced_phase(double phase, double lag) {
  if (!(lag > 0.0)) return phase;
  if (phase > 64.0 * lag || phase < -64.0 * lag) phase = std::fmod(phase, lag);
  while (phase > lag) phase = phase - lag;
  while (phase < 0.0) phase = phase + lag;
  return phase;
}

int64_t rendered_length(const RenderParams& params) {
  const int64_t out_len = std::max(params.out_len, 0);
  const double spare = params.time_factor / params.rate_ratio * BLOCK_LENGTH + 1.0;
  const int64_t pad = std::clamp<int64_t>(trunc_saturated(spare), MIN_SPARE_TAIL, MAX_SPARE_TAIL);
  return out_len + pad;
}

RenderedSignals resynthesize(const RenderParams& params, const SampleStore& samples, int channels,
                             const FrequencyList& list) {
  RenderedSignals out;
  const std::size_t length = static_cast<std::size_t>(rendered_length(params));
  out.voiced.assign(length, 0.0);
  out.aperiodic.assign(length, 0.0);

  const TimeMap map = make_time_map(params);
  const double sample_rate = input_sample_rate(params.rate_ratio);
  const int64_t last_position =
      static_cast<int64_t>(params.sample_count) + params.offset_samples;
  AperiodicBank bank = make_aperiodic_bank(params.flags);
  BlockCache cache;
  const SplineBlock* block = nullptr;
  int loaded_block = -1;
  double phase = 0.0;

  for (int n = 0; n < params.out_len; ++n) {
    const InputPlace place = map_output_sample(map, n);
    const int64_t ip = trunc_saturated(place.pos);
    if (ip > last_position) break;
    const int blk = block_index(ip);
    const int block_start = blk * BLOCK_STEP;
    if (blk != loaded_block) {
      std::printf("%d -> %d  \r", blk, n / BLOCK_STEP);
      block = &cached_block(cache, blk, loaded_block, samples, channels);
      loaded_block = blk;
    }
    const double w = std::cos((place.pos - block_start) * BLOCK_WEIGHT_FACTOR);
    const double f_loc = local_frequency(list, blk, params.avg_freq, w);
    const double f_tgt = target_frequency(params, n, blk, w);
    const double lag = voiced_lag(sample_rate, f_loc);
    phase = wrap_voiced_phase(phase + voiced_increment(params, f_tgt, f_loc, place.adv), lag);
    out.voiced[n] = params.saw_test ? saw_sample(list, n, blk, f_tgt, w)
                                    : voiced_sample(*block, place.pos, phase, lag);
    out.aperiodic[n] = aperiodic_step(bank, params, n, place.pos, place.adv, lag, *block);
  }
  return out;
}

}  // namespace quillet
