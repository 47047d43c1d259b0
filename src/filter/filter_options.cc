#include "filter/filter_options.h"

#include <cmath>

#include "core/flags.h"

namespace quillet {

FilterOptions read_filter_options(const std::string& flags) {
  FilterOptions options;
  double multiple = 0.0;
  if (read_flag_double(flags, 'x', multiple)) {
    if (multiple < 1.0) multiple = 1.0;
    if (multiple > 100.0) multiple = 100.0;
    options.harmonic_multiple = multiple;
  }
  double cutoff = 0.0;
  if (read_flag_double(flags, 'u', cutoff)) {
    if (cutoff < 0.0) cutoff = 0.0;
    if (cutoff > 1024.0) cutoff = 1024.0;
    options.cutoff_bin = cutoff;
  }
  double decibels = -24.0;
  if (read_flag_double(flags, 'v', decibels)) options.band_gain = std::pow(10.0, decibels / 20.0);
  return options;
}

bool band_split_active(const FilterOptions& options) {
  return options.harmonic_multiple > 0.0 || options.cutoff_bin > 0.0;
}

}  // namespace quillet
