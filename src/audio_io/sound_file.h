// Why a sound file could not be read: the reasons the WAV and AIFF readers
// give when they are asked to report instead of printing, and their plain
// English descriptions for tools that list refused files.
#pragma once

#include <cstdint>

namespace quillet {

enum class SoundProblem {
  none,
  cannot_open,    // the file could not be opened for reading
  not_riff,       // a WAV whose first chunk is not "RIFF"
  not_wave,       // a RIFF file whose form is not "WAVE"
  not_form,       // an AIFF whose first chunk is not "FORM"
  not_aiff,       // a FORM file whose form is not "AIFF"
  not_16_bit,     // an AIFF whose COMM chunk gives another sample size
  no_sound_data,  // no sound data chunk, or one too large to hold
};

// The outcome of a read. found_id holds the four header bytes (read as a
// little-endian number) that made a file not_form or not_aiff.
struct SoundRead {
  SoundProblem problem = SoundProblem::none;
  uint32_t found_id = 0;
};

// A short plain-English reason, such as "not a RIFF file".
const char* sound_problem_text(SoundProblem problem);

}  // namespace quillet
