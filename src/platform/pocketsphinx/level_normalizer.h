// A slow automatic gain in front of the decoder: speech recorded far below a normal level
// (a laptop microphone at low gain) is brought up to where the acoustic model was trained.
//
// The gain is set from the loudest piece of the last 10 s of audio, and only once that piece
// stands clearly above the background of the same stretch (so that a quiet room before the
// first word is not amplified). It is never below 1 (audio at a normal level passes unchanged)
// and at most 40 dB; it rises by at most 1.5 dB per piece and falls at once when louder audio
// arrives, so that it neither clips nor follows single syllables. Samples are saturated to the
// 16-bit range.
//
// Thread safety: none; one normalizer belongs to one recognition.
#pragma once

#include <cstdint>
#include <deque>
#include <span>

namespace quillmor_speech {

// The RMS level of the samples in dB relative to full scale; -120 for digital silence or no
// samples.
double levelDb(std::span<const std::int16_t> samples);

class LevelNormalizer {
 public:
  // pieceSeconds: the duration of the pieces given to apply (for the 10 s window and the rise).
  explicit LevelNormalizer(double pieceSeconds);

  // Applies the gain to one piece in place, ramping from the previous gain when it rises.
  void apply(std::span<std::int16_t> piece);

  // The gain, in dB, applied at the end of the last piece.
  double gainDb() const { return gainDb_; }

 private:
  double desiredGainDb() const;

  std::size_t windowPieces_;
  double risePerPieceDb_;
  std::deque<double> levels_;  // the levels of the recent pieces, oldest first
  double gainDb_ = 0;
};

}  // namespace quillmor_speech
