#include "platform/pocketsphinx/utterance_limiter.h"

#include <algorithm>
#include <cmath>

namespace quillmor_speech {

namespace {

constexpr double kSeekPauseFromSeconds = 16;
constexpr double kSeekQuietFromSeconds = 20;
constexpr double kHardCapSeconds = 24;

std::size_t piecesIn(double seconds, double pieceSeconds) {
  return static_cast<std::size_t>(std::lround(seconds / pieceSeconds));
}

}  // namespace

UtteranceLimiter::UtteranceLimiter(double pieceSeconds)
    : seekPauseFrom_(piecesIn(kSeekPauseFromSeconds, pieceSeconds)),
      seekQuietFrom_(piecesIn(kSeekQuietFromSeconds, pieceSeconds)),
      hardCap_(piecesIn(kHardCapSeconds, pieceSeconds)) {}

void UtteranceLimiter::startUtterance() {
  pieces_ = 0;
  quietestDb_ = 1000;
}

bool UtteranceLimiter::wantsPauseTest() const { return pieces_ + 1 >= seekPauseFrom_; }

bool UtteranceLimiter::endAfter(double pieceLevelDb, bool endsInPause) {
  ++pieces_;
  if (pieces_ < seekPauseFrom_) return false;
  if (pieces_ >= hardCap_ || endsInPause) return true;
  if (pieces_ <= seekQuietFrom_) {
    quietestDb_ = std::min(quietestDb_, pieceLevelDb);
    return false;
  }
  return pieceLevelDb <= quietestDb_;
}

}  // namespace quillmor_speech
