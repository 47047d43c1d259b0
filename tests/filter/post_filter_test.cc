#include "filter/post_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "filter/filter_options.h"
#include "filter/frame_synthesis.h"
#include "filter/fft.h"
#include "support/console.h"
#include "support/process.h"
#include "support/synthetic_voice.h"

namespace quillet {
namespace {

using namespace test;

TEST(FilterOptions, BandSplitLetters) {
  struct Case { const char* flags; double multiple, cutoff, band_gain; bool active; };
  for (const Case& c : {
           Case{"L", 0.0, 0.0, 1.0, false},
           Case{"u2000", 0.0, 1024.0, 1.0, true},   // cutoff clamped to [0, 1024]
           Case{"u-5", 0.0, 0.0, 1.0, false},       // 0: off
           Case{"u", 0.0, 0.0, 1.0, false},
           Case{"Lu12.5B", 0.0, 12.5, 1.0, true},   // fractions kept
           Case{"u10u20", 0.0, 10.0, 1.0, true},    // first occurrence only
           Case{"x", 1.0, 0.0, 1.0, true},          // multiple clamped to [1, 100]
           Case{"x0.2", 1.0, 0.0, 1.0, true},
           Case{"x500", 100.0, 0.0, 1.0, true},
           Case{"v", 0.0, 0.0, 0.063095734448019325, false},  // -24 dB
           Case{"v0", 0.0, 0.0, 1.0, false},
           Case{"Lv-6", 0.0, 0.0, 0.50118723362727224, false},
       }) {
    const FilterOptions options = read_filter_options(c.flags);
    EXPECT_EQ(options.harmonic_multiple, c.multiple) << c.flags;
    EXPECT_EQ(options.cutoff_bin, c.cutoff) << c.flags;
    EXPECT_DOUBLE_EQ(options.band_gain, c.band_gain) << c.flags;
    EXPECT_EQ(band_split_active(options), c.active) << c.flags;
  }
}

// Every frame of a signal of out_len samples with one gain for every bin, the
// completing frame after the last frame start included.
struct FramesOut {
  std::vector<double> work;
  double peak = 0.0;
};

FramesOut run_frames(const std::vector<double>& signal, int out_len, double gain, bool keep_level) {
  const SpectralTables tables = make_spectral_tables();
  const std::vector<double> gains(SPECTRUM_SIZE, gain);
  FramesOut out;
  out.work.assign(out_len, -1.0);
  OverlapAdd state;
  state.work = out.work;
  for (long long at = 0; at < out_len + 512; at += 512) {
    synthesize_frame(signal, at, FrameGains{&gains, keep_level, nullptr}, tables, state);
  }
  out.peak = state.peak;
  return out;
}

TEST(FrameSynthesis, LevelFactorRestoresTheMagnitudeSum) {
  // 2600 samples, the last frame partial: a uniform gain 0.5 is undone by the
  // level factor to the last sample; gain 0 leaves nothing (factor 1, not 0/0).
  const int out_len = 2600;
  const std::vector<double> signal = noise_values(out_len, 10000.0, 5);
  const FramesOut kept = run_frames(signal, out_len, 0.5, true);
  const FramesOut muted = run_frames(signal, out_len, 0.0, true);
  double largest = 0.0;
  for (int n = 0; n < out_len; ++n) {
    ASSERT_NEAR(kept.work[n], signal[n], 1e-8) << n;
    ASSERT_EQ(muted.work[n], 0.0) << n;
    largest = std::max(largest, std::fabs(signal[n]));
  }
  EXPECT_NEAR(kept.peak, largest, 1e-8);
}

// One call's arguments: voiced is the input itself, one to one (every output
// sample inside the fixed head), at a constant 220 Hz.
struct FilterCase {
  SampleStore samples;
  std::vector<double> voiced, aperiodic, freq, bend;
  int out_len = 0, sample_count = 0, offset = 0;
  double fixed_in = 0.0;
  int bend_step = 256, bend_mode = 0;
  std::string flags;
  double peak = 0.0;
  std::string console;
};

FilterCase one_to_one_case(int frames) {
  SyntheticVoice voice;
  voice.seconds = frames / 44100.0;
  voice.tail_frames = 3072;
  FilterCase c;
  c.samples = synthetic_voice(voice);
  c.out_len = c.sample_count = frames;
  c.fixed_in = frames;
  c.voiced.assign(c.samples.begin(), c.samples.end());
  c.aperiodic.assign(c.voiced.size(), 0.0);
  c.freq.assign(frames / 256 + 2, 220.0);
  c.bend.assign(frames / 256 + 2, 220.0);
  return c;
}

void run(FilterCase& c) {
  c.console = console_of([&] {
    c.peak = post_filter(c.voiced, c.aperiodic, c.out_len, c.samples, 1, c.sample_count, c.offset,
                         c.fixed_in, 17, 1.0, 1.0, c.bend, c.bend_step, c.freq, 220.0, c.flags,
                         c.bend_mode);
  });
}

std::vector<double> cosine(int count, double bin) {
  std::vector<double> values(count);
  for (int n = 0; n < count; ++n) values[n] = 1000.0 * std::cos(2.0 * std::acos(-1.0) * bin * n / 1024.0);
  return values;
}

TEST(PostFilter, MatchingEnvelopesReturnVoicedUnchangedAndDumpTheFrames) {
  // Same sound, same pitch: every gain is 1, and voiced comes back to its
  // last sample (the completing frame), with one progress line per frame.
  ScratchDir scratch;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(scratch.path);
  FilterCase c = one_to_one_case(3000);
  const std::vector<double> before = c.voiced;
  c.flags = "LS";
  run(c);
  const std::string dump = read_file_bytes(scratch.file("tmp.bin"));
  std::filesystem::current_path(previous);
  double largest = 0.0;
  for (int n = 0; n < c.out_len; ++n) {
    ASSERT_NEAR(c.voiced[n], before[n], 1e-7) << n;
    largest = std::max(largest, std::fabs(before[n]));
  }
  EXPECT_NEAR(c.peak, largest, 1e-7);
  for (std::size_t n = c.out_len; n < c.voiced.size(); ++n) ASSERT_EQ(c.voiced[n], 0.0);
  EXPECT_EQ(c.aperiodic, std::vector<double>(c.aperiodic.size(), 0.0));  // no band split
  EXPECT_EQ(c.console, kFiltering + "0->0 \r0->1 \r1->2 \r1->3 \r2->4 \r2->5 \r");

  // The dump: floor(2999 / 512) + 1 records of 128 doubles, none for the
  // completing frame. Record 0 is the frame at 0 (zeros, then voiced[0 ...
  // 511]) with gain exactly 1: fade-in 0 takes the previous curve, all 1.
  ASSERT_EQ(dump.size(), 6u * 128 * 8);
  const SpectralTables tables = make_spectral_tables();
  std::vector<double> re(1024, 0.0);
  std::vector<double> im(1024, 0.0);
  for (int i = 512; i < 1024; ++i) re[i] = before[i - 512] * tables.sine_window[i];
  fft_forward(re.data(), im.data(), 1024, tables);
  for (int i = 0; i < 128; ++i) {
    double stored = 0.0;
    std::memcpy(&stored, dump.data() + 8 * i, 8);
    ASSERT_EQ(stored, std::sqrt(re[i] * re[i] + im[i] * im[i])) << i;
  }
}

TEST(PostFilter, MappedBlocksInProgressLines) {
  struct Case { int sample_count, offset; double fixed_in; const char* lines; };
  for (const Case& m : {Case{4000, 0, 0.0, "0->0 \r1->1 \r2->2 \r3->3 \r"},  // ratio 2
                        Case{4000, 100, 1000.0, "0->0 \r0->1 \r1->2 \r2->3 \r"},  // head, then 3
                        Case{2000, -100000, 0.0, "0->0 \r0->1 \r0->2 \r0->3 \r"}}) {  // below 0: 0
    FilterCase c = one_to_one_case(4410);
    c.out_len = 2000;
    c.sample_count = m.sample_count;
    c.offset = m.offset;
    c.fixed_in = m.fixed_in;
    run(c);
    EXPECT_EQ(c.console, kFiltering + m.lines) << m.offset;
    for (int n = 0; n < c.out_len; ++n) ASSERT_TRUE(std::isfinite(c.voiced[n])) << n;
  }
}

TEST(PostFilter, ImposesTheInputEnvelopeOnFlatNoise) {
  // Voiced white noise, input a vowel with formants at 700 and 1150 Hz: the
  // share of energy below 2 kHz (47 bins) rises towards the input's.
  FilterCase c = one_to_one_case(8192);
  const std::vector<int16_t> noise = white_noise(8192, 8000.0, 4, 3072);
  c.voiced.assign(noise.begin(), noise.end());
  auto low_share = [](const std::vector<double>& signal) {
    const SpectralTables tables = make_spectral_tables();
    double low = 0.0, all = 0.0;
    for (int start = 1024; start + 1024 <= 7168; start += 512) {
      std::vector<double> frame(signal.begin() + start, signal.begin() + start + 1024);
      magnitude_spectrum(frame.data(), 1024, tables);
      for (int k = 1; k < 512; ++k) all += frame[k] * frame[k], low += k < 47 ? frame[k] * frame[k] : 0.0;
    }
    return low / all;
  };
  EXPECT_LT(low_share(c.voiced), 0.15);
  run(c);
  EXPECT_GT(low_share(c.voiced), 0.6);
}

TEST(PostFilter, BandSplitFiltersAperiodicOnTheOppositeSide) {
  // Gain -200 dB below the cutoff. Only the positive-frequency half of a
  // cosine below the cutoff lies there, so it comes back halved. u100 halves
  // bins 10 and 20; x3 at 220 Hz cuts at floor(3 x 5.108) = 15, halving bin
  // 10 only; a bare x cuts at 5 and keeps both.
  struct Case { const char* flags; double kept10, kept20; };
  for (const Case& s : {Case{"u100v-200", 0.5, 0.5}, Case{"x3v-200", 0.5, 1.0}, Case{"xv-200", 1.0, 1.0}}) {
    FilterCase c = one_to_one_case(3072);
    const std::vector<double> bin10 = cosine(c.aperiodic.size(), 10.0);
    const std::vector<double> bin20 = cosine(c.aperiodic.size(), 20.0);
    for (std::size_t n = 0; n < c.aperiodic.size(); ++n) c.aperiodic[n] = bin10[n] + bin20[n];
    c.flags = s.flags;
    run(c);
    for (int n = 1024; n < 2048; ++n) {
      ASSERT_NEAR(c.aperiodic[n], s.kept10 * bin10[n] + s.kept20 * bin20[n], 10.0) << s.flags << n;
    }
  }
  // With x, frames while the target (and so the cutoff) is 0 pass with gain
  // 1: no gap in the filtered signal before the cutoff rises at 2048.
  FilterCase c = one_to_one_case(3072);
  c.aperiodic = cosine(c.aperiodic.size(), 20.0);
  const std::vector<double> before = c.aperiodic;
  c.bend_mode = 1;
  c.bend_step = 1024;
  c.bend = {0.0, 0.0, 220.0, 220.0, 220.0};
  c.flags = "xv-200";
  run(c);
  for (int n = 0; n < 1536; ++n) ASSERT_NEAR(c.aperiodic[n], before[n], 1e-6) << n;
}

// The frames made on one thread, or in two parts on two, give the same
// bits: voiced and aperiodic (band split by harmonic multiple, so the cutoff
// moves with the bend), the peak and the progress lines, for a stretched note
// with a fixed head, the second part starting at the first frame, inside
// the head, after it, at the completing frame, past the end, or where the
// threads settle it. With the dump on, the frames keep to one thread and the
// dump holds every frame but the completing one.
TEST(PostFilter, OneThreadAndTwoGiveTheSameBits) {
  ScratchDir scratch;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(scratch.path);
  struct Outcome {
    std::vector<double> voiced, aperiodic;
    double peak = 0.0;
    std::string console;
  };
  auto filtered = [&](int threads, int split, const char* flags) {
    FilterCase c = one_to_one_case(20000);
    c.out_len = 30000;
    c.fixed_in = 3000.0;
    c.sample_count = 20000;
    c.voiced = noise_values(30000, 5000.0, 7);
    c.aperiodic = noise_values(30000, 800.0, 8);
    for (std::size_t i = 0; i < c.bend.size(); ++i) c.bend[i] = 180.0 + 3.0 * i;
    c.flags = flags;
    Outcome o;
    o.console = console_of([&] {
      o.peak = post_filter(c.voiced, c.aperiodic, c.out_len, c.samples, 1, c.sample_count, c.offset,
                           c.fixed_in, 17, 1.0, 1.0, c.bend, c.bend_step, c.freq, 220.0, c.flags,
                           c.bend_mode, threads, split);
    });
    o.voiced = c.voiced;
    o.aperiodic = c.aperiodic;
    return o;
  };
  const auto same_bits = [](const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
  };
  const Outcome one = filtered(1, -1, "x4v-6");
  const int frames = 30000 / 512 + 2;  // with the completing one
  for (const int split : {-1, 0, 1, 2, 5, 6, 7, 30, frames - 2, frames - 1, frames, frames + 5}) {
    const Outcome two = filtered(2, split, "x4v-6");
    EXPECT_TRUE(same_bits(one.voiced, two.voiced)) << split;
    EXPECT_TRUE(same_bits(one.aperiodic, two.aperiodic)) << split;
    EXPECT_EQ(std::memcmp(&one.peak, &two.peak, sizeof one.peak), 0) << split;
    EXPECT_EQ(one.console, two.console) << split;
  }
  EXPECT_NE(one.aperiodic, noise_values(30000, 800.0, 8));  // the split filtered it

  const Outcome dumped = filtered(2, 20, "x4v-6S");
  const std::string dump = read_file_bytes(scratch.file("tmp.bin"));
  std::filesystem::current_path(previous);
  EXPECT_TRUE(same_bits(one.voiced, dumped.voiced));
  EXPECT_EQ(one.console, dumped.console);
  EXPECT_EQ(dump.size(), static_cast<std::size_t>(frames - 1) * 128 * sizeof(double));
}

// A caller done with the aperiodic signal lets the filtered voiced signal be
// made in its memory, and the band split leave it unfiltered: voiced comes
// back with the same bits, its own entries past out_len kept, the band split
// on or off, on one thread or two, and when the aperiodic signal is too
// short to hold it; the peak is the voiced signal's.
TEST(PostFilter, VoicedMadeInTheAperiodicMemoryHasTheSameBits) {
  struct Outcome {
    std::vector<double> voiced;
    double peak = 0.0;
    std::string console;
  };
  auto filtered = [](const char* flags, int threads, int split, AperiodicUse use, int aperiodic_size) {
    FilterCase c = one_to_one_case(20000);
    c.out_len = 29000;
    c.fixed_in = 3000.0;
    c.voiced = noise_values(30000, 5000.0, 7);  // the last 1000 past out_len
    c.aperiodic = noise_values(aperiodic_size, 200000.0, 8);  // louder than voiced filtered
    Outcome o;
    o.console = console_of([&] {
      o.peak = post_filter(c.voiced, c.aperiodic, c.out_len, c.samples, 1, c.sample_count, c.offset,
                           c.fixed_in, 17, 1.0, 1.0, c.bend, c.bend_step, c.freq, 220.0, flags, c.bend_mode,
                           threads, split, use);
    });
    o.voiced = c.voiced;
    return o;
  };
  for (const char* flags : {"", "x4v-6"}) {
    const Outcome kept = filtered(flags, 1, -1, AperiodicUse::read_later, 30000);
    EXPECT_NE(kept.voiced, noise_values(30000, 5000.0, 7)) << flags;  // it was filtered
    for (const int threads : {1, 2}) {
      for (const int size : {30000, 29500}) {
        const Outcome spared = filtered(flags, threads, 20, AperiodicUse::done, size);
        ASSERT_EQ(spared.voiced.size(), kept.voiced.size()) << flags;
        EXPECT_EQ(std::memcmp(spared.voiced.data(), kept.voiced.data(), kept.voiced.size() * sizeof(double)), 0)
            << flags << " " << threads << " " << size;
        double voiced_peak = 0.0;
        for (int n = 0; n < 29000; ++n) voiced_peak = std::max(voiced_peak, std::fabs(spared.voiced[n]));
        EXPECT_EQ(spared.peak, voiced_peak) << flags;
        EXPECT_EQ(spared.console, kept.console) << flags;
      }
    }
  }
}

TEST(PostFilter, HostileArgumentsStayInBoundsAndFinite) {
  FilterCase c = one_to_one_case(1000);  // nothing to filter
  c.out_len = 0;
  const std::vector<double> before = c.voiced;
  run(c);
  EXPECT_EQ(c.peak, 0.0);
  EXPECT_EQ(c.voiced, before);

  // Empty buffers everywhere, a zero bend step and a zero warp.
  std::vector<double> empty_voiced, empty_aperiodic;
  console_of([&] {
    post_filter(empty_voiced, empty_aperiodic, 600, SampleStore{}, 0, 0, 0, 0.0, 17, 0.0, 1.0, {}, 0,
                {}, 0.0, "x", 1);
  });
  EXPECT_TRUE(empty_voiced.empty());

  // No spare tail, a head longer than the used stretch (positions past the
  // end of the lists), then a head as long as the note (nothing stretched).
  c = one_to_one_case(1500);
  c.voiced.resize(c.out_len);
  c.aperiodic.resize(c.out_len);
  c.sample_count = 300;
  c.freq.assign(3, 220.0);
  c.bend.assign(3, 220.0);
  c.flags = "u50";
  for (double fixed_in : {300.0, 1500.0}) {
    c.fixed_in = fixed_in;
    run(c);
    for (int n = 0; n < c.out_len; ++n) {
      ASSERT_TRUE(std::isfinite(c.voiced[n]) && std::isfinite(c.aperiodic[n])) << n;
    }
  }
}

}  // namespace
}  // namespace quillet

// Arrays made with new[] (the filter's work signals, which are not set
// before the frames write them) come out of this test program filled with
// all-ones bytes, a NaN in every double: a sample no frame wrote shows.
void* operator new[](std::size_t size) {
  void* p = std::malloc(size > 0 ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  std::memset(p, 0xff, size);
  return p;
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace quillet {
namespace {

// Every filtered sample comes from a frame, for lengths on and beside the
// frame hop, with and without the band split.
TEST(PostFilter, EveryFilteredSampleComesFromAFrame) {
  for (const int length : {1, 511, 512, 513, 1024, 1500, 2049}) {
    for (const char* flags : {"", "x4v-6"}) {
      FilterCase c = one_to_one_case(length);
      c.aperiodic = test::noise_values(c.voiced.size(), 800.0, 3);
      c.flags = flags;
      run(c);
      for (int i = 0; i < length; ++i) {
        ASSERT_TRUE(std::isfinite(c.voiced[i])) << length << " " << flags << " " << i;
        ASSERT_TRUE(std::isfinite(c.aperiodic[i])) << length << " " << flags << " " << i;
      }
    }
  }
}

}  // namespace
}  // namespace quillet
