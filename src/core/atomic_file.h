// Replacing a file whole: the new contents are written to a temporary file
// in the same folder, synced to disk and only then put in place under the
// target's name, so readers see either the old file or the complete new one,
// never a torn copy. Where the file system allows it the temporary file has
// no name at all (a run killed while writing leaves nothing behind);
// elsewhere it gets a unique name beside the target that is removed on
// failure.
#pragma once

#include <cstddef>
#include <string>

namespace quillet {

// Which temporary file to write through: an unnamed one where the file
// system has them (else a named one), or always a named one.
enum class TemporaryKind { unnamed_where_supported, named };

// Writes size bytes from data to path. The new file gets the permissions an
// ordinary new file of this process gets (0666 less the umask). On failure
// path is left as it was and false is returned.
bool replace_file_contents(const std::string& path, const void* data, std::size_t size,
                           TemporaryKind kind = TemporaryKind::unnamed_where_supported);

inline bool replace_file_contents(const std::string& path, const std::string& contents) {
  return replace_file_contents(path, contents.data(), contents.size());
}

}  // namespace quillet
