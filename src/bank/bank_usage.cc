#include "bank/bank_usage.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace quillet {

const char* bank_usage_text() {
  return "usage: quillet-bank COMMAND [OPTIONS] PATH...\n"
         "Looks after the pitch side files (.frq) of a voice bank.\n"
         "\n"
         "  quillet-bank analyse [--method written|accurate] [--force] [--jobs N] PATH...\n"
         "      write each sample's side file; a PATH is a sound file or a folder,\n"
         "      walked for .wav and .aiff files. written (the default) is the\n"
         "      renderer's own analysis, accurate a probabilistic pitch tracker.\n"
         "      Samples whose side file is newer than the sound are skipped unless\n"
         "      --force. --jobs: samples at once (default: the machine's cores).\n"
         "  quillet-bank check [--fix] PATH...\n"
         "      list samples whose side file is missing, stale, unreadable, of the\n"
         "      wrong length or likely wrong in pitch; --fix re-analyses them with the\n"
         "      accurate method.\n"
         "  quillet-bank plot SAMPLE [-o FILE] [--compare]\n"
         "      draw the sample's spectrogram with its side file's pitch curve (PNG,\n"
         "      or SVG when FILE ends in .svg; default beside the sample);\n"
         "      --compare adds the other method's curve.\n"
         "  quillet-bank --help\n"
         "\n"
         "Exit status: 0 done, 1 some samples refused or problems found, 2 bad usage.\n";
}

int usage_error(const std::string& reason) {
  std::fprintf(stderr, "quillet-bank: %s (see quillet-bank --help)\n", reason.c_str());
  return EXIT_BAD_USAGE;
}

bool read_count(const std::string& text, int low, int high, int* value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long number = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || number < low || number > high) return false;
  *value = static_cast<int>(number);
  return true;
}

}  // namespace quillet
