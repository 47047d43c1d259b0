// join_notes: places rendered notes one after another in a single WAV.
//
// Every input must be mono, 16-bit, 44100 Hz. Neighbouring notes either
// overlap by a linear crossfade (--crossfade MS) or are separated by silence
// (--gap MS); with neither they are butted together. A crossfade never takes
// more than half of either note it joins.
//
// Usage: join_notes [--crossfade MS | --gap MS] <output.wav> <note.wav>...
// (installed as quillet-join; messages carry the name it was called by)

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio_io/wav.h"
#include "core/constants.h"

namespace quillet {
namespace {

// The name this program was called by, for its messages.
std::string program_name = "join_notes";

struct JoinRequest {
  int crossfade_samples = 0;
  int gap_samples = 0;
  std::string output;
  std::vector<std::string> inputs;
  bool valid = false;
};

void print_usage() {
  std::fprintf(stderr, "usage: %s [--crossfade MS | --gap MS] <output.wav> <note.wav>...\n",
               program_name.c_str());
}

// Reads a non-negative millisecond count as a sample count at 44100 Hz.
bool parse_ms(const char* text, int& samples) {
  char* end = nullptr;
  const double ms = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(ms >= 0.0) || ms > 60000.0) return false;
  samples = static_cast<int>(ms * 0.001 * OUTPUT_RATE + 0.5);
  return true;
}

JoinRequest parse_request(int argc, char** argv) {
  JoinRequest request;
  int i = 1;
  for (; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    int* target = option == "--crossfade" ? &request.crossfade_samples
                  : option == "--gap"     ? &request.gap_samples
                                          : nullptr;
    if (target == nullptr) break;
    if (!parse_ms(argv[i + 1], *target)) return request;
  }
  if (argc - i < 2) return request;
  if (request.crossfade_samples > 0 && request.gap_samples > 0) return request;
  request.output = argv[i];
  request.inputs.assign(argv + i + 1, argv + argc);
  request.valid = true;
  return request;
}

// Loads one note; false (with a message) unless it is mono 16-bit 44100 Hz.
bool load_note(const std::string& path, std::vector<double>& note) {
  WaveInfo info;
  SampleStore samples;
  if (!read_wav(path, info, 0, samples)) {
    std::fprintf(stderr, "%s: cannot read %s\n", program_name.c_str(), path.c_str());
    return false;
  }
  if (info.channels != 1 || info.bits_per_sample != 16 || info.sample_rate != static_cast<uint32_t>(OUTPUT_RATE)) {
    std::fprintf(stderr, "%s: %s is not mono 16-bit 44100 Hz\n", program_name.c_str(),
                 path.c_str());
    return false;
  }
  const size_t count = static_cast<size_t>(info.data_bytes / 2);
  note.assign(samples.begin(), samples.begin() + std::min(count, samples.size()));
  return true;
}

// Appends note to phrase, overlapping the end of phrase, whose last note was
// previous_length samples long, with the start of note by a linear crossfade
// of at most `overlap` samples, or after `gap` samples of silence.
void append_note(std::vector<double>& phrase, size_t previous_length, const std::vector<double>& note,
                 int overlap, int gap) {
  const size_t n = std::min({static_cast<size_t>(overlap), previous_length / 2, note.size() / 2});
  const size_t start = phrase.size() - n;
  for (size_t k = 0; k < n; ++k) {
    const double w = (static_cast<double>(k) + 0.5) / static_cast<double>(n);
    phrase[start + k] = phrase[start + k] * (1.0 - w) + note[k] * w;
  }
  if (!phrase.empty()) phrase.insert(phrase.end(), static_cast<size_t>(gap), 0.0);
  phrase.insert(phrase.end(), note.begin() + static_cast<std::ptrdiff_t>(n), note.end());
}

std::vector<int16_t> to_pcm16(const std::vector<double>& signal) {
  std::vector<int16_t> pcm(signal.size());
  for (size_t i = 0; i < signal.size(); ++i) {
    const double v = std::fmax(-32768.0, std::fmin(32767.0, std::round(signal[i])));
    pcm[i] = static_cast<int16_t>(v);
  }
  return pcm;
}

int join_notes(const JoinRequest& request) {
  std::vector<double> phrase, note;
  size_t previous_length = 0;
  for (const std::string& path : request.inputs) {
    if (!load_note(path, note)) return 1;
    append_note(phrase, previous_length, note, request.crossfade_samples, request.gap_samples);
    previous_length = note.size();
  }
  const std::vector<int16_t> pcm = to_pcm16(phrase);
  const int32_t bytes = static_cast<int32_t>(pcm.size() * sizeof(int16_t));
  if (write_wav(request.output, pcm.data(), bytes, 16, 1, OUTPUT_RATE) != 0) {
    std::fprintf(stderr, "%s: cannot write %s\n", program_name.c_str(), request.output.c_str());
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace quillet

int main(int argc, char** argv) {
  if (argc > 0 && argv[0][0] != '\0') {
    const std::string called = argv[0];
    quillet::program_name = called.substr(called.find_last_of('/') + 1);
  }
  const quillet::JoinRequest request = quillet::parse_request(argc, argv);
  if (!request.valid) {
    quillet::print_usage();
    return 2;
  }
  return quillet::join_notes(request);
}
