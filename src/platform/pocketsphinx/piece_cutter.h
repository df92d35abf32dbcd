// Cuts audio that arrives in buffers of any size into pieces of one fixed size, so that what the
// decoder is given, and when the recognizer looks at its state, does not depend on how the host
// happens to buffer its audio.
//
// Thread safety: none; one cutter belongs to one recognition.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace quillmor_speech {

class PieceCutter {
 public:
  // pieceSamples must be positive.
  explicit PieceCutter(std::size_t pieceSamples);

  // Takes the samples in order and calls `piece` once for every complete piece, with the
  // piece's samples (which it may change in place). Samples that do not yet fill a piece are
  // kept for the next call. Exceptions from `piece` propagate; the piece is then consumed.
  void append(std::span<const std::int16_t> samples,
              const std::function<void(std::span<std::int16_t>)>& piece);

  // The samples kept back (fewer than one piece); they are removed from the cutter. Used at
  // the end of the input.
  std::vector<std::int16_t> takeRest();

 private:
  std::vector<std::int16_t> piece_;
  std::size_t filled_ = 0;
};

}  // namespace quillmor_speech
