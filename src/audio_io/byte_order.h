// Little- and big-endian decoding of the fixed-width fields in sound file
// headers and sample data, independent of the host's byte order.
#pragma once

#include <cstdint>

namespace quillet {

inline uint16_t le16_at(const unsigned char* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline uint32_t le32_at(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

inline uint16_t be16_at(const unsigned char* bytes) {
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

inline uint32_t be32_at(const unsigned char* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

inline void put_le16(unsigned char* bytes, uint16_t value) {
  bytes[0] = static_cast<unsigned char>(value & 0xFF);
  bytes[1] = static_cast<unsigned char>(value >> 8);
}

inline void put_le32(unsigned char* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

// Whether the four bytes at bytes spell the four-character code id.
inline bool is_chunk_id(const unsigned char* bytes, const char* id) {
  return bytes[0] == static_cast<unsigned char>(id[0]) && bytes[1] == static_cast<unsigned char>(id[1]) &&
         bytes[2] == static_cast<unsigned char>(id[2]) && bytes[3] == static_cast<unsigned char>(id[3]);
}

}  // namespace quillet
