#include "bank/plot_command.h"

#include <cstdio>
#include <optional>

#include "analysis/frequency_files.h"
#include "bank/bank_sample.h"
#include "bank/bank_usage.h"
#include "bank/pitch_picture.h"
#include "bank/sonogram.h"

namespace quillet {
namespace {

struct PlotOptions {
  std::string sample;
  std::string output;
  bool compare = false;
};

bool parse_plot_options(const std::vector<std::string>& args, PlotOptions* options, std::string* reason) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word == "--compare") {
      options->compare = true;
    } else if (word == "-o") {
      if (i + 1 >= args.size()) {
        *reason = "-o needs a FILE";
        return false;
      }
      options->output = args[++i];
    } else if (word.size() > 1 && word[0] == '-') {
      *reason = "plot: unknown option " + word;
      return false;
    } else if (options->sample.empty()) {
      options->sample = word;
    } else {
      *reason = "plot draws one SAMPLE";
      return false;
    }
  }
  if (options->sample.empty()) *reason = "plot needs a SAMPLE";
  return !options->sample.empty();
}

bool same_list(const FrequencyList& a, const FrequencyList& b) {
  if (a.length != b.length) return false;
  for (int i = 0; i < a.length; ++i) {
    if (a.freq[i] != b.freq[i]) return false;
  }
  return true;
}

// Which method wrote the side file, judged by redoing the written analysis:
// a list it does not give is taken as the accurate one's (or another tool's).
AnalysisMethod side_file_method(const BankSample& sample, const FrequencyList& stored,
                                std::optional<FrequencyList>* written) {
  *written = analyse_bank_sample(sample, AnalysisMethod::written);
  return *written && same_list(**written, stored) ? AnalysisMethod::written : AnalysisMethod::accurate;
}

int fail(const std::string& reason) {
  std::fprintf(stderr, "quillet-bank: %s\n", reason.c_str());
  return 1;
}

}  // namespace

std::string default_picture_name(const std::string& sample_path) {
  const std::string side = side_file_name(sample_path, ".frq");
  return side.substr(0, side.size() - 4) + ".png";
}

int run_plot_command(const std::vector<std::string>& args) {
  PlotOptions options;
  std::string reason;
  if (!parse_plot_options(args, &options, &reason)) return usage_error(reason);
  const std::optional<BankSample> sample = read_bank_sample(options.sample, &reason);
  if (!sample) return fail(options.sample + ": sound refused: " + reason);
  const std::optional<FrequencyList> stored = read_frq(options.sample);
  if (!stored) return fail(options.sample + ": no readable side file (run quillet-bank analyse first)");
  std::vector<PitchCurve> curves{{"side file", &*stored, 0.95, 0.15, 0.15}};
  std::optional<FrequencyList> other;
  if (options.compare) {
    std::optional<FrequencyList> written;
    const AnalysisMethod method = side_file_method(*sample, *stored, &written);
    if (method == AnalysisMethod::written) curves[0].label = "side file (written)";
    other = method == AnalysisMethod::written ? analyse_bank_sample(*sample, AnalysisMethod::accurate) : written;
    const char* other_name = method == AnalysisMethod::written ? "accurate" : "written";
    if (other) curves.push_back({other_name, &*other, 0.2, 0.95, 0.95});
  }
  const std::string output = options.output.empty() ? default_picture_name(options.sample) : options.output;
  const Spectrogram spectrogram =
      compute_spectrogram(sample->samples, sample->frame_count, sample->channels, sample->sample_rate);
  const std::string problem = draw_pitch_picture(output, options.sample, spectrogram, sample->frame_count, curves);
  if (!problem.empty()) return fail(problem);
  std::printf("%s\n", output.c_str());
  return 0;
}

}  // namespace quillet
