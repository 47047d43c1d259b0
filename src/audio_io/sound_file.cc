#include "audio_io/sound_file.h"

namespace quillet {

const char* sound_problem_text(SoundProblem problem) {
  switch (problem) {
    case SoundProblem::none: return "no problem";
    case SoundProblem::cannot_open: return "cannot be opened";
    case SoundProblem::not_riff: return "not a RIFF file";
    case SoundProblem::not_wave: return "a RIFF file, but not WAVE";
    case SoundProblem::not_form: return "not an AIFF file (no FORM chunk)";
    case SoundProblem::not_aiff: return "a FORM file, but not AIFF";
    case SoundProblem::not_16_bit: return "not 16-bit samples";
    case SoundProblem::no_sound_data: return "no sound data";
  }
  return "unknown problem";
}

}  // namespace quillet
