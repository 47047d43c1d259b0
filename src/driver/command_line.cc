#include "driver/command_line.h"

#include <cmath>
#include <cstdio>

#include "core/flags.h"

namespace quillet {

void print_usage() {
  std::printf("Quillet Ver7.63deb\n");
  std::printf("Copyright (C) the Quillet developers\n");
  std::printf("Usage is ...\n");
  std::printf("quillet7.exe <input wavfile> <output file> <pitch_percent> <time_percent>");
  std::printf(
      " [<flags> [<offset> <length_require> [<fixed length> [<end_blank> [<volume> "
      "[<modulation> [<pich bend>...]]]]]]]\n");
  std::printf("flags:\n");
  std::printf("    N : No formant filter\n");
  std::printf("    G : (Re)Genetate frequency list\n");
  std::printf("    T : Export text frequency list\n");
  std::printf("    B : Bressiness parameter. B0..B100, default B50\n");
  std::printf("ex :\nquillet.exe infile.wav outfile.wav 120 100 GB60\n");
}

const char* word_at(int argc, const char* const* argv, int index, int threshold) {
  if (argc < threshold || index >= argc) return nullptr;
  return argv[index];
}

std::string flags_word(int argc, const char* const* argv) {
  const char* word = word_at(argc, argv, ARG_FLAGS, ARG_FLAGS + 1);
  return word == nullptr ? std::string("L") : std::string(word);
}

bool is_aiff_path(const std::string& path) {
  const std::string extension = ".aiff";
  return path.size() >= extension.size() &&
         path.compare(path.size() - extension.size(), extension.size(), extension) == 0;
}

void read_loop_flags(RenderParams& params) {
  params.saw_test = has_flag(params.flags, 'W');
  params.aperiodic_floor = 1.0;
  double floor_percent = 1.0;
  if (!read_flag_double(params.flags, 'Y', floor_percent)) return;
  // A NaN after Y counts as no number: the bare-letter value applies.
  if (std::isnan(floor_percent)) floor_percent = 1.0;
  double floor = floor_percent * 0.01;
  if (floor < 0.0) floor = 0.0;
  if (floor > 1.0) floor = 1.0;
  params.aperiodic_floor = floor;
}

}  // namespace quillet
