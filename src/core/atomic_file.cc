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
constexpr mode_t NEW_FILE_MODE = 0666;   // the umask takes its share at creation

// Temporary name "<path>.<pid>-<serial>", or "<folder>/.<pid>-<serial>.tmp"
// when the target's own name leaves no room for the suffix.
std::string temporary_name(const std::string& path) {
  static std::atomic<unsigned> serial{0};
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, "%ld-%u", static_cast<long>(getpid()), serial.fetch_add(1));
  const std::size_t slash = path.rfind('/');
  const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  const std::string suffix_text(suffix);
  if (path.size() - name_start + 1 + suffix_text.size() <= NAME_LIMIT) {
    return path + "." + suffix_text;
  }
  return path.substr(0, name_start) + "." + suffix_text + ".tmp";
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool write_all(int fd, const unsigned char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool write_and_sync(int fd, const void* data, std::size_t size) {
  return write_all(fd, static_cast<const unsigned char*>(data), size) && fsync(fd) == 0;
}

// ---- unnamed temporary file ------------------------------------------------

enum class Outcome { done, failed, unsupported };

// Gives the unnamed file open as fd the name path: directly when path does
// not exist yet, else under a temporary name renamed over path at once.
Outcome link_into_place(int fd, const std::string& path) {
  char fd_path[64];
  std::snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, fd_path, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return Outcome::done;
  if (errno != EEXIST) return errno == ENOENT ? Outcome::unsupported : Outcome::failed;
  for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
    const std::string name = temporary_name(path);
    if (linkat(AT_FDCWD, fd_path, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      if (errno == EEXIST) continue;
      return Outcome::failed;
    }
    if (std::rename(name.c_str(), path.c_str()) == 0) return Outcome::done;
    unlink(name.c_str());
    return Outcome::failed;
  }
  return Outcome::failed;
}

Outcome replace_through_unnamed(const std::string& path, const void* data, std::size_t size) {
  const int fd = open(folder_of(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, NEW_FILE_MODE);
  if (fd < 0) {
    // Kernels and file systems without unnamed files refuse in one of these ways.
    return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? Outcome::unsupported
                                                                     : Outcome::failed;
  }
  Outcome outcome = write_and_sync(fd, data, size) ? link_into_place(fd, path) : Outcome::failed;
  if (close(fd) != 0 && outcome == Outcome::unsupported) outcome = Outcome::failed;
  return outcome;
}

// ---- named temporary file ---------------------------------------------------

// Creates a new temporary file beside path; fills name. Returns the
// descriptor, or -1.
int create_named_temporary(const std::string& path, std::string& name) {
  for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
    name = temporary_name(path);
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, NEW_FILE_MODE);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool replace_through_named(const std::string& path, const void* data, std::size_t size) {
  std::string name;
  const int fd = create_named_temporary(path, name);
  if (fd < 0) return false;
  const bool written = write_and_sync(fd, data, size);
  const bool closed = close(fd) == 0;
  if (written && closed && std::rename(name.c_str(), path.c_str()) == 0) return true;
  unlink(name.c_str());
  return false;
}

}  // namespace

bool replace_file_contents(const std::string& path, const void* data, std::size_t size,
                           TemporaryKind kind) {
  if (kind == TemporaryKind::named) return replace_through_named(path, data, size);
  const Outcome outcome = replace_through_unnamed(path, data, size);
  if (outcome == Outcome::unsupported) return replace_through_named(path, data, size);
  return outcome == Outcome::done;
}

}  // namespace quillet
