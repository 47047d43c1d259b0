#include "audio_io/file_bytes.h"

#include <sys/stat.h>

#include <algorithm>

namespace quillet {

namespace {
constexpr uint64_t READ_PIECE = 1 << 20;  // bytes added to the buffer per read
}

std::vector<unsigned char> read_up_to(std::FILE* file, uint64_t count) {
  std::vector<unsigned char> bytes;
  while (bytes.size() < count) {
    const std::size_t before = bytes.size();
    const std::size_t piece = static_cast<std::size_t>(std::min<uint64_t>(READ_PIECE, count - before));
    bytes.resize(before + piece);
    const std::size_t got = std::fread(bytes.data() + before, 1, piece, file);
    bytes.resize(before + got);
    if (got < piece) break;
  }
  return bytes;
}

bool read_exact(std::FILE* file, unsigned char* bytes, std::size_t size) {
  return std::fread(bytes, 1, size, file) == size;
}

std::optional<uint64_t> bytes_left(std::FILE* file) {
  struct stat status;
  if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  const long position = std::ftell(file);
  if (position < 0 || status.st_size < position) return std::nullopt;
  return static_cast<uint64_t>(status.st_size - position);
}

}  // namespace quillet
