#include "core/simd.h"

#include <cstdlib>
#include <cstring>

// The C library's header is C, with a _Bool that only GCC takes in C++.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && __has_include(<sys/platform/x86.h>)
#define QUILLET_LIBC_CPU_FEATURES 1
#include <sys/platform/x86.h>
#endif

namespace quillet {

SimdLevel choose_simd_level(const char* override_text, bool processor_has_avx2) {
  const SimdLevel best = processor_has_avx2 ? SimdLevel::avx2 : SimdLevel::sse2;
  if (!override_text) return best;
  SimdLevel asked = best;
  if (std::strcmp(override_text, "plain") == 0) asked = SimdLevel::plain;
  else if (std::strcmp(override_text, "sse2") == 0) asked = SimdLevel::sse2;
  else if (std::strcmp(override_text, "avx2") == 0) asked = SimdLevel::avx2;
  return asked < best ? asked : best;
}

bool processor_has_avx2() {
#if defined(QUILLET_LIBC_CPU_FEATURES)
  return CPU_FEATURE_ACTIVE(AVX2);
#elif defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

SimdLevel simd_level() {
  static const SimdLevel level = choose_simd_level(std::getenv("QUILLET_SIMD"), processor_has_avx2());
  return level;
}

const char* simd_level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::plain: return "plain";
    case SimdLevel::sse2: return "sse2";
    case SimdLevel::avx2: return "avx2";
  }
  return "plain";
}

}  // namespace quillet
