// A small seeded generator (splitmix64) whose output is fixed by its seed on
// every platform; the demo voice and the test signals draw from it.
#pragma once

#include <cstdint>

namespace quillet {

struct SeededRandom {
  uint64_t state;
};

inline uint64_t next_bits(SeededRandom& random) {
  random.state += 0x9E3779B97F4A7C15ULL;
  uint64_t z = random.state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// Uniform in [-1, 1).
inline double next_uniform(SeededRandom& random) {
  return static_cast<double>(next_bits(random) >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

}  // namespace quillet
