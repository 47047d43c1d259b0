#include "audio_io/aiff.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "audio_io/byte_order.h"
#include "audio_io/file_bytes.h"

namespace quillet {

namespace {

// "ファイルが開けません\n"
constexpr const char* CANNOT_OPEN =
    "\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xaa\x8a\x4a\x82\xaf\x82\xdc\x82\xb9\x82\xf1\n";
// "最初のchunkはFROMでなければなりません %x \n"
constexpr const char* NOT_FORM =
    "\x8d\xc5\x8f\x89\x82\xcc" "chunk" "\x82\xcd" "FROM"
    "\x82\xc5\x82\xc8\x82\xaf\x82\xea\x82\xce\x82\xc8\x82\xe8\x82\xdc\x82\xb9\x82\xf1 %x \n";
// "AIFFファイルではありません %x \n"
constexpr const char* NOT_AIFF =
    "AIFF\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1 %x \n";
// "16ビットフォーマットではありません\n"
constexpr const char* NOT_16_BIT =
    "16\x83\x72\x83\x62\x83\x67\x83\x74\x83\x48\x81\x5b\x83\x7d\x83\x62\x83\x67"
    "\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\n";

constexpr int COMM_BODY_BYTES = 18;
constexpr int RATE_SHIFT_BASE = 16414;  // exponent bias 16383 + 31: a shift of 0 leaves the upper mantissa as is
constexpr uint64_t SOUND_HEADER_BYTES = 8;        // offset and block size before the sound data
constexpr uint64_t MAX_DATA_BYTES = 0x7FFFFFFFu;  // sound data of 2^31 bytes and more is not supported
constexpr uint64_t MAX_TAIL_VALUES = uint64_t{1} << 31;  // beyond this the zero tail counts as unallocatable

// One chunk held in memory: id, declared size and the part of the body the
// file really holds.
struct AiffChunk {
  unsigned char id[4] = {};
  uint32_t size = 0;
  std::vector<unsigned char> body;
};

// Format from the COMM chunk, with the values used when there is none.
struct AiffFormat {
  uint16_t channels = 1;
  uint32_t frames = 0;
  int16_t bits = 16;
  uint32_t sample_rate = 44100;
};

// Checks "FORM" and the "AIFF" form type.
SoundRead check_form_header(std::FILE* file) {
  unsigned char header[12] = {};  // a short file leaves zeros where nothing was read
  read_exact(file, header, sizeof header);
  if (!is_chunk_id(header, "FORM")) return {SoundProblem::not_form, le32_at(header)};
  if (!is_chunk_id(header + 8, "AIFF")) return {SoundProblem::not_aiff, le32_at(header + 8)};
  return {};
}

// A chunk of odd size is followed by one pad byte. It is skipped when it is
// 0, so files whose writer left the pad out still read.
void skip_pad_byte(std::FILE* file, const AiffChunk& chunk) {
  if (chunk.size % 2 == 0 || chunk.body.size() != chunk.size) return;
  const int next = std::fgetc(file);
  if (next != 0 && next != EOF) std::ungetc(next, file);
}

// Reads the next chunk whole; false when fewer than 4 bytes of id are left.
// A size field the file cuts short leaves a chunk with an empty body.
bool read_chunk(std::FILE* file, AiffChunk& chunk) {
  unsigned char size_field[4];
  if (!read_exact(file, chunk.id, sizeof chunk.id)) return false;
  chunk.size = read_exact(file, size_field, sizeof size_field) ? be32_at(size_field) : 0;
  chunk.body = read_up_to(file, chunk.size);
  skip_pad_byte(file, chunk);
  return true;
}

AiffFormat decode_comm(const std::vector<unsigned char>& body) {
  unsigned char fields[COMM_BODY_BYTES] = {};  // a short body reads as zeros
  std::copy_n(body.begin(), std::min<std::size_t>(body.size(), COMM_BODY_BYTES), fields);
  AiffFormat format;
  format.channels = be16_at(fields);
  format.frames = be32_at(fields + 2);
  format.bits = static_cast<int16_t>(be16_at(fields + 6));
  format.sample_rate = aiff_rate_from_extended(fields + 8);
  return format;
}

// Walks the chunks up to SSND, taking the format from any COMM before it.
// Leaves the SSND chunk in sound. A COMM of another sample size ends the walk.
SoundProblem find_sound_chunk(std::FILE* file, AiffFormat& format, AiffChunk& sound) {
  while (read_chunk(file, sound)) {
    if (is_chunk_id(sound.id, "SSND")) return SoundProblem::none;
    if (!is_chunk_id(sound.id, "COMM")) continue;
    format = decode_comm(sound.body);
    if (format.bits != 16) return SoundProblem::not_16_bit;
  }
  return SoundProblem::no_sound_data;
}

// Prints the console text of a read that ends the process.
void print_fatal_problem(const SoundRead& read) {
  switch (read.problem) {
    case SoundProblem::cannot_open: std::printf("%s", CANNOT_OPEN); break;
    case SoundProblem::not_form: std::printf(NOT_FORM, static_cast<unsigned>(read.found_id)); break;
    case SoundProblem::not_aiff: std::printf(NOT_AIFF, static_cast<unsigned>(read.found_id)); break;
    case SoundProblem::not_16_bit: std::printf("%s", NOT_16_BIT); break;
    default: break;
  }
}

// Whole frames of sound the SSND body holds after its offset field, no more
// than COMM promises and no more than 2^31 - 1 bytes.
uint64_t frames_held(const std::vector<unsigned char>& body, uint64_t start, uint64_t block_align,
                     uint32_t promised) {
  if (block_align == 0) return 0;
  const uint64_t held = body.size() > start ? body.size() - start : 0;
  return std::min<uint64_t>({promised, held / block_align, MAX_DATA_BYTES / block_align});
}

void fill_info(const AiffFormat& format, uint64_t block_align, uint64_t frames, WaveInfo& info) {
  info.format_tag = 1;
  info.channels = format.channels;
  info.sample_rate = format.sample_rate;
  info.block_align = static_cast<uint16_t>(block_align);
  info.byte_rate = format.sample_rate * info.block_align;
  info.bits_per_sample = static_cast<uint16_t>(format.bits);
  info.data_bytes = static_cast<int32_t>(frames * block_align);
}

// Converts the big-endian frames of the SSND body (after its offset field)
// into the store, followed by pad_frames zero frames, and fills info. False
// when the zero tail is too large to allocate.
bool convert_sound(const AiffChunk& sound, const AiffFormat& format, int pad_frames, WaveInfo& info,
                   SampleStore& samples) {
  const std::vector<unsigned char>& body = sound.body;
  const uint64_t block_align = static_cast<uint64_t>(format.channels) * static_cast<uint64_t>(format.bits) / 8;
  const uint64_t offset = body.size() >= 4 ? be32_at(body.data()) : 0;
  const uint64_t start = SOUND_HEADER_BYTES + offset;
  const uint64_t frames = frames_held(body, start, block_align, format.frames);
  fill_info(format, block_align, frames, info);
  // A frame wider than the record's 16-bit block_align (32768 channels and
  // more) is refused by the format check: no store, and no zero tail of up
  // to 400 MB, for it.
  if (block_align > UINT16_MAX) return true;
  const uint64_t values = frames * format.channels;
  const uint64_t tail_values = static_cast<uint64_t>(std::max(pad_frames, 0)) * format.channels;
  if (tail_values > MAX_TAIL_VALUES) return false;
  samples.assign(static_cast<std::size_t>(values + tail_values), 0);
  for (uint64_t k = 0; k < values; ++k)
    samples[k] = static_cast<int16_t>(be16_at(body.data() + start + 2 * k));
  return true;
}

}  // namespace

uint32_t aiff_rate_from_extended(const unsigned char* extended) {
  const int exponent = be16_at(extended) & 0x7FFF;
  const uint32_t mantissa_high = be32_at(extended + 2);
  return mantissa_high >> ((RATE_SHIFT_BASE - exponent) & 31);
}

SoundRead read_aiff_checked(const std::string& path, WaveInfo& info, int pad_frames, SampleStore& samples) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {SoundProblem::cannot_open};
  SoundRead read = check_form_header(file);
  AiffFormat format;
  AiffChunk sound;
  if (read.problem == SoundProblem::none) read.problem = find_sound_chunk(file, format, sound);
  std::fclose(file);
  if (read.problem == SoundProblem::none && !convert_sound(sound, format, pad_frames, info, samples))
    read.problem = SoundProblem::no_sound_data;
  return read;
}

bool read_aiff(const std::string& path, WaveInfo& info, int pad_frames, SampleStore& samples) {
  const SoundRead read = read_aiff_checked(path, info, pad_frames, samples);
  if (read.problem == SoundProblem::none) return true;
  if (read.problem == SoundProblem::no_sound_data) return false;
  print_fatal_problem(read);
  std::exit(-1);
}

}  // namespace quillet
