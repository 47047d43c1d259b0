// The post filter's band-split options read from the flags word: the
// harmonic multiple ("x"), the cutoff bin ("u") and the band gain ("v").
#pragma once

#include <string>

namespace quillet {

struct FilterOptions {
  double harmonic_multiple = 0.0;  // 0: off; otherwise 1 ... 100
  double cutoff_bin = 0.0;         // 0: off; otherwise up to 1024, fractions kept
  double band_gain = 1.0;          // linear gain above the cutoff
};

FilterOptions read_filter_options(const std::string& flags);

// Whether the aperiodic signal is filtered at all: a harmonic multiple is set
// or the cutoff read from the flags is above 0.
bool band_split_active(const FilterOptions& options);

}  // namespace quillet
