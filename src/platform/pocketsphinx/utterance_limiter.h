// Where an utterance that runs on without a pause is ended, so that continuous speech (a
// meeting, a lecture with talk behind it) still gets a final result at least every 24 s of
// audio, and the cost of each volatile result stays bounded.
//
// The decision is made piece by piece as the audio is fed, so that the audio after the end of
// one utterance is simply the beginning of the next: none is dropped or decoded twice. From 16 s
// into an utterance, it ends at the first piece after which the hypothesis ends in a pause
// (silence or a filler of at least 0.1 s); from 20 s, at the first piece no louder than the
// quietest piece of the 16-20 s stretch; at 24 s, whatever the audio.
//
// Thread safety: none; one limiter belongs to one recognition.
#pragma once

#include <cstddef>

namespace quillmor_speech {

class UtteranceLimiter {
 public:
  // pieceSeconds: the duration of each piece fed.
  explicit UtteranceLimiter(double pieceSeconds);

  // An utterance begins with the next piece.
  void startUtterance();

  // Whether the pause test of the hypothesis is worth making for the next piece (only near the
  // cap, since it costs a walk of the hypothesis).
  bool wantsPauseTest() const;

  // Called after each piece of an utterance has been fed, with the piece's level in dB and
  // whether the hypothesis now ends in a pause (false when not tested). True when the utterance
  // is to end after this piece.
  bool endAfter(double pieceLevelDb, bool endsInPause);

 private:
  std::size_t seekPauseFrom_;
  std::size_t seekQuietFrom_;
  std::size_t hardCap_;
  std::size_t pieces_ = 0;    // fed in the current utterance
  double quietestDb_ = 1000;  // the quietest piece from seekPauseFrom_ to seekQuietFrom_
};

}  // namespace quillmor_speech
