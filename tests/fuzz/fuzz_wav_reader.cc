// The WAV reader on arbitrary bytes: every file is either refused with a
// reason or read into a store that holds its sound data and the zero tail.
#include <cstdint>

#include "audio_io/wav.h"
#include "core/constants.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace quillet;
  const std::string path = fuzz::scratch().file("input.wav");
  fuzz::write_bytes(path, data, size);
  WaveInfo info;
  SampleStore samples;
  const SoundRead read = read_wav_checked(path, info, BLOCK_LENGTH, samples);
  if (read.problem != SoundProblem::none) return 0;
  QUILLET_FUZZ_CHECK(info.data_bytes >= 0);
  QUILLET_FUZZ_CHECK(static_cast<std::size_t>(info.data_bytes) <= size);
  const std::size_t tail = static_cast<std::size_t>(BLOCK_LENGTH) * info.block_align;
  QUILLET_FUZZ_CHECK(samples.size() == (static_cast<std::size_t>(info.data_bytes) + 1) / 2 + (tail + 1) / 2);
  for (std::size_t k = (static_cast<std::size_t>(info.data_bytes) + 1) / 2; k < samples.size(); ++k)
    QUILLET_FUZZ_CHECK(samples[k] == 0);
  return 0;
}
