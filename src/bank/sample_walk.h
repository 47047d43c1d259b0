// The samples a command works on: the sound files named on the command line
// and those found by walking the named folders.
#pragma once

#include <string>
#include <vector>

namespace quillet {

struct MissingPath {
  std::string path;
  std::string reason;
};

struct SampleWalk {
  std::vector<std::string> samples;  // in the order named; each folder's files sorted
  std::vector<MissingPath> missing;  // paths that are neither a file nor a folder
};

// True for names ending in ".wav" or ".aiff" in any letter case.
bool looks_like_sound(const std::string& name);

// A named file is taken as it is; a named folder is walked recursively for
// files that look like sounds. A file named twice is listed once.
SampleWalk walk_samples(const std::vector<std::string>& paths);

}  // namespace quillet
