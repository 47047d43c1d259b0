#include "filter/filter_plan.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "core/numeric.h"

namespace quillet {

namespace {

int block_of(const Place& place) { return place.input / SPECTRUM_SIZE; }

int block_at(const TimeMapping& mapping, int c) { return block_of(map_to_input(mapping, c)); }

// Whether the mapped input never moves back as c grows: one to one in the
// head, then (c - head) x ratio + head with every step rounded upwards or
// not at all; where the two meet, the stretched part starts at or after the
// head's last position.
bool never_moves_back(const TimeMapping& mapping) {
  return std::isfinite(mapping.ratio) && mapping.ratio >= 0.0 && std::isfinite(mapping.fixed_in);
}

// Walks the plan from output sample c, in block block, to target: every
// update on the way, each the first sample past the one before whose block
// differs from it, found by bisection.
void add_updates_up_to(const TimeMapping& mapping, int target, int& c, int& block,
                       std::vector<EnvelopeUpdate>& updates) {
  const int target_block = block_at(mapping, target);
  while (target_block != block) {
    int same = c;         // in block
    int changed = target;  // past it
    while (changed - same > 1) {
      const int middle = same + (changed - same) / 2;
      if (block_at(mapping, middle) == block) {
        same = middle;
      } else {
        changed = middle;
      }
    }
    const Place place = map_to_input(mapping, changed);
    updates.push_back(EnvelopeUpdate{changed, place});
    c = changed;
    block = block_of(place);
  }
  c = target;
}

}  // namespace

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

FilterPlan plan_filter_sample_by_sample(const TimeMapping& mapping, int length) {
  FilterPlan plan;
  int prev_block = -1;
  int last_r = 0;
  for (int c = 0; c < length; ++c) {
    const Place place = map_to_input(mapping, c);
    const int block = block_of(place);
    last_r = place.input % SPECTRUM_SIZE;
    if (block != prev_block) plan.updates.push_back(EnvelopeUpdate{c, place});
    if (c % SPECTRUM_HALF == 0) {
      plan.frames.push_back(FramePlan{static_cast<int>(plan.updates.size()) - 1, last_r, block});
    }
    prev_block = block;
  }
  if (length > 0) plan.frames.push_back(FramePlan{static_cast<int>(plan.updates.size()) - 1, last_r, 0});
  return plan;
}

FilterPlan plan_filter(const TimeMapping& mapping, int length) {
  if (!never_moves_back(mapping)) return plan_filter_sample_by_sample(mapping, length);
  FilterPlan plan;
  if (length <= 0) return plan;
  const Place start = map_to_input(mapping, 0);
  plan.updates.push_back(EnvelopeUpdate{0, start});
  int c = 0;
  int block = block_of(start);
  for (long long next = 0; next < length; next += SPECTRUM_HALF) {
    const int frame_at = static_cast<int>(next);
    add_updates_up_to(mapping, frame_at, c, block, plan.updates);
    const Place place = map_to_input(mapping, frame_at);
    plan.frames.push_back(FramePlan{static_cast<int>(plan.updates.size()) - 1, place.input % SPECTRUM_SIZE,
                                    block_of(place)});
  }
  add_updates_up_to(mapping, length - 1, c, block, plan.updates);
  const int last_r = map_to_input(mapping, length - 1).input % SPECTRUM_SIZE;
  plan.frames.push_back(FramePlan{static_cast<int>(plan.updates.size()) - 1, last_r, 0});
  return plan;
}

}  // namespace quillet
