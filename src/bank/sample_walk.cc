#include "bank/sample_walk.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

namespace quillet {
namespace {

namespace fs = std::filesystem;

bool ends_with_ignoring_case(const std::string& name, const std::string& ending) {
  if (name.size() < ending.size()) return false;
  return std::equal(ending.begin(), ending.end(), name.end() - ending.size(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
}

std::vector<std::string> sounds_in_folder(const std::string& folder, std::string* problem) {
  std::vector<std::string> found;
  std::error_code error;
  fs::recursive_directory_iterator walk(folder, fs::directory_options::skip_permission_denied, error);
  for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
    std::error_code kind_error;
    if (walk->is_regular_file(kind_error) && looks_like_sound(walk->path().filename().string())) {
      found.push_back(walk->path().string());
    }
  }
  if (error) *problem = error.message();
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace

bool looks_like_sound(const std::string& name) {
  return ends_with_ignoring_case(name, ".wav") || ends_with_ignoring_case(name, ".aiff");
}

SampleWalk walk_samples(const std::vector<std::string>& paths) {
  SampleWalk walk;
  std::set<std::string> seen;
  auto take = [&](const std::string& sample) {
    if (seen.insert(fs::weakly_canonical(sample).string()).second) walk.samples.push_back(sample);
  };
  for (const std::string& path : paths) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::is_directory(status)) {
      std::string problem;
      for (const std::string& sample : sounds_in_folder(path, &problem)) take(sample);
      if (!problem.empty()) walk.missing.push_back({path, "folder not fully read: " + problem});
    } else if (fs::exists(status)) {
      take(path);
    } else {
      walk.missing.push_back({path, "no such file or folder"});
    }
  }
  return walk;
}

}  // namespace quillet
