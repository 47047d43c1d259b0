#include "analysis/period_candidates.h"

#include <algorithm>
#include <cmath>

namespace quillet {

namespace {

// Frames first .. first + count - 1 of the signal, silence outside it.
std::vector<double> stretch_of(const PeriodSignal& signal, long first, long count) {
  std::vector<double> out(static_cast<size_t>(std::max(count, 0L)), 0.0);
  const long size = static_cast<long>(signal.x.size());
  const long from = std::max(first, 0L);
  const long to = std::min(first + count, size);
  for (long i = from; i < to; ++i) out[static_cast<size_t>(i - first)] = signal.x[static_cast<size_t>(i)];
  return out;
}

// Sum over j < window of (x[start + j] - x[start + j + lag])^2.
double squared_difference(const double* x, long start, int window, int lag) {
  const double* a = x + start;
  const double* b = a + lag;
  double sum = 0.0;
  for (int j = 0; j < window; ++j) {
    const double d = a[j] - b[j];
    sum += d * d;
  }
  return sum;
}

// Offset of the vertex of the parabola through (-1, a), (0, b), (1, c) from
// the middle point, within -1 .. 1; 0 when the three points do not bend up.
double parabola_vertex(double a, double b, double c) {
  const double bend = a - 2.0 * b + c;
  if (!(bend > 0.0)) return 0.0;
  return std::clamp(0.5 * (a - c) / bend, -1.0, 1.0);
}

// The lag of the local minimum reached by walking down from lag while the
// next lag within hi is lower.
int walk_down(const std::vector<double>& cmnd, int lag, int hi) {
  while (lag + 1 <= hi && cmnd[static_cast<size_t>(lag + 1)] < cmnd[static_cast<size_t>(lag)]) ++lag;
  return lag;
}

int deepest_lag(const std::vector<double>& cmnd, int lo, int hi) {
  int best = lo;
  for (int lag = lo + 1; lag <= hi; ++lag) {
    if (cmnd[static_cast<size_t>(lag)] < cmnd[static_cast<size_t>(best)]) best = lag;
  }
  return best;
}

// The depth of the dip at lag: the least value of the parabola through it
// and its neighbours, which a short period that falls between two lags
// reaches though neither lag does; the value at lag where the three do not
// bend up.
double dip_depth(const std::vector<double>& cmnd, int lag) {
  const double b = cmnd[static_cast<size_t>(lag)];
  if (lag < 1 || lag + 1 >= static_cast<int>(cmnd.size())) return b;
  const double a = cmnd[static_cast<size_t>(lag - 1)];
  const double c = cmnd[static_cast<size_t>(lag + 1)];
  const double bend = a - 2.0 * b + c;
  if (!(bend > 0.0)) return b;
  return std::max(0.0, b - (a - c) * (a - c) / (8.0 * bend));
}

// The dip at a multiple of lag, within hi, that is DEEPER_MULTIPLE_RATIO
// times deeper than the dip at lag or more and deeper by
// DEEPER_MULTIPLE_MARGIN, repeated from there; lag itself when there is
// none.
int deeper_multiple(const std::vector<double>& cmnd, int lag, int hi) {
  for (int k = 2; k <= LARGEST_MULTIPLE; ++k) {
    const int from = std::max(1, k * lag - k);
    const int to = std::min(hi, k * lag + k);
    if (from > to) break;
    const int deepest = walk_down(cmnd, deepest_lag(cmnd, from, to), hi);
    const double here = dip_depth(cmnd, lag);
    const double there = dip_depth(cmnd, deepest);
    if (there < DEEPER_MULTIPLE_RATIO * here && here - there > DEEPER_MULTIPLE_MARGIN) {
      return deeper_multiple(cmnd, deepest, hi);
    }
  }
  return lag;
}

// An earlier picked lag of which lag is a multiple and whose dip is nearly
// as deep (SAME_PERIOD_RATIO of it or more): the same period seen again a
// few periods on. lag itself when there is none.
int earlier_period(const std::vector<double>& cmnd, const std::vector<std::pair<int, double>>& picked,
                   int lag) {
  for (const auto& entry : picked) {
    const int period = entry.first;
    if (period >= lag) continue;
    for (int k = 2; k <= LARGEST_MULTIPLE + 1; ++k) {
      if (std::abs(lag - k * period) <= k && dip_depth(cmnd, lag) >= SAME_PERIOD_RATIO * dip_depth(cmnd, period)) {
        return period;
      }
    }
  }
  return lag;
}

void add_candidate(std::vector<std::pair<int, double>>& picked, int lag, double probability) {
  for (auto& entry : picked) {
    if (entry.first == lag) {
      entry.second += probability;
      return;
    }
  }
  picked.emplace_back(lag, probability);
}

double refined_lag(const std::vector<double>& values, int lag) {
  if (lag < 1 || lag + 1 >= static_cast<int>(values.size())) return lag;
  return lag + parabola_vertex(values[static_cast<size_t>(lag - 1)], values[static_cast<size_t>(lag)],
                               values[static_cast<size_t>(lag + 1)]);
}

}  // namespace

std::vector<double> threshold_weights() {
  const double beta = THRESHOLD_ALPHA * (1.0 - THRESHOLD_MEAN) / THRESHOLD_MEAN;
  std::vector<double> weights(THRESHOLD_COUNT);
  double sum = 0.0;
  for (int k = 0; k < THRESHOLD_COUNT; ++k) {
    const double s = (k + 1) / static_cast<double>(THRESHOLD_COUNT);
    const double density = std::pow(s, THRESHOLD_ALPHA - 1.0) * std::pow(1.0 - s, beta - 1.0);
    weights[static_cast<size_t>(k)] = density;
    sum += density;
  }
  for (double& weight : weights) weight /= sum;
  return weights;
}

namespace {

constexpr int kLagsAtOnce = 4;

// squared_difference for lags lag .. lag + 3, each over its own stretch
// starting at starts[i], the four sums side by side (each in the plain
// order, so each equals squared_difference's).
void four_squared_differences(const double* x, const long* starts, int window, int lag,
                              double* sums) {
  const double* a0 = x + starts[0];
  const double* a1 = x + starts[1];
  const double* a2 = x + starts[2];
  const double* a3 = x + starts[3];
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  for (int j = 0; j < window; ++j) {
    const double d0 = a0[j] - a0[j + lag];
    const double d1 = a1[j] - a1[j + lag + 1];
    const double d2 = a2[j] - a2[j + lag + 2];
    const double d3 = a3[j] - a3[j + lag + 3];
    s0 += d0 * d0;
    s1 += d1 * d1;
    s2 += d2 * d2;
    s3 += d3 * d3;
  }
  sums[0] = s0;
  sums[1] = s1;
  sums[2] = s2;
  sums[3] = s3;
}

}  // namespace

bool normalised_difference(const PeriodSignal& signal, double centre, int window, int max_lag,
                           std::vector<double>& out) {
  out.assign(static_cast<size_t>(std::max(max_lag, 0) + 1), 1.0);
  const long first = std::lround(centre - (window + max_lag) / 2.0) - 1;
  const std::vector<double> x = stretch_of(signal, first, window + max_lag + 3);
  const auto start_of = [&](int lag) { return std::lround(centre - (window + lag) / 2.0) - first; };
  double running = 0.0;
  const auto add = [&](int lag, double d) {
    running += d;
    out[static_cast<size_t>(lag)] = running > 0.0 ? d * lag / running : 1.0;
  };
  int lag = 1;
  for (; lag + kLagsAtOnce - 1 <= max_lag; lag += kLagsAtOnce) {
    long starts[kLagsAtOnce];
    double sums[kLagsAtOnce];
    for (int i = 0; i < kLagsAtOnce; ++i) starts[i] = start_of(lag + i);
    four_squared_differences(x.data(), starts, window, lag, sums);
    for (int i = 0; i < kLagsAtOnce; ++i) add(lag + i, sums[i]);
  }
  for (; lag <= max_lag; ++lag) add(lag, squared_difference(x.data(), start_of(lag), window, lag));
  return running > 0.0;
}

std::vector<PeriodCandidate> threshold_candidates(const std::vector<double>& cmnd,
                                                  const LagSpan& span,
                                                  const std::vector<double>& weights) {
  const int hi = std::min(span.max_lag, static_cast<int>(cmnd.size()) - 1);
  const int lo = std::max(span.min_lag, 1);
  std::vector<PeriodCandidate> candidates;
  if (lo > hi) return candidates;
  std::vector<std::pair<int, double>> picked;
  // The highest threshold is crossed first; each lower one at the same lag
  // or later.
  int lag = lo;
  for (int k = static_cast<int>(weights.size()) - 1; k >= 0; --k) {
    const double threshold = (k + 1) / static_cast<double>(THRESHOLD_COUNT);
    while (lag <= hi && !(cmnd[static_cast<size_t>(lag)] < threshold)) ++lag;
    if (lag > hi) {
      double unreached = 0.0;
      for (int rest = k; rest >= 0; --rest) unreached += weights[static_cast<size_t>(rest)];
      add_candidate(picked, earlier_period(cmnd, picked, deepest_lag(cmnd, lo, hi)),
                    UNREACHED_SHARE * unreached);
      break;
    }
    const int dip = deeper_multiple(cmnd, walk_down(cmnd, lag, hi), hi);
    add_candidate(picked, earlier_period(cmnd, picked, dip), weights[static_cast<size_t>(k)]);
  }
  for (const auto& [at, probability] : picked) {
    candidates.push_back(PeriodCandidate{refined_lag(cmnd, at), probability});
  }
  return candidates;
}

double refine_period(const PeriodSignal& signal, double centre, int window, double guess,
                     int reach) {
  const int middle = static_cast<int>(std::lround(guess));
  const int lo = std::max(1, middle - reach);
  const int hi = middle + reach;
  const long start = std::lround(centre - (window + guess) / 2.0);
  const std::vector<double> x = stretch_of(signal, start, window + hi + 1);
  std::vector<double> d(static_cast<size_t>(hi - lo + 1));
  for (int lag = lo; lag <= hi; ++lag) {
    d[static_cast<size_t>(lag - lo)] = squared_difference(x.data(), 0, window, lag);
  }
  const auto least = std::min_element(d.begin(), d.end()) - d.begin();
  if (least == 0 || least + 1 == static_cast<long>(d.size())) return guess;
  return lo + least + parabola_vertex(d[static_cast<size_t>(least - 1)], d[static_cast<size_t>(least)],
                                      d[static_cast<size_t>(least + 1)]);
}

}  // namespace quillet
