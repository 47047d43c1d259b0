#include "synth/resynthesis.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>

#include "core/constants.h"
#include "core/parallel.h"
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
double voiced_sample(const SplineView& block, double pos, double phase, double lag) {
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

// The spline blocks the loop reads: the one it is in and one it was in
// before, so that stepping back and forth across a block boundary solves
// nothing more after the first time. A block after the last one handed out
// is made from it in its own slot (the loop mostly walks forward a block at
// a time); any other goes into the other slot, made from what that holds
// where it can be, else solved whole. Either way it holds the same numbers.
// A slot takes memory only once a block goes into it: a note that walks
// forward only uses one.
struct BlockCache {
  std::array<std::optional<SweptBlock>, 2> slots;
  std::array<int, 2> held{-1, -1};  // block index in each slot; -1: none
  int last = 0;                     // the slot handed out last
};

// The block of index blk, made when it is not held.
SplineView cached_block(BlockCache& cache, int blk, const SampleStore& samples, int channels) {
  for (int slot = 0; slot < 2; ++slot) {
    if (cache.held[slot] == blk) {
      cache.last = slot;
      return view_of(*cache.slots[slot]);
    }
  }
  const int last_held = cache.held[cache.last];
  const int slot = last_held < 0 || blk > last_held ? cache.last : 1 - cache.last;
  if (!cache.slots[slot]) cache.slots[slot].emplace();
  SweptBlock& target = *cache.slots[slot];
  cache.held[slot] = -1;
  load_swept_block(target, target, samples, blk * BLOCK_STEP - BLOCK_LEAD, channels);
  cache.held[slot] = blk;
  cache.last = slot;
  return view_of(target);
}

// Notes shorter than this are rendered on one thread: a second one would
// cost more to start than it saves.
constexpr int MIN_SPLIT_LENGTH = 4096;

// The block weights of place_sample (its cosine) for the samples the second
// thread has walked, kept for the first thread to read instead of working
// them out again: the entries below walked are set, and never change once
// set. Kept for the first WALKED_WEIGHT_ROOM samples at most.
struct WalkedWeights {
  std::unique_ptr<double[]> weight;
  int room = 0;  // entries
  std::atomic<int> walked{0};
};

constexpr int WALKED_WEIGHT_ROOM = 1 << 18;

// What every output sample of one run reads, set once.
struct LoopContext {
  const RenderParams& params;
  const SampleStore& samples;
  int channels;
  const FrequencyList& list;
  TimeMap map;
  double sample_rate;
  int64_t last_position;
  WalkedWeights* walked_weights = nullptr;  // shared by the two threads of a run in two
};

// The state the loop carries from one output sample to the next; on a cache
// line of its own, as each thread writes its own state at every sample.
struct alignas(64) LoopState {
  double phase = 0.0;       // the voiced head, ahead of the input position
  AperiodicBank bank;
  int progress_block = -1;  // block index of the last progress line
};

// Where one output sample reads, and at what pitch.
struct SamplePlace {
  InputPlace place;
  int blk = 0;
  double w = 0.0;      // weight between this block's list entry and the next one's
  double f_loc = 0.0;  // the input's own pitch there
  double f_tgt = 0.0;  // the pitch to render
  double lag = 0.0;
};

LoopContext make_loop_context(const RenderParams& params, const SampleStore& samples, int channels,
                              const FrequencyList& list) {
  return LoopContext{params, samples, channels, list, make_time_map(params),
                     input_sample_rate(params.rate_ratio),
                     static_cast<int64_t>(params.sample_count) + params.offset_samples};
}

LoopState start_state(const RenderParams& params) {
  LoopState state;
  state.bank = make_aperiodic_bank(params.flags);
  return state;
}

// The place of output sample n; false past the end of the input, where the
// loop stops. known_weight: the block weight of n as the walk worked it out,
// or nullptr.
bool place_sample(const LoopContext& ctx, int n, SamplePlace& at, const double* known_weight = nullptr) {
  at.place = map_output_sample(ctx.map, n);
  const int64_t ip = trunc_saturated(at.place.pos);
  if (ip > ctx.last_position) return false;
  at.blk = block_index(ip);
  const int block_start = at.blk * BLOCK_STEP;
  at.w = known_weight != nullptr ? *known_weight : std::cos((at.place.pos - block_start) * BLOCK_WEIGHT_FACTOR);
  at.f_loc = local_frequency(ctx.list, at.blk, ctx.params.avg_freq, at.w);
  at.f_tgt = target_frequency(ctx.params, n, at.blk, at.w);
  at.lag = voiced_lag(ctx.sample_rate, at.f_loc);
  return true;
}

void advance_voiced_phase(const LoopContext& ctx, LoopState& state, const SamplePlace& at) {
  const double inc = voiced_increment(ctx.params, at.f_tgt, at.f_loc, at.place.adv);
  state.phase = wrap_voiced_phase(state.phase + inc, at.lag);
}

// The progress line of a newly entered block: printed, or kept in progress
// when it is given.
void report_block(int blk, int n, std::string* progress) {
  if (progress == nullptr) {
    std::printf("%d -> %d  \r", blk, n / BLOCK_STEP);
    return;
  }
  char line[48];
  const int length = std::snprintf(line, sizeof line, "%d -> %d  \r", blk, n / BLOCK_STEP);
  if (length > 0) progress->append(line, static_cast<std::size_t>(length));
}

// Carries state over output samples first .. end - 1 without rendering
// them, exactly as rendering them would; false when the loop stops before end.
bool skip_samples(const LoopContext& ctx, LoopState& state, int first, int end) {
  WalkedWeights* weights = ctx.walked_weights;
  SamplePlace at;
  for (int n = first; n < end; ++n) {
    if (!place_sample(ctx, n, at)) return false;
    if (weights != nullptr && n < weights->room) weights->weight[n] = at.w;
    state.progress_block = at.blk;
    advance_voiced_phase(ctx, state, at);
    advance_aperiodic_readers(state.bank, ctx.params, at.place.adv);
  }
  return true;
}

// Renders output samples first .. end - 1 into out, carrying state on, with
// the blocks solved into cache; false when the loop stops before end.
bool render_samples(const LoopContext& ctx, LoopState& state, BlockCache& cache, int first, int end,
                    RenderedSignals& out, std::string* progress) {
  const RenderParams& params = ctx.params;
  SplineView block;
  int held_block = -1;
  const WalkedWeights* weights = ctx.walked_weights;
  int known_end = 0;  // the walked weights below it are set
  SamplePlace at;
  for (int n = first; n < end; ++n) {
    if (weights != nullptr && n >= known_end) known_end = weights->walked.load(std::memory_order_acquire);
    const double* known_weight = n < known_end ? &weights->weight[n] : nullptr;
    if (!place_sample(ctx, n, at, known_weight)) return false;
    if (at.blk != state.progress_block) {
      report_block(at.blk, n, progress);
      state.progress_block = at.blk;
    }
    if (at.blk != held_block) {
      block = cached_block(cache, at.blk, ctx.samples, ctx.channels);
      held_block = at.blk;
    }
    advance_voiced_phase(ctx, state, at);
    out.voiced[n] = params.saw_test ? saw_sample(ctx.list, n, at.blk, at.f_tgt, at.w)
                                    : voiced_sample(block, at.place.pos, state.phase, at.lag);
    out.aperiodic[n] = aperiodic_step(state.bank, params, n, at.place.pos, at.place.adv, at.lag, block);
  }
  return true;
}

RenderedSignals zeroed_signals(const RenderParams& params) {
  RenderedSignals out;
  const std::size_t length = static_cast<std::size_t>(rendered_length(params));
  out.voiced.assign(length, 0.0);
  out.aperiodic.assign(length, 0.0);
  return out;
}

// Room for the progress lines of count samples, most of the time: one line
// of at most 24 characters per block the input passes, and some spare.
std::size_t progress_room(const RenderParams& params, int count) {
  double blocks = std::max(count, 0) * std::max(params.input_step, params.rate_ratio) / BLOCK_STEP;
  if (!(blocks < 1e5)) blocks = 1e5;
  return static_cast<std::size_t>(blocks) * 24 + 256;
}

// Where the second thread starts when the first has claimed the samples
// before claimed: half way from there to the end, as both render at about
// the same speed. The second thread walks the samples before its start
// without rendering them, asking again as it goes, so the start moves on
// with the first thread's claims until the walk catches up with it.
constexpr LaterShare LATER_PART{1, 2};

// Samples the first thread claims at a time.
constexpr int CLAIM_RUN = 512;

// The first thread's part: runs of samples from n on, as far as the
// boundary. Returns where it stopped, or -1 when the loop stopped first.
int render_first_part(const LoopContext& ctx, LoopState& state, BlockCache& cache, SplitBoundary& boundary,
                      RenderedSignals& out, int n) {
  while (true) {
    const int run_end = boundary.claim(n);
    if (run_end <= n) return n;
    if (!render_samples(ctx, state, cache, n, run_end, out, nullptr)) return -1;
    n = run_end;
  }
}

// Samples walked at most between two looks at the boundary, so that the
// walk stops soon once the first thread has claimed every sample.
constexpr int WALK_RUN = 2048;

// The loop state at a sample the walk passed: the first thread's samples
// can be taken back from there.
struct WalkedState {
  int n = 0;
  LoopState state;
};

// What the second thread keeps for itself, let go on its own thread: its
// blocks, and the states its walk passed (as many as were reserved).
struct LaterKeep {
  std::optional<BlockCache> cache;
  std::vector<WalkedState> walked_states;
};

// What the second thread's parts print, for the first thread to print after
// its own: the run taken back from the first, the second's own part, then
// the run the first took back from the second.
struct LaterProgress {
  std::string taken;
  std::string own;
  std::string helped;
};

// The second thread's own part as the first may see it: the boundary that
// deals its samples, and where it last stood with its state there.
struct LaterPosition {
  explicit LaterPosition(int end) : boundary(end, -1, CLAIM_RUN, LATER_PART) {}
  SplitBoundary boundary;
  std::mutex mutex;
  bool known = false;  // false: the second has not rendered any of its part yet
  WalkedState at;
};

void tell_position(LaterPosition& position, int n, const LoopState& state) {
  std::lock_guard<std::mutex> lock(position.mutex);
  position.known = true;
  position.at = WalkedState{n, state};
}

// Walks the state from sample from (0 unless given) to where the boundary
// settles; that sample (the end: nothing is left), or -1 when the loop stops
// on the way.
int walk_to_boundary(const LoopContext& ctx, LoopState& state, SplitBoundary& boundary,
                     std::vector<WalkedState>& walked_states, int from = 0) {
  int n = from;
  while (true) {
    const SplitBoundary::Offer offer = boundary.offer(n);
    if (offer.settled) return offer.next;
    const int until = std::min(offer.next, n + WALK_RUN);
    if (!skip_samples(ctx, state, n, until)) return -1;
    n = until;
    if (walked_states.size() < walked_states.capacity()) walked_states.push_back(WalkedState{n, state});
    WalkedWeights* weights = ctx.walked_weights;
    if (weights != nullptr) weights->walked.store(std::min(n, weights->room), std::memory_order_release);
  }
}

// Gives both slots of cache their memory, for a run taken back from the
// other thread (it goes back to blocks of its own); false without memory.
bool hold_both_slots(BlockCache& cache) {
  try {
    for (std::optional<SweptBlock>& slot : cache.slots) {
      if (!slot) slot.emplace();
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// What starting a taken run costs, in samples (a block solved whole), and
// the fewest samples worth it.
constexpr int64_t RUN_START_COST = 256;
constexpr int FEWEST_TAKEN_SAMPLES = 2048;

// The first walked state at or after target, below end; nullptr if none.
const WalkedState* walked_state_from(const std::vector<WalkedState>& states, int64_t target, int end) {
  for (const WalkedState& walked : states) {
    if (walked.n >= target) return walked.n < end ? &walked : nullptr;
  }
  return nullptr;
}

// The second thread, through with its own part while the first is not (its
// processor busy elsewhere, say): takes back the first's samples from a
// walked state about half way through what the first has left, as long as
// that is worth it, and renders them from that state. Once: the lines of a
// single taken run go between the first's and its own.
void take_back_samples(const LoopContext& ctx, SplitBoundary& boundary, LaterKeep& keep, RenderedSignals& out,
                       LaterProgress& progress) {
  if (!hold_both_slots(*keep.cache)) return;
  for (;;) {
    const SplitBoundary::Progress first = boundary.progress();
    const int64_t target = first.claimed + (first.boundary - first.claimed + RUN_START_COST) / 2;
    const WalkedState* from = walked_state_from(keep.walked_states, target, first.boundary);
    if (from == nullptr || first.boundary - from->n < FEWEST_TAKEN_SAMPLES) return;
    try {
      progress.taken.reserve(progress_room(ctx.params, first.boundary - from->n));
    } catch (const std::bad_alloc&) {
      return;
    }
    const int until = boundary.take_back(from->n);
    if (until < 0) continue;  // the first got there meanwhile: look again
    LoopState state = from->state;
    render_samples(ctx, state, *keep.cache, from->n, until, out, &progress.taken);
    return;
  }
}

// The second thread's part: from the boundary on, after walking up to it.
// Its blocks are its own, made into cache on its own thread while the first
// renders (and let go on that thread once it is done); without memory for
// them it renders nothing, and hands its part back to the first. It writes
// into out once out is ready.
void render_later_part(const LoopContext& ctx, SplitBoundary& boundary, LaterPosition& position, int end,
                       RenderedSignals& out, const ReadyLatch& out_ready, LaterProgress& progress,
                       LaterKeep& keep) {
  try {
    keep.cache.emplace();
    progress.own.reserve(progress_room(ctx.params, end - later_start(0, end, LATER_PART)));
    keep.walked_states.reserve(static_cast<std::size_t>(end / WALK_RUN + 2));
  } catch (const std::bad_alloc&) {
    boundary.go_alone();
    return;
  }
  LoopState state = start_state(ctx.params);
  const int start = walk_to_boundary(ctx, state, boundary, keep.walked_states);
  if (start < 0 || start >= end || !out_ready.wait()) return;
  try {
    keep.cache->slots[0].emplace();  // the slot of a part that walks forward only
  } catch (const std::bad_alloc&) {
    boundary.go_alone();  // nothing rendered yet: the first thread renders the part
    return;
  }
  int n = start;
  for (int run_end = position.boundary.claim(n); run_end > n; run_end = position.boundary.claim(n)) {
    if (!render_samples(ctx, state, *keep.cache, n, run_end, out, &progress.own)) return;
    n = run_end;
    tell_position(position, n, state);
  }
  take_back_samples(ctx, boundary, keep, out, progress);
}

// The first thread, through with its part while the second is not (its
// processor busy elsewhere, say): takes back the second's last samples. It
// walks on from where the second last stood, from its state there, until
// the boundary between them settles, and renders from there to the end.
void help_later_part(const LoopContext& ctx, LaterPosition& position, int end, BlockCache& cache,
                     RenderedSignals& out, std::string& lines) {
  WalkedState from;
  {
    std::lock_guard<std::mutex> lock(position.mutex);
    if (!position.known) return;
    from = position.at;
  }
  if (end - from.n < 2 * FEWEST_TAKEN_SAMPLES) return;
  if (!hold_both_slots(cache)) return;
  try {
    lines.reserve(progress_room(ctx.params, (end - from.n) / 2));
  } catch (const std::bad_alloc&) {
    return;
  }
  LoopContext walking = ctx;
  walking.walked_weights = nullptr;  // the shared weights are the second thread's walk's
  std::vector<WalkedState> no_states;
  LoopState state = from.state;
  const int start = walk_to_boundary(walking, state, position.boundary, no_states, from.n);
  if (start < 0 || start >= end) return;
  render_samples(walking, state, cache, start, end, out, &lines);
}

// Both signals rendered by two threads, split at fixed_split or, when that is
// negative, where the boundary settles. The second thread starts walking
// while this one makes the signals.
RenderedSignals render_in_two(const RenderParams& params, const SampleStore& samples, int channels,
                              const FrequencyList& list, int fixed_split) {
  RenderedSignals out;
  ReadyLatch out_ready;
  const int end = std::max(params.out_len, 0);
  WalkedWeights weights;
  try {
    weights.room = std::min(end, WALKED_WEIGHT_ROOM);
    weights.weight = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(weights.room));
  } catch (const std::bad_alloc&) {
    weights.room = 0;  // the first thread works every weight out itself
  }
  LoopContext ctx = make_loop_context(params, samples, channels, list);
  ctx.walked_weights = &weights;
  SplitBoundary boundary(end, fixed_split < 0 ? -1 : std::min(fixed_split, end), CLAIM_RUN, LATER_PART);
  LaterPosition later_position(end);
  LaterProgress later_progress;
  std::exception_ptr later_failure;  // what the second thread threw, thrown again here
  {
    WithdrawableHelper later;
    const auto later_part = [&, keep = LaterKeep()]() mutable {
      try {
        render_later_part(ctx, boundary, later_position, end, out, out_ready, later_progress, keep);
      } catch (...) {
        later_failure = std::current_exception();
      }
    };
    if (!later.start(later_part)) boundary.go_alone();
    try {
      out = zeroed_signals(params);
    } catch (...) {
      out_ready.settle(false);
      throw;
    }
    out_ready.settle(true);
    LoopState state = start_state(params);
    BlockCache cache;
    const int stopped = render_first_part(ctx, state, cache, boundary, out, 0);
    if (stopped >= 0) help_later_part(ctx, later_position, end, cache, out, later_progress.helped);
    const bool helped = later.finish();
    if (stopped >= 0) {
      if (!helped) boundary.go_alone();  // a second thread that never began leaves its part to this one
      render_first_part(ctx, state, cache, boundary, out, stopped);  // and so does one that gave up
    }
  }
  if (later_failure) std::rethrow_exception(later_failure);
  for (const std::string* lines : {&later_progress.taken, &later_progress.own, &later_progress.helped}) {
    std::fwrite(lines->data(), 1, lines->size(), stdout);
  }
  return out;
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
  return resynthesize(params, samples, channels, list, worker_threads());
}

RenderedSignals resynthesize(const RenderParams& params, const SampleStore& samples, int channels,
                             const FrequencyList& list, int threads) {
  if (threads >= 2 && params.out_len >= MIN_SPLIT_LENGTH) {
    return render_in_two(params, samples, channels, list, -1);
  }
  RenderedSignals out = zeroed_signals(params);
  LoopState state = start_state(params);
  BlockCache cache;
  render_samples(make_loop_context(params, samples, channels, list), state, cache, 0, params.out_len, out,
                 nullptr);
  return out;
}

RenderedSignals resynthesize_in_two(const RenderParams& params, const SampleStore& samples, int channels,
                                    const FrequencyList& list, int split) {
  return render_in_two(params, samples, channels, list, std::max(split, 0));
}

}  // namespace quillet
