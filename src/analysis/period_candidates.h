// Period candidates of one frame: the cumulative mean normalised difference
// function of the frame, and the periods that a spread of thresholds picks
// from it, each with the probability of the thresholds that pick it. The
// thresholds follow a beta distribution; a threshold that no dip reaches
// picks the deepest dip with a small part of its probability. Also the
// refinement of one period at full rate, to a fraction of a frame.
#pragma once

#include <vector>

#include "analysis/period_signal.h"

namespace quillet {

inline constexpr int THRESHOLD_COUNT = 100;       // thresholds 0.01, 0.02 .. 1.00
inline constexpr double THRESHOLD_MEAN = 0.15;    // mean of their beta distribution
inline constexpr double THRESHOLD_ALPHA = 2.0;    // its first shape parameter
inline constexpr double UNREACHED_SHARE = 0.01;   // share of a threshold that no dip reaches
// A dip gives its probability to a dip at a multiple of its lag that is this
// many times deeper or more: its own lag was a strong harmonic, not the period.
inline constexpr double DEEPER_MULTIPLE_RATIO = 0.25;
// ... and deeper by this much at least: of two dips near 0, both are periods.
inline constexpr double DEEPER_MULTIPLE_MARGIN = 0.02;
inline constexpr int LARGEST_MULTIPLE = 4;
// A later dip at a multiple of a picked one, at least this share of its
// depth, gives its probability to the picked one.
inline constexpr double SAME_PERIOD_RATIO = 0.5;

struct PeriodCandidate {
  double period = 0.0;       // in frames of the searched signal, a fraction of a frame
  double probability = 0.0;  // of the thresholds that pick it
};

// The lags a frame is searched over, both ends included.
struct LagSpan {
  int min_lag = 2;
  int max_lag = 2;
};

// The weight of each threshold: the beta density at 0.01 k for k = 1 .. 100,
// scaled to sum to 1.
std::vector<double> threshold_weights();

// d'(0 .. max_lag) of the frame centred on frame centre of signal: the
// squared difference over window frames between the signal and itself lag
// frames later, each lag's stretch centred on centre, divided by the mean of
// the differences of lags 1 .. lag (1 at lag 0 and where that mean is 0).
// Returns false when every difference is 0 (a silent frame).
bool normalised_difference(const PeriodSignal& signal, double centre, int window, int max_lag,
                           std::vector<double>& out);

// The candidates that the thresholds pick from d' over span, each moved to a
// much deeper dip at a multiple of its lag where there is one, or back to an
// earlier picked lag of which it is a multiple where it is hardly deeper,
// parabola-refined and merged by lag. Their probabilities sum to at most 1.
std::vector<PeriodCandidate> threshold_candidates(const std::vector<double>& cmnd,
                                                  const LagSpan& span,
                                                  const std::vector<double>& weights);

// The period near guess (frames of signal) at which the plain squared
// difference over window frames centred on centre is least, searched over
// whole lags within reach of guess and refined by a parabola through the
// least lag and its neighbours. Returns guess when the least lag lies at the
// edge of the search.
double refine_period(const PeriodSignal& signal, double centre, int window, double guess,
                     int reach);

}  // namespace quillet
