// The AIFF reader on arbitrary bytes: every file is either refused with a
// reason (never ending the process) or read into a store that holds its sound
// data and the zero tail.
#include <cstdint>

#include "audio_io/aiff.h"
#include "core/constants.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace quillet;
  const std::string path = fuzz::scratch().file("input.aiff");
  fuzz::write_bytes(path, data, size);
  WaveInfo info;
  SampleStore samples;
  const SoundRead read = read_aiff_checked(path, info, BLOCK_LENGTH, samples);
  if (read.problem != SoundProblem::none) return 0;
  QUILLET_FUZZ_CHECK(info.data_bytes >= 0);
  QUILLET_FUZZ_CHECK(static_cast<std::size_t>(info.data_bytes) <= size);
  QUILLET_FUZZ_CHECK(samples.size() * 2 >= static_cast<std::size_t>(info.data_bytes));
  return 0;
}
