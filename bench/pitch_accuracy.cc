// pitch_accuracy: how well the renderer's analysis ("written") and the
// accurate analysis find the pitch of test voices, as a table per voice and
// in total for each method.
//
//   pitch_accuracy                      synthetic voices whose pitch is known
//   pitch_accuracy --compare WAV REF... recordings against a reference track:
//                                       REF lines "seconds hz" (hz <= 0:
//                                       unvoiced), one REF per WAV
//
// Columns: steps the reference calls voiced; steps off by more than 600
// cents; gross errors (more than 20 % off) as a share of the steps both
// call voiced; the median error in cents over those steps; the share of the
// reference's voiced steps that the method calls voiced; milliseconds of
// analysis per second of sound.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "analysis/accurate_pitch.h"
#include "analysis/frequency_grid.h"
#include "analysis/pitch_analysis.h"
#include "audio_io/wav.h"
#include "core/constants.h"
#include "glottal_voice.h"
#include "support/synthetic_voice.h"

namespace quillet {
namespace {

// The known pitch of a sound per step: 0 where it is unknown or unvoiced.
struct Reference {
  std::vector<double> hz;
};

struct Sound {
  std::string name;
  SampleStore samples;
  int frames = 0;
  int rate = 0;
  int channels = 1;
  Reference truth;
};

struct Score {
  int voiced = 0;      // steps the reference calls voiced
  int found = 0;       // of those, steps the method calls voiced
  int wild = 0;        // found steps off by more than 600 cents
  int gross = 0;       // found steps off by more than 20 %
  std::vector<double> cents;  // |error| of every found step
  double seconds = 0.0;       // analysis time
  double sound_seconds = 0.0;
};

double median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : 0.5 * (values[mid - 1] + values[mid]);
}

void add_score(Score& total, const Score& one) {
  total.voiced += one.voiced;
  total.found += one.found;
  total.wild += one.wild;
  total.gross += one.gross;
  total.cents.insert(total.cents.end(), one.cents.begin(), one.cents.end());
  total.seconds += one.seconds;
  total.sound_seconds += one.sound_seconds;
}

Score score_list(const FrequencyList& list, const Reference& truth) {
  Score score;
  for (size_t i = 0; i < truth.hz.size() && i + 1 < list.freq.size(); ++i) {
    if (!(truth.hz[i] > 0.0)) continue;
    ++score.voiced;
    const double f = list.freq[i];
    if (f == UNVOICED_HZ) continue;
    ++score.found;
    const double cents = std::fabs(1200.0 * std::log2(f / truth.hz[i]));
    if (cents > 600.0) ++score.wild;
    if (std::fabs(f / truth.hz[i] - 1.0) > 0.2) ++score.gross;
    score.cents.push_back(cents);
  }
  return score;
}

// Runs analyse with standard output sent to /dev/null (the written analysis
// prints its progress there).
FrequencyList quietly(const std::function<FrequencyList()>& analyse) {
  std::fflush(stdout);
  const int saved = dup(1);
  const int sink = open("/dev/null", O_WRONLY);
  dup2(sink, 1);
  FrequencyList list = analyse();
  std::fflush(stdout);
  dup2(saved, 1);
  close(sink);
  close(saved);
  return list;
}

const FrequencyGrid& grid_for(int rate) {
  static FrequencyGrid grid;
  static int built = -1;
  if (built != rate) {
    build_frequency_grid(grid, rate, BLOCK_LENGTH);
    built = rate;
  }
  return grid;
}

Score measure(const Sound& sound, bool accurate) {
  const FrequencyGrid& grid = grid_for(sound.rate);
  const std::string side = "/tmp/pitch_accuracy_" + std::to_string(getpid()) + ".wav";
  const auto start = std::chrono::steady_clock::now();
  const FrequencyList list = quietly([&] {
    if (accurate) {
      return analyse_pitch_accurate(sound.samples, sound.frames, sound.rate, sound.channels, grid);
    }
    return analyse_pitch(side, "G", sound.samples, sound.frames, sound.rate, sound.channels, grid);
  });
  const auto end = std::chrono::steady_clock::now();
  std::remove((side.substr(0, side.size() - 4) + ".frq").c_str());
  Score score = score_list(list, sound.truth);
  score.seconds = std::chrono::duration<double>(end - start).count();
  score.sound_seconds = static_cast<double>(sound.frames) / sound.rate;
  return score;
}

void print_header() {
  std::printf("%-30s %-8s %7s %6s %8s %9s %8s %7s\n", "voice", "method", "voiced", ">600c",
              "gross%", "median_c", "recall%", "ms/s");
}

void print_row(const std::string& name, const char* method, const Score& s) {
  const double gross = s.found ? 100.0 * s.gross / s.found : 0.0;
  const double recall = s.voiced ? 100.0 * s.found / s.voiced : 0.0;
  const double cost = s.sound_seconds > 0.0 ? 1000.0 * s.seconds / s.sound_seconds : 0.0;
  std::printf("%-30s %-8s %7d %6d %8.2f %9.2f %8.1f %7.1f\n", name.c_str(), method, s.voiced,
              s.wild, gross, median(s.cents), recall, cost);
}

// Both methods on every sound, then the totals.
void report(const std::vector<Sound>& sounds) {
  print_header();
  Score totals[2];
  const char* names[2] = {"written", "accurate"};
  for (const Sound& sound : sounds) {
    for (int m = 0; m < 2; ++m) {
      const Score score = measure(sound, m == 1);
      print_row(sound.name, names[m], score);
      add_score(totals[m], score);
    }
  }
  for (int m = 0; m < 2; ++m) print_row("TOTAL", names[m], totals[m]);
}

// ---- synthetic voices

// Formant voices of the test support (pulses through two resonators): the
// vowel's first two formants.
struct Vowel {
  const char* name;
  double f1, f2;
  const glottal::Formant* formants;  // five formants for the glottal voices
};

constexpr Vowel kVowels[] = {{"a", 750.0, 1200.0, glottal::kVowelA},
                             {"i", 280.0, 2250.0, glottal::kVowelI},
                             {"u", 320.0, 800.0, glottal::kVowelU}};

// Margin around every change of voicing where the pitch is not scored.
constexpr double kMarginSeconds = 0.04;

// The pitch of each step whose neighbourhood is voiced throughout by
// voiced_at; pitch_at elsewhere. 0 where not scored.
Reference known_pitch(int frames, int rate, const std::function<bool(double)>& voiced_at,
                      const std::function<double(double)>& pitch_at) {
  Reference truth;
  const int nsteps = frames / BLOCK_STEP;
  const double margin = kMarginSeconds * rate;
  truth.hz.assign(static_cast<size_t>(nsteps) + 1, 0.0);
  for (int i = 0; i <= nsteps; ++i) {
    const double at = static_cast<double>(i) * BLOCK_STEP;
    bool voiced = true;
    for (double probe = at - margin; probe <= at + margin; probe += margin / 8.0) {
      voiced = voiced && voiced_at(probe);
    }
    if (voiced) truth.hz[i] = pitch_at(at);
  }
  return truth;
}

Sound pulse_sound(const std::string& name, test::SyntheticVoice voice) {
  voice.tail_frames = BLOCK_LENGTH;
  Sound sound;
  sound.name = name;
  sound.samples = test::synthetic_voice(voice);
  sound.frames = test::synthetic_voice_frames(voice);
  sound.rate = voice.sample_rate;
  sound.truth = known_pitch(
      sound.frames, sound.rate, [&](double f) { return test::synthetic_voice_voiced_at(voice, f); },
      [&](double f) { return test::synthetic_voice_f0_at(voice, f); });
  return sound;
}

// The glottal pulses are sampled without band-limiting, so their harmonics
// above half the rate fold back; at a high pitch the folded ones fall on
// multiples of a much lower frequency (1500 Hz at 44.1 kHz: on multiples of
// 300 Hz, the common divisor), and a formant there makes that lower pitch the
// signal's true period. The voices are therefore sung kOversampling times
// faster and low-passed below 0.45 of the rate by a windowed sinc before
// every kOversampling-th frame is kept.
constexpr int kOversampling = 4;
constexpr int kDecimatorHalfTaps = 48 * kOversampling;

std::vector<double> band_limited_voice(const glottal::VoiceDesign& design) {
  glottal::VoiceDesign fast = design;
  fast.sample_rate = design.sample_rate * kOversampling;
  // The breath noise is drawn afresh every frame at a level of its own,
  // while each frame's pulse step grows with the pitch and shrinks as the
  // rate grows: the same breath level is breathier at a higher rate and at a
  // lower pitch (13 dB more at 50 Hz than at 220 Hz). Scaled like this, the
  // breath left below the cut has the share of the voice that it has in the
  // demo voice's design, 220 Hz sung plainly at 44.1 kHz.
  fast.breath_level = design.breath_level * (design.base_hz / 220.0) *
                      (44100.0 / design.sample_rate) /
                      std::sqrt(static_cast<double>(kOversampling));
  const std::vector<double> dense = glottal::synthesise_voice(fast);
  std::vector<double> taps(2 * kDecimatorHalfTaps + 1);
  const double cutoff = 0.45 / kOversampling;  // cycles per dense frame
  for (int k = -kDecimatorHalfTaps; k <= kDecimatorHalfTaps; ++k) {
    const double x = 2.0 * PI * cutoff * k;
    const double sinc = k == 0 ? 1.0 : std::sin(x) / x;
    const double phase = PI * (k + kDecimatorHalfTaps) / kDecimatorHalfTaps;
    const double window = 0.42 - 0.5 * std::cos(phase) + 0.08 * std::cos(2.0 * phase);
    taps[static_cast<size_t>(k + kDecimatorHalfTaps)] = 2.0 * cutoff * sinc * window;
  }
  const int count = static_cast<int>(design.duration_s * design.sample_rate + 0.5);
  std::vector<double> out(static_cast<size_t>(count), 0.0);
  for (int n = 0; n < count; ++n) {
    double sum = 0.0;
    for (int k = -kDecimatorHalfTaps; k <= kDecimatorHalfTaps; ++k) {
      const long at = static_cast<long>(n) * kOversampling + k;
      if (at >= 0 && at < static_cast<long>(dense.size())) {
        sum += taps[static_cast<size_t>(k + kDecimatorHalfTaps)] * dense[static_cast<size_t>(at)];
      }
    }
    out[static_cast<size_t>(n)] = sum;
  }
  return out;
}

// A designed voice's known pitch: its vibrato around base_hz, scored between
// the end of its onset and the start of its release.
Reference design_truth(const glottal::VoiceDesign& design, int frames) {
  const double rate = design.sample_rate;
  const double voiced_from = design.attack_s;
  const double voiced_to = design.duration_s - design.tail_s - design.release_s;
  return known_pitch(
      frames, design.sample_rate,
      [&](double f) { return f / rate >= voiced_from && f / rate <= voiced_to; },
      [&](double f) {
        return design.base_hz * std::pow(2.0, glottal::vibrato_cents(design, f / rate) / 1200.0);
      });
}

// A glottal voice is scored between the end of its onset and the start of
// its release.
Sound glottal_sound(const std::string& name, const glottal::VoiceDesign& design) {
  Sound sound;
  sound.name = name;
  const std::vector<double> signal = band_limited_voice(design);
  sound.samples = glottal::to_pcm16(signal, design.peak);
  sound.frames = static_cast<int>(sound.samples.size());
  sound.samples.resize(sound.samples.size() + BLOCK_LENGTH, 0);
  sound.rate = design.sample_rate;
  sound.truth = design_truth(design, sound.frames);
  return sound;
}

glottal::VoiceDesign glottal_design(const Vowel& vowel, double f0, int rate) {
  glottal::VoiceDesign design;
  design.sample_rate = rate;
  design.duration_s = 1.0;
  design.base_hz = f0;
  design.jitter = 0.001;
  design.vowel.assign(vowel.formants, vowel.formants + 5);
  return design;
}

test::SyntheticVoice pulse_voice(const Vowel& vowel, double f0, int rate) {
  test::SyntheticVoice voice;
  voice.f0 = f0;
  voice.sample_rate = rate;
  voice.seconds = 2.0;
  voice.jitter = 0.0005;
  voice.formant1_hz = vowel.f1;
  voice.formant2_hz = vowel.f2;
  return voice;
}

// A band-limited voice for rates too low for the pulse train (whose
// harmonics would fold back): the glottal source's harmonics below 0.45 of
// the rate, each falling 12 dB an octave and shaped by the vowel's formants,
// under the design's vibrato, glide and loudness.
double formant_gain(const std::vector<glottal::Formant>& vowel, double hz) {
  double gain = 1.0;
  for (const glottal::Formant& f : vowel) {
    const double ratio = hz / f.hz;
    const double damping = hz * f.bandwidth_hz / (f.hz * f.hz);
    gain /= std::sqrt((1.0 - ratio * ratio) * (1.0 - ratio * ratio) + damping * damping);
  }
  return gain;
}

Sound harmonic_sound(const std::string& name, const glottal::VoiceDesign& design) {
  const double rate = design.sample_rate;
  const int count = static_cast<int>(design.duration_s * rate + 0.5);
  std::vector<double> signal(static_cast<size_t>(count), 0.0);
  double phase = 0.0;
  for (int n = 0; n < count; ++n) {
    const double t = n / rate;
    const double hz = design.base_hz * std::pow(2.0, glottal::vibrato_cents(design, t) / 1200.0);
    phase += hz / rate;
    phase -= std::floor(phase);
    double sum = 0.0;
    for (int k = 1; k * hz < 0.45 * rate && k * hz < 6000.0; ++k) {
      sum += formant_gain(design.vowel, k * hz) / (k * k) * std::sin(2.0 * PI * k * phase);
    }
    signal[static_cast<size_t>(n)] = glottal::loudness(design, t) * sum;
  }
  Sound sound;
  sound.name = name;
  sound.samples = glottal::to_pcm16(signal, design.peak);
  sound.frames = count;
  sound.samples.resize(sound.samples.size() + BLOCK_LENGTH, 0);
  sound.rate = design.sample_rate;
  sound.truth = design_truth(design, sound.frames);
  return sound;
}

// Every rate the renderer accepts, from its lowest (1102 Hz) up, with
// fundamentals from 50 to 1500 Hz where the rate can carry them: harmonic
// voices below 16 kHz, glottal ones (formants below 0.45 of the rate) above.
void rate_sweep(std::vector<Sound>& sounds) {
  char name[64];
  for (int rate : {1102, 4000, 8000, 11025, 16000, 32000, 96000, 192000}) {
    for (double f0 : {50.0, 100.0, 200.0, 400.0, 800.0, 1500.0}) {
      if (f0 > 0.4 * rate) continue;
      glottal::VoiceDesign design = glottal_design(kVowels[0], f0, rate);
      design.vowel.clear();
      for (int k = 0; k < 5; ++k) {
        if (kVowels[0].formants[k].hz < 0.45 * rate) design.vowel.push_back(kVowels[0].formants[k]);
      }
      if (rate < 16000) {
        std::snprintf(name, sizeof name, "harmonic /a/ %g Hz @%d", f0, rate);
        sounds.push_back(harmonic_sound(name, design));
      } else {
        std::snprintf(name, sizeof name, "glottal /a/ %g Hz @%d", f0, rate);
        sounds.push_back(glottal_sound(name, design));
      }
    }
  }
}

std::vector<Sound> synthetic_sounds() {
  std::vector<Sound> sounds;
  char name[64];
  // The lowest and highest fundamentals as band-limited voices: even sung
  // four times faster, a 1500 Hz pulse train folds enough of its harmonics
  // onto a /u/'s first formant at 300 Hz to make 300 Hz its period.
  for (const Vowel& vowel : kVowels) {
    for (double f0 : {50.0, 1500.0}) {
      std::snprintf(name, sizeof name, "harmonic /%s/ %g Hz @%d", vowel.name, f0, 44100);
      sounds.push_back(harmonic_sound(name, glottal_design(vowel, f0, 44100)));
    }
  }
  rate_sweep(sounds);
  for (int rate : {22050, 44100, 48000}) {
    for (const Vowel& vowel : kVowels) {
      for (double f0 : {70.0, 110.0, 220.0, 440.0, 880.0}) {
        std::snprintf(name, sizeof name, "glottal /%s/ %g Hz @%d", vowel.name, f0, rate);
        sounds.push_back(glottal_sound(name, glottal_design(vowel, f0, rate)));
      }
    }
  }
  for (const Vowel& vowel : kVowels) {
    for (int rate : {22050, 44100}) {
      glottal::VoiceDesign design = glottal_design(vowel, 180.0, rate);
      design.duration_s = 2.0;
      design.vibrato_cents = 60.0;
      std::snprintf(name, sizeof name, "glottal /%s/ vibrato @%d", vowel.name, rate);
      sounds.push_back(glottal_sound(name, design));
      design.vibrato_cents = 15.0;
      design.glide_cents = 1200.0;
      std::snprintf(name, sizeof name, "glottal /%s/ glide up @%d", vowel.name, rate);
      sounds.push_back(glottal_sound(name, design));
      design.base_hz = 600.0;
      design.glide_cents = -1500.0;
      std::snprintf(name, sizeof name, "glottal /%s/ glide dn @%d", vowel.name, rate);
      sounds.push_back(glottal_sound(name, design));
      design = glottal_design(vowel, 260.0, rate);
      design.breath_level = 0.08;
      std::snprintf(name, sizeof name, "glottal /%s/ breathy @%d", vowel.name, rate);
      sounds.push_back(glottal_sound(name, design));
      test::SyntheticVoice voice = pulse_voice(vowel, 260.0, rate);
      voice.breath = 0.08;
      voice.gap_start = 0.7;
      voice.gap_seconds = 0.5;
      std::snprintf(name, sizeof name, "pulses /%s/ gap @%d", vowel.name, rate);
      sounds.push_back(pulse_sound(name, voice));
    }
  }
  return sounds;
}

// ---- recordings against a reference track

// The reference's pitch at each step: the reference line nearest in time,
// 0 when it is unvoiced or further than half a step away.
Reference read_reference(const std::string& path, int frames, int rate) {
  std::vector<std::pair<double, double>> lines;
  std::ifstream in(path);
  double t, hz;
  while (in >> t >> hz) lines.emplace_back(t, hz);
  // A reference may place its estimates unevenly, even out of order.
  std::stable_sort(lines.begin(), lines.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  Reference ref;
  const int nsteps = frames / BLOCK_STEP;
  ref.hz.assign(static_cast<size_t>(nsteps) + 1, 0.0);
  size_t j = 0;
  for (int i = 0; i <= nsteps && !lines.empty(); ++i) {
    const double at = static_cast<double>(i) * BLOCK_STEP / rate;
    while (j + 1 < lines.size() && std::fabs(lines[j + 1].first - at) <= std::fabs(lines[j].first - at)) ++j;
    if (std::fabs(lines[j].first - at) <= 0.5 * BLOCK_STEP / rate && lines[j].second > 0.0) {
      ref.hz[i] = lines[j].second;
    }
  }
  return ref;
}

bool load_recording(const std::string& wav, const std::string& ref, Sound& sound) {
  WaveInfo info;
  if (!read_wav(wav, info, BLOCK_LENGTH, sound.samples) || info.bits_per_sample != 16 ||
      info.block_align == 0) {
    return false;
  }
  sound.name = wav.substr(wav.find_last_of('/') + 1);
  sound.rate = static_cast<int>(info.sample_rate);
  sound.channels = info.channels;
  sound.frames = info.data_bytes / info.block_align;
  sound.truth = read_reference(ref, sound.frames, sound.rate);
  return true;
}

}  // namespace
}  // namespace quillet

int main(int argc, char** argv) {
  std::vector<quillet::Sound> sounds;
  if (argc > 1 && std::string(argv[1]) == "--compare") {
    if (argc < 4 || (argc - 2) % 2 != 0) {
      std::fprintf(stderr, "usage: pitch_accuracy [--compare WAV REF [WAV REF ...]]\n");
      return 2;
    }
    for (int a = 2; a + 1 < argc; a += 2) {
      quillet::Sound sound;
      if (!quillet::load_recording(argv[a], argv[a + 1], sound)) {
        std::fprintf(stderr, "pitch_accuracy: cannot read %s\n", argv[a]);
        return 1;
      }
      sounds.push_back(std::move(sound));
    }
  } else if (argc > 1) {
    std::fprintf(stderr, "usage: pitch_accuracy [--compare WAV REF [WAV REF ...]]\n");
    return 2;
  } else {
    sounds = quillet::synthetic_sounds();
  }
  quillet::report(sounds);
  return 0;
}
