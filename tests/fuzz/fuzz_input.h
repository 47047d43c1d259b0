// Shared by the harnesses: the fuzzed bytes as a file in a private scratch
// folder (the readers take paths), removed with the folder when the harness
// ends normally, and a check that stops the harness loudly when a reader
// breaks its own promises.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace quillet::fuzz {

struct ScratchFolder {
  ScratchFolder() {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/quillet-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
  }
  ~ScratchFolder() {
    if (DIR* folder = opendir(path.c_str())) {
      while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") unlink(file(name).c_str());
      }
      closedir(folder);
    }
    rmdir(path.c_str());
  }
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

inline const ScratchFolder& scratch() {
  static const ScratchFolder folder;
  return folder;
}

// Replaces the file at path with the given bytes.
inline void write_bytes(const std::string& path, const uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  if (std::fclose(file) != 0) std::abort();
}

// A broken promise is a finding: report it and crash so libFuzzer keeps the input.
#define QUILLET_FUZZ_CHECK(condition)                                                   \
  do {                                                                                  \
    if (!(condition)) {                                                                 \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

}  // namespace quillet::fuzz
