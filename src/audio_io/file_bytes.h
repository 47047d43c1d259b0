// Bounded reading from an open file: at most a requested number of bytes,
// never more than the file still holds, whatever a header claims.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace quillet {

// Reads up to count bytes from file; the result is shorter when the file ends
// first. Memory grows with what is actually read, not with count.
std::vector<unsigned char> read_up_to(std::FILE* file, uint64_t count);

// Bytes between the file's position and its end when it is a regular file;
// std::nullopt when that cannot be told (a pipe, a device).
std::optional<uint64_t> bytes_left(std::FILE* file);

// Reads exactly size bytes into bytes; false (bytes partly filled) when the
// file ends first.
bool read_exact(std::FILE* file, unsigned char* bytes, std::size_t size);

}  // namespace quillet
