#include "audio_io/wav.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "audio_io/byte_order.h"
#include "audio_io/file_bytes.h"
#include "core/atomic_file.h"

namespace quillet {

namespace {

constexpr uint32_t SIZE_TOP_BIT = 0x80000000u;       // a data size with this bit means "to the end"
constexpr uint64_t MAX_DATA_BYTES = 0x7FFFFFFFu;     // sound data of 2^31 bytes and more is not supported
constexpr uint64_t MAX_TAIL_BYTES = uint64_t{1} << 32;  // beyond this the zero tail counts as unallocatable
constexpr int FMT_BODY_BYTES = 16;
constexpr int HEADER_BYTES = 44;

// The 16-byte fmt body, fields in file order.
void decode_fmt_body(const unsigned char* body, WaveInfo& info) {
  info.format_tag = le16_at(body);
  info.channels = le16_at(body + 2);
  info.sample_rate = le32_at(body + 4);
  info.byte_rate = le32_at(body + 8);
  info.block_align = le16_at(body + 12);
  info.bits_per_sample = le16_at(body + 14);
}

// Chunk sizes count as signed: a size with the top bit set skips nothing.
void skip_bytes(std::FILE* file, uint32_t size) {
  const int32_t count = static_cast<int32_t>(size);
  if (count > 0) std::fseek(file, count, SEEK_CUR);
}

// After a chunk of odd size the pad byte is consumed only when it is 0, so
// files written without pad bytes still read correctly.
void skip_pad_byte(std::FILE* file, uint32_t size) {
  if ((size & 1u) == 0) return;
  const int next = std::fgetc(file);
  if (next != 0 && next != EOF) std::ungetc(next, file);
}

void read_fmt_chunk(std::FILE* file, uint32_t size, WaveInfo& info) {
  unsigned char body[FMT_BODY_BYTES];
  if (read_exact(file, body, sizeof body)) decode_fmt_body(body, info);
  if (static_cast<int32_t>(size) > FMT_BODY_BYTES) skip_bytes(file, size - FMT_BODY_BYTES);
}

// Bytes of sound data kept: the declared size when the file holds it all,
// otherwise what was read, cut to whole frames.
int32_t kept_data_bytes(uint32_t declared, std::size_t got, uint16_t block_align) {
  if ((declared & SIZE_TOP_BIT) == 0 && got == declared) return static_cast<int32_t>(declared);
  const std::size_t whole = block_align == 0 ? got : got - got % block_align;
  return static_cast<int32_t>(whole);
}

// Little-endian 16-bit elements of data, then the zero tail (both rounded up
// to whole elements; an odd final data byte is the low byte of its element).
SampleStore store_from_bytes(const std::vector<unsigned char>& data, std::size_t data_bytes,
                             std::size_t tail_bytes) {
  SampleStore store((data_bytes + 1) / 2 + (tail_bytes + 1) / 2, 0);
  for (std::size_t k = 0; k < data_bytes / 2; ++k)
    store[k] = static_cast<int16_t>(le16_at(data.data() + 2 * k));
  if (data_bytes % 2 == 1) store[data_bytes / 2] = static_cast<int16_t>(data[data_bytes - 1]);
  return store;
}

// The store read straight from a file of known length: the data bytes land
// in the store's own memory and are turned into elements where they lie,
// each element from the two bytes it then covers, as store_from_bytes does.
SampleStore store_read_in_place(std::FILE* file, uint32_t declared, uint64_t wanted, uint16_t block_align,
                                std::size_t tail_bytes, int32_t& data_bytes) {
  SampleStore store((wanted + 1) / 2 + (tail_bytes + 1) / 2, 0);
  unsigned char* bytes = reinterpret_cast<unsigned char*>(store.data());
  const std::size_t got = std::fread(bytes, 1, static_cast<std::size_t>(wanted), file);
  data_bytes = kept_data_bytes(declared, got, block_align);
  const std::size_t kept = static_cast<std::size_t>(data_bytes);
  for (std::size_t k = 0; k < kept / 2; ++k) store[k] = static_cast<int16_t>(le16_at(bytes + 2 * k));
  if (kept % 2 == 1) store[kept / 2] = static_cast<int16_t>(bytes[kept - 1]);
  std::fill(store.begin() + static_cast<std::ptrdiff_t>((kept + 1) / 2), store.end(), int16_t{0});
  store.resize((kept + 1) / 2 + (tail_bytes + 1) / 2);
  return store;
}

bool read_data_chunk(std::FILE* file, uint32_t declared, WaveInfo& info, int pad_frames,
                     SampleStore& samples) {
  const uint64_t tail_bytes = static_cast<uint64_t>(std::max(pad_frames, 0)) * info.block_align;
  if (tail_bytes > MAX_TAIL_BYTES) return false;
  const uint64_t wanted = (declared & SIZE_TOP_BIT) != 0 ? MAX_DATA_BYTES : declared;
  int32_t data_bytes = 0;
  if (const std::optional<uint64_t> left = bytes_left(file)) {
    samples = store_read_in_place(file, declared, std::min(wanted, *left), info.block_align,
                                  static_cast<std::size_t>(tail_bytes), data_bytes);
  } else {
    const std::vector<unsigned char> data = read_up_to(file, wanted);
    data_bytes = kept_data_bytes(declared, data.size(), info.block_align);
    samples = store_from_bytes(data, static_cast<std::size_t>(data_bytes), static_cast<std::size_t>(tail_bytes));
  }
  info.data_bytes = data_bytes;
  return true;
}

// Walks the chunks after the RIFF header up to the data chunk.
bool read_chunks(std::FILE* file, WaveInfo& info, int pad_frames, SampleStore& samples) {
  for (;;) {
    unsigned char header[8] = {};
    if (std::fread(header, 1, 4, file) == 0) return false;
    const bool size_read = read_exact(file, header + 4, 4);
    // The data chunk ends the walk even when the file stops inside its size
    // field: it then holds no sound.
    if (is_chunk_id(header, "data"))
      return read_data_chunk(file, size_read ? le32_at(header + 4) : 0, info, pad_frames, samples);
    if (!size_read) return false;
    const uint32_t size = le32_at(header + 4);
    if (is_chunk_id(header, "fmt "))
      read_fmt_chunk(file, size, info);
    else
      skip_bytes(file, size);
    skip_pad_byte(file, size);
  }
}

SoundProblem read_riff_wave(std::FILE* file, WaveInfo& info, int pad_frames, SampleStore& samples) {
  unsigned char header[12] = {};  // a short file leaves zeros where nothing was read
  read_exact(file, header, sizeof header);
  if (!is_chunk_id(header, "RIFF")) return SoundProblem::not_riff;
  if (!is_chunk_id(header + 8, "WAVE")) return SoundProblem::not_wave;
  info.sample_rate = 0;
  return read_chunks(file, info, pad_frames, samples) ? SoundProblem::none : SoundProblem::no_sound_data;
}

// The 44-byte header followed by the samples as little-endian bytes.
std::vector<unsigned char> wav_file_bytes(const int16_t* samples, int32_t data_bytes, int bits_per_sample,
                                          int channels, uint32_t sample_rate) {
  const int block_align = channels * bits_per_sample / 8;
  const uint32_t byte_rate = static_cast<uint32_t>(block_align) * sample_rate;
  std::vector<unsigned char> bytes(HEADER_BYTES + static_cast<std::size_t>(data_bytes));
  unsigned char* h = bytes.data();
  put_le32(h, 0x46464952u);  // "RIFF"
  put_le32(h + 4, static_cast<uint32_t>(data_bytes) + 36u);
  put_le32(h + 8, 0x45564157u);   // "WAVE"
  put_le32(h + 12, 0x20746D66u);  // "fmt "
  put_le32(h + 16, 16);
  put_le16(h + 20, 1);
  put_le16(h + 22, static_cast<uint16_t>(channels));
  put_le32(h + 24, sample_rate);
  put_le32(h + 28, byte_rate);
  put_le16(h + 32, static_cast<uint16_t>(block_align));
  put_le16(h + 34, static_cast<uint16_t>(bits_per_sample));
  put_le32(h + 36, 0x61746164u);  // "data"
  put_le32(h + 40, static_cast<uint32_t>(data_bytes));
  // Each sample low byte first: the samples' own bytes where the processor
  // keeps them in that order.
  if constexpr (std::endian::native == std::endian::little) {
    if (data_bytes > 0) std::memcpy(h + HEADER_BYTES, samples, static_cast<std::size_t>(data_bytes));
  } else {
    for (int32_t j = 0; j < data_bytes; ++j) {
      const uint16_t sample = static_cast<uint16_t>(samples[j / 2]);
      h[HEADER_BYTES + j] = static_cast<unsigned char>(j % 2 == 0 ? sample & 0xFF : sample >> 8);
    }
  }
  return bytes;
}

}  // namespace

SoundRead read_wav_checked(const std::string& path, WaveInfo& info, int pad_frames, SampleStore& samples) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {SoundProblem::cannot_open};
  const SoundProblem problem = read_riff_wave(file, info, pad_frames, samples);
  std::fclose(file);
  return {problem};
}

bool read_wav(const std::string& path, WaveInfo& info, int pad_frames, SampleStore& samples) {
  const SoundRead read = read_wav_checked(path, info, pad_frames, samples);
  if (read.problem == SoundProblem::not_riff) std::printf("file format error.\n\n");
  if (read.problem == SoundProblem::not_wave) std::printf("file format error(2).\n\n");
  return read.problem == SoundProblem::none;
}

int write_wav(const std::string& path, const int16_t* samples, int32_t data_bytes, int bits_per_sample,
              int channels, uint32_t sample_rate) {
  if (data_bytes < 0 || (data_bytes > 0 && samples == nullptr)) return -1;
  const std::vector<unsigned char> bytes = wav_file_bytes(samples, data_bytes, bits_per_sample, channels, sample_rate);
  return replace_file_contents(path, bytes.data(), bytes.size()) ? 0 : -1;
}

}  // namespace quillet
