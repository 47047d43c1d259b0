#include "analysis/pitch_path.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace quillet {
namespace {

using Frames = std::vector<std::vector<PitchCandidate>>;

constexpr int kJump = 3;

int state_of(double hz) { return static_cast<int>(std::lround(state_position(hz))); }

Frames steady(int count, double hz, double probability) {
  return Frames(static_cast<size_t>(count), {PitchCandidate{state_hz(state_of(hz)), probability}});
}

TEST(PitchPath, StatesAreAFifthOfASemitoneApart) {
  EXPECT_DOUBLE_EQ(state_position(STATE_BASE_HZ), 0.0);
  EXPECT_NEAR(state_position(2.0 * STATE_BASE_HZ), STATES_PER_OCTAVE, 1e-12);
  EXPECT_NEAR(state_hz(5.0) / state_hz(4.0), std::exp2(1.0 / 60.0), 1e-15);
  for (double hz : {50.0, 220.0, 1500.0}) EXPECT_NEAR(state_hz(state_position(hz)), hz, 1e-9);
  // The states reach past 50 .. 1500 Hz.
  EXPECT_LT(state_hz(0), 50.0);
  EXPECT_GT(state_hz(PITCH_STATES - 1), 1500.0);
}

TEST(PitchPath, FollowsASteadyCandidateAndCallsEmptyStepsUnvoiced) {
  EXPECT_TRUE(decode_pitch_path({}, kJump).empty());
  std::vector<PathStep> path = decode_pitch_path(steady(12, 200.0, 0.9), kJump);
  ASSERT_EQ(path.size(), 12u);
  for (const PathStep& step : path) {
    EXPECT_TRUE(step.voiced);
    EXPECT_EQ(step.state, state_of(200.0));
  }
  path = decode_pitch_path(Frames(8), kJump);
  for (const PathStep& step : path) EXPECT_FALSE(step.voiced);
}

TEST(PitchPath, OneStrayStepNeitherJumpsAnOctaveNorBreaksTheVoicing) {
  // Step 6 offers only the octave above. Following it would need 20 steps'
  // worth of moves; leaving the voicing twice costs log(0.01) each, more
  // than the floor's log(1e-4) against the unvoiced log(0.1 * 0.01).
  Frames frames = steady(13, 200.0, 0.9);
  frames[6] = {PitchCandidate{state_hz(state_of(400.0)), 0.9}};
  const std::vector<PathStep> path = decode_pitch_path(frames, kJump);
  for (const PathStep& step : path) {
    EXPECT_TRUE(step.voiced);
    EXPECT_EQ(step.state, state_of(200.0));
  }
}

TEST(PitchPath, ALongGapIsUnvoicedAndThePitchResumesAfterIt) {
  // Each empty step favours unvoiced by log(0.01 / 1e-4) = 4.6; ten of them
  // outweigh the two changes of voicing (9.2).
  Frames frames = steady(10, 300.0, 0.9);
  frames.insert(frames.end(), 10, {});
  const Frames after = steady(10, 300.0, 0.9);
  frames.insert(frames.end(), after.begin(), after.end());
  const std::vector<PathStep> path = decode_pitch_path(frames, kJump);
  for (size_t t = 0; t < path.size(); ++t) {
    const bool gap = t >= 10 && t < 20;
    EXPECT_EQ(path[t].voiced, !gap) << t;
    if (!gap) {
      EXPECT_EQ(path[t].state, state_of(300.0)) << t;
    }
  }
  // One empty step is bridged: it stays voiced at the pitch.
  Frames bridged = steady(10, 300.0, 0.9);
  bridged[5].clear();
  for (const PathStep& step : decode_pitch_path(bridged, kJump)) EXPECT_TRUE(step.voiced);
}

TEST(PitchPath, TracksAGlideWithinTheJumpAndPrefersTheLikelierCandidate) {
  Frames frames;
  const int start = state_of(150.0);
  for (int t = 0; t < 20; ++t) {
    // The glide moves 2 states a step; a weaker candidate a fifth above.
    frames.push_back({PitchCandidate{state_hz(start + 2 * t), 0.6}, PitchCandidate{state_hz(start + 2 * t + 35), 0.3}});
  }
  const std::vector<PathStep> path = decode_pitch_path(frames, kJump);
  for (int t = 0; t < 20; ++t) {
    EXPECT_TRUE(path[t].voiced);
    EXPECT_EQ(path[t].state, start + 2 * t) << t;
  }
  // Moving 5 states a step is out of reach of a jump of 3: the path lags.
  Frames fast;
  for (int t = 0; t < 10; ++t) fast.push_back({PitchCandidate{state_hz(start + 5 * t), 0.9}});
  const std::vector<PathStep> slow = decode_pitch_path(fast, kJump);
  for (int t = 1; t < 10; ++t) EXPECT_LE(std::abs(slow[t].state - slow[t - 1].state), kJump) << t;
}

}  // namespace
}  // namespace quillet
