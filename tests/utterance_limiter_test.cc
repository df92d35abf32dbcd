// The utterance limiter: where an utterance that goes on too long is ended.
#include "platform/pocketsphinx/utterance_limiter.h"

#include <gtest/gtest.h>

#include <set>

namespace quillmor_speech {
namespace {

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
