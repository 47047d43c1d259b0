// The vector instruction set the run-time chosen paths may use: AVX2 when the
// processor has it, SSE2 (always there on x86-64) otherwise, or the plain
// scalar code. The environment variable QUILLET_SIMD (plain, sse2 or avx2)
// narrows the choice, so that tests can run every path on one machine; it
// never raises the choice above what the processor has. Every vector path
// gives exactly the bytes of the plain one.
#pragma once

namespace quillet {

enum class SimdLevel { plain = 0, sse2 = 1, avx2 = 2 };

// Whether the processor has AVX2 and the system keeps its registers. Read
// from what the C library found at start where the compiler can read its
// header (the compiler runtime's own checks of the processor cost a dozen
// trips to the hypervisor in a virtual machine), else from those checks.
bool processor_has_avx2();

// The level for this process, decided on the first call and kept.
SimdLevel simd_level();

// The level the override text (null when unset) and the processor allow:
// the lower of the named level and the processor's; an unknown name is ignored.
SimdLevel choose_simd_level(const char* override_text, bool processor_has_avx2);

// "plain", "sse2" or "avx2".
const char* simd_level_name(SimdLevel level);

}  // namespace quillet
