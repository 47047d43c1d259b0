#include "bank/bank_sample.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "analysis/accurate_pitch.h"
#include "analysis/frequency_files.h"
#include "analysis/pitch_analysis.h"
#include "audio_io/aiff.h"
#include "audio_io/sound_file.h"
#include "audio_io/wav.h"
#include "core/constants.h"
#include "driver/command_line.h"
#include "driver/input_check.h"

namespace quillet {
namespace {

// Standard output sent to /dev/null while it lives: the renderer's analysis
// prints its progress there.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
      dup2(null_fd, STDOUT_FILENO);
      close(null_fd);
    }
  }
  ~QuietStdout() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
    }
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_ = -1;
};

// The renderer's analysis with flag G, writing the side file of path.
FrequencyList written_analysis(const BankSample& sample, const std::string& path) {
  const FrequencyGrid grid = bank_sample_grid(sample);
  const QuietStdout quiet;
  return analyse_pitch(path, "G", sample.samples, sample.frame_count, sample.sample_rate,
                       sample.channels, grid);
}

// A private folder under the system's temporary folder, removed with its
// contents when the holder goes.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillet-bank-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

const char* method_name(AnalysisMethod method) {
  return method == AnalysisMethod::written ? "written" : "accurate";
}

std::optional<BankSample> read_bank_sample(const std::string& path, std::string* reason) {
  BankSample sample;
  sample.path = path;
  const SoundRead read = is_aiff_path(path)
                             ? read_aiff_checked(path, sample.info, BLOCK_LENGTH, sample.samples)
                             : read_wav_checked(path, sample.info, BLOCK_LENGTH, sample.samples);
  if (read.problem != SoundProblem::none) {
    *reason = sound_problem_text(read.problem);
    return std::nullopt;
  }
  const FormatProblem format = input_format_problem(sample.info);
  if (format != FormatProblem::none) {
    *reason = format_problem_text(format);
    return std::nullopt;
  }
  sample.frame_count = input_frame_count(sample.info);
  sample.sample_rate = static_cast<int>(sample.info.sample_rate);
  sample.channels = sample.info.channels;
  return sample;
}

SideFileAge side_file_age(const std::string& sample_path) {
  std::error_code side_error;
  std::error_code sound_error;
  const auto side_time =
      std::filesystem::last_write_time(side_file_name(sample_path, ".frq"), side_error);
  if (side_error) return SideFileAge::absent;
  const auto sound_time = std::filesystem::last_write_time(sample_path, sound_error);
  // Written in the same clock tick as the sound counts as up to date.
  if (!sound_error && side_time >= sound_time) return SideFileAge::not_older_than_sound;
  return SideFileAge::older_than_sound;
}

FrequencyGrid bank_sample_grid(const BankSample& sample) {
  FrequencyGrid grid;
  build_frequency_grid(grid, static_cast<int32_t>(sample.sample_rate), BLOCK_LENGTH);
  return grid;
}

int listed_steps(const BankSample& sample) { return sample.frame_count / BLOCK_STEP + 1; }

std::optional<FrequencyList> analyse_bank_sample(const BankSample& sample, AnalysisMethod method) {
  if (method == AnalysisMethod::accurate) {
    return analyse_pitch_accurate(sample.samples, sample.frame_count, sample.sample_rate,
                                  sample.channels, bank_sample_grid(sample));
  }
  const TemporaryFolder folder;
  if (folder.path().empty()) return std::nullopt;
  return written_analysis(sample, folder.path() + "/sample.wav");
}

bool write_bank_side_file(const BankSample& sample, AnalysisMethod method) {
  // The renderer's analysis writes its list with exactly this call, so the
  // written method's file is byte for byte the renderer's.
  const std::optional<FrequencyList> list = analyse_bank_sample(sample, method);
  return list && write_frq(sample.path, list->freq.data(),
                           list->amp.data(), list->length, list->freq_avg);
}

}  // namespace quillet
