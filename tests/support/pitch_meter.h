// A pitch meter for tests: the fundamental frequency of a stretch of a
// rendered signal, from its normalised autocorrelation, refined over many
// periods so that it resolves fractions of a cent.
#pragma once

#include <vector>

namespace quillet::test {

// Fundamental in Hz of signal[begin .. begin + count) at sample_rate,
// searched between min_hz and max_hz. Returns 0.0 when the stretch is too
// short for two periods of min_hz or shows no periodicity.
double measure_pitch_hz(const std::vector<double>& signal, int begin, int count, double sample_rate,
                        double min_hz, double max_hz);

// Distance of f from reference in cents (positive when f is higher).
double cents_between(double f, double reference);

}  // namespace quillet::test
