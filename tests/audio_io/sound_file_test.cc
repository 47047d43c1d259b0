#include <gtest/gtest.h>

#include "audio_io/aiff.h"
#include "audio_io/wav.h"
#include "support/console.h"
#include "support/process.h"
#include "support/wav_builder.h"

namespace quillet {
namespace {

using namespace test;

struct CheckedCase {
  std::string name, bytes;
  SoundProblem problem;
  uint32_t found_id = 0;
};

// The checked readers give each refusal as a reason, print nothing and return
// (the AIFF reader's own entry ends the process on the same files).
TEST(CheckedRead, RefusalsComeBackAsReasonsWithoutConsoleText) {
  const std::string mono_comm = aiff_chunk("COMM", comm_body(1, 2, 16, 44100));
  const CheckedCase cases[] = {
      {"good.wav", wav16({1, 2}, 1, 44100), SoundProblem::none},
      {"good.aiff", aiff16({1, 2}, 1, 44100), SoundProblem::none},
      {"empty.wav", "", SoundProblem::not_riff},
      {"avi.wav", riff_file(riff_chunk("fmt ", fmt_body(1, 44100, 16)), "AVI "), SoundProblem::not_wave},
      {"nodata.wav", riff_file(riff_chunk("fmt ", fmt_body(1, 44100, 16))), SoundProblem::no_sound_data},
      {"wav.aiff", wav16({1, 2}, 1, 44100), SoundProblem::not_form, 0x46464952u},
      {"aifc.aiff", form_file(mono_comm, "AIFC"), SoundProblem::not_aiff, 0x43464941u},
      {"8bit.aiff", form_file(aiff_chunk("COMM", comm_body(1, 2, 8, 44100))), SoundProblem::not_16_bit},
      {"nossnd.aiff", form_file(mono_comm), SoundProblem::no_sound_data},
  };
  ScratchDir dir;
  for (const CheckedCase& c : cases) {
    const std::string path = dir.file(c.name);
    write_file_bytes(path, c.bytes);
    WaveInfo info;
    SampleStore samples;
    SoundRead read;
    const bool aiff = c.name.ends_with(".aiff");
    const std::string console = console_of([&] {
      read = aiff ? read_aiff_checked(path, info, 4, samples) : read_wav_checked(path, info, 4, samples);
    });
    EXPECT_EQ(read.problem, c.problem) << c.name;
    EXPECT_EQ(read.found_id, c.found_id) << c.name;
    EXPECT_EQ(console, "") << c.name;
    if (c.problem == SoundProblem::none) {
      EXPECT_EQ(samples, (SampleStore{1, 2, 0, 0, 0, 0})) << c.name;
    }
  }
  WaveInfo info;
  SampleStore samples;
  EXPECT_EQ(read_wav_checked(dir.file("absent.wav"), info, 4, samples).problem, SoundProblem::cannot_open);
  EXPECT_EQ(read_aiff_checked(dir.file("absent.aiff"), info, 4, samples).problem, SoundProblem::cannot_open);
  EXPECT_STREQ(sound_problem_text(SoundProblem::not_riff), "not a RIFF file");
}

}  // namespace
}  // namespace quillet
