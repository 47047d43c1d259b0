// Replacing a file whole: the new contents go to a temporary file of their
// own in the same folder, which is then renamed over the target, so readers
// see either the old file or the complete new one, never a torn copy.
#pragma once

#include <string>

namespace quillet {

// Writes contents to path through a uniquely named temporary file created
// exclusively beside it (permissions 0644 less the umask). On failure the
// temporary file is removed, path is left as it was and false is returned.
bool replace_file_contents(const std::string& path, const std::string& contents);

}  // namespace quillet
