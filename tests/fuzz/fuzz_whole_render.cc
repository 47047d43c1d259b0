// A whole render of a small fuzzed input WAV with fixed arguments: the run
// either refuses the input or writes a 16-bit mono 44100 Hz output. The side
// file is removed before every run, so each input is analysed afresh.
#include <unistd.h>

#include <cstdint>

#include "analysis/frequency_files.h"
#include "audio_io/wav.h"
#include "core/constants.h"
#include "driver/run.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace quillet;
  const std::string input = fuzz::scratch().file("voice.wav");
  const std::string output = fuzz::scratch().file("note.wav");
  fuzz::write_bytes(input, data, size);
  unlink(side_file_name(input, ".frq").c_str());
  unlink(output.c_str());
  // 150 ms of output whatever the input's length and rate.
  const char* argv[] = {"quillet", input.c_str(), output.c_str(), "A4", "100", "B50", "0", "150", nullptr};
  const int status = run_quillet(8, argv);
  QUILLET_FUZZ_CHECK(status == 0 || status == -1);
  if (status != 0) return 0;
  WaveInfo info;
  SampleStore samples;
  QUILLET_FUZZ_CHECK(read_wav_checked(output, info, 0, samples).problem == SoundProblem::none);
  QUILLET_FUZZ_CHECK(info.channels == 1 && info.bits_per_sample == 16 && info.sample_rate == OUTPUT_RATE);
  return 0;
}
