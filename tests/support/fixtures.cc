#include "support/fixtures.h"

#include <map>

#include "core/constants.h"

namespace quillet::test {

const FrequencyGrid& grid_at(int sample_rate) {
  static std::map<int, FrequencyGrid> grids;
  auto [at, added] = grids.try_emplace(sample_rate);
  if (added) build_frequency_grid(at->second, sample_rate, BLOCK_LENGTH);
  return at->second;
}

FrequencyList constant_list(double hz, int steps) {
  FrequencyList list;
  list.freq_avg = hz;
  list.length = steps;
  list.freq.assign(static_cast<std::size_t>(steps) + 1, hz);
  return list;
}

RenderParams plain_params(double avg_hz, int offset, int sample_count, int out_len) {
  RenderParams params;
  params.flags = "";
  params.avg_freq = params.target_freq = avg_hz;
  params.offset_samples = offset;
  params.sample_count = sample_count;
  params.out_len = out_len;
  params.bend_last = (sample_count + offset) / BLOCK_STEP + 2;
  params.bend_freq.assign(static_cast<std::size_t>(params.bend_last) + 1, avg_hz);
  return params;
}

void set_timing(RenderParams& params, double time_factor, double fixed_out) {
  params.time_factor = time_factor;
  params.input_step = params.rate_ratio / time_factor;
  params.fixed_out = fixed_out;
  params.fixed_in = fixed_out * params.rate_ratio;
}

}  // namespace quillet::test
