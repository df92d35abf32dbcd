// The level normalisation and the utterance limiter on synthetic audio.
#include "platform/pocketsphinx/level_normalizer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "platform/pocketsphinx/piece_cutter.h"
#include "platform/pocketsphinx/utterance_limiter.h"

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

TEST(PieceCutter, PiecesAreTheSameWhateverTheBufferSizes) {
  std::vector<std::int16_t> samples(10000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i);
  for (std::size_t buffer : {1u, 80u, 799u, 800u, 3000u, 10000u}) {
    PieceCutter cutter(800);
    std::vector<std::int16_t> seen;
    int pieces = 0;
    for (std::size_t at = 0; at < samples.size(); at += buffer) {
      const std::size_t n = std::min(buffer, samples.size() - at);
      cutter.append(std::span(samples.data() + at, n), [&](std::span<std::int16_t> piece) {
        EXPECT_EQ(piece.size(), 800u);
        seen.insert(seen.end(), piece.begin(), piece.end());
        ++pieces;
      });
    }
    EXPECT_EQ(pieces, 12) << buffer;
    const std::vector<std::int16_t> rest = cutter.takeRest();
    EXPECT_EQ(rest.size(), 400u) << buffer;
    seen.insert(seen.end(), rest.begin(), rest.end());
    EXPECT_EQ(seen, samples) << buffer;
    EXPECT_TRUE(cutter.takeRest().empty());
  }
}

// Pieces (of 50 ms) until the limiter ends an utterance of speech whose pieces range from -20
// to -16 dB, with a pause in the hypothesis after `pauseAfter` pieces and pieces at -40 dB
// after those in `quiet`.
std::size_t piecesUntilEnd(std::size_t pauseAfter, const std::set<std::size_t>& quiet) {
  UtteranceLimiter limiter(0.05);
  limiter.startUtterance();
  for (std::size_t n = 1; n < 10000; ++n) {
    const bool pause = limiter.wantsPauseTest() && n == pauseAfter;
    const double level = quiet.count(n) ? -40 : -20 + static_cast<double>(n % 5);
    if (limiter.endAfter(level, pause)) return n;
  }
  return 0;
}

TEST(UtteranceLimiter, EndsAtAPauseNearTheCapElseAtTheQuietestPieceElseAtTheCap) {
  EXPECT_EQ(piecesUntilEnd(100, {350}), 480u);     // an early pause is the recognizer's business
  EXPECT_EQ(piecesUntilEnd(330, {}), 330u);        // a pause from 16 s on ends it
  EXPECT_EQ(piecesUntilEnd(0, {350, 450}), 450u);  // after 20 s, a piece as quiet as any
  EXPECT_EQ(piecesUntilEnd(0, {}), 405u);          // the first as quiet as the quietest so far
  EXPECT_EQ(piecesUntilEnd(0, {350}), 480u);       // nothing as quiet after 20 s: the cap
  EXPECT_EQ(piecesUntilEnd(0, {200, 300}), 405u);  // quiet pieces before 16 s do not count
}

}  // namespace
}  // namespace quillmor_speech
