// The level normalisation on synthetic audio.
#include "platform/pocketsphinx/level_normalizer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace quillmor_speech {
namespace {

constexpr std::size_t kPiece = 800;  // 50 ms at 16 kHz

// A 50 ms piece of a 440 Hz tone at the RMS level given (dBFS), or digital silence.
std::vector<std::int16_t> tone(double rmsDb, std::size_t at = 0) {
  std::vector<std::int16_t> piece(kPiece);
  if (rmsDb <= -120) return piece;
  const double amplitude = std::pow(10.0, rmsDb / 20) * 32768 * std::sqrt(2.0);
  for (std::size_t i = 0; i < kPiece; ++i) {
    piece[i] = static_cast<std::int16_t>(std::lround(amplitude * std::sin((at + i) * 0.1728)));
  }
  return piece;
}

// Feeds `seconds` of alternating tone (speech-like: 0.3 s at the level, 0.2 s of silence) and
// returns the level of the last loud piece after normalisation.
double normalisedLevel(LevelNormalizer& normalizer, double rmsDb, double seconds) {
  double last = -120;
  for (std::size_t n = 0; n < static_cast<std::size_t>(seconds * 20); ++n) {
    std::vector<std::int16_t> piece = tone(n % 10 < 6 ? rmsDb : -120, n * kPiece);
    normalizer.apply(piece);
    if (n % 10 < 6) last = levelDb(piece);
  }
  return last;
}

TEST(LevelNormalizer, RaisesQuietSpeechLeavesNormalSpeechAndStaysBounded) {
  struct Case {
    double inputDb;
    double expectedDb;  // the level after 3 s
    double tolerance;
  };
  const std::vector<Case> cases = {
      {-20, -20, 0.01},  // normal level: untouched
      {-30, -24, 0.5},   // a little quiet: raised to the target
      {-58, -24, 0.5},   // a laptop microphone at low gain
      {-75, -35, 0.5},   // beyond the largest gain: raised by 40 dB only
  };
  for (const Case& c : cases) {
    LevelNormalizer normalizer(0.05);
    EXPECT_NEAR(normalisedLevel(normalizer, c.inputDb, 3), c.expectedDb, c.tolerance) << c.inputDb;
  }
}

TEST(LevelNormalizer, SteadyBackgroundIsNotRaisedAndLoudSpeechLowersTheGainAtOnce) {
  LevelNormalizer normalizer(0.05);
  for (int n = 0; n < 40; ++n) {  // 2 s of a steady hum, no speech
    std::vector<std::int16_t> piece = tone(-60, n * kPiece);
    normalizer.apply(piece);
  }
  EXPECT_EQ(normalizer.gainDb(), 0);
  normalisedLevel(normalizer, -50, 2);
  EXPECT_GT(normalizer.gainDb(), 20);
  std::vector<std::int16_t> loud = tone(-10);
  normalizer.apply(loud);
  EXPECT_EQ(normalizer.gainDb(), 0);
  EXPECT_NEAR(levelDb(loud), -10, 0.01);
}

}  // namespace
}  // namespace quillmor_speech
