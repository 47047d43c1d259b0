// Conversions from double to int that never overflow: truncation toward zero
// (and rounding as "add 0.5, then truncate") that saturates at the int range
// and turns NaN into 0.
#pragma once

#include <climits>

namespace quillet {

// trunc(value) as an int; values beyond the int range give INT_MAX / INT_MIN,
// NaN gives 0.
inline int saturating_trunc(double value) {
  if (!(value == value)) return 0;
  if (value >= 2147483647.0) return INT_MAX;
  if (value <= -2147483648.0) return INT_MIN;
  return static_cast<int>(value);
}

// trunc(value + 0.5), saturating like saturating_trunc.
inline int saturating_round(double value) { return saturating_trunc(value + 0.5); }

}  // namespace quillet
