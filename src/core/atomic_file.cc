#include "core/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace quillet {

namespace {

constexpr std::size_t NAME_LIMIT = 255;  // longest file name within a folder
constexpr int CREATE_ATTEMPTS = 64;

// Temporary name "<path>.<pid>-<serial>", or "<folder>/.<pid>-<serial>.tmp"
// when the target's own name leaves no room for the suffix.
std::string temporary_name(const std::string& path, unsigned serial) {
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, "%ld-%u", static_cast<long>(getpid()), serial);
  const std::size_t slash = path.rfind('/');
  const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  const std::string suffix_text(suffix);
  if (path.size() - name_start + 1 + suffix_text.size() <= NAME_LIMIT) {
    return path + "." + suffix_text;
  }
  return path.substr(0, name_start) + "." + suffix_text + ".tmp";
}

// Creates a new temporary file beside path; fills name. Returns the
// descriptor, or -1.
int create_temporary(const std::string& path, std::string& name) {
  static std::atomic<unsigned> serial{0};
  for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
    name = temporary_name(path, serial.fetch_add(1));
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool write_all(int fd, const std::string& contents) {
  std::size_t done = 0;
  while (done < contents.size()) {
    const ssize_t written = write(fd, contents.data() + done, contents.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

bool replace_file_contents(const std::string& path, const std::string& contents) {
  std::string name;
  const int fd = create_temporary(path, name);
  if (fd < 0) return false;
  const bool written = write_all(fd, contents);
  const bool closed = close(fd) == 0;
  if (written && closed && std::rename(name.c_str(), path.c_str()) == 0) return true;
  unlink(name.c_str());
  return false;
}

}  // namespace quillet
