#include "platform/pocketsphinx/piece_cutter.h"

#include <algorithm>

namespace quillmor_speech {

PieceCutter::PieceCutter(std::size_t pieceSamples) : piece_(pieceSamples) {}

void PieceCutter::append(std::span<const std::int16_t> samples,
                         const std::function<void(std::span<std::int16_t>)>& piece) {
  while (!samples.empty()) {
    const std::size_t take = std::min(samples.size(), piece_.size() - filled_);
    std::copy_n(samples.begin(), take, piece_.begin() + static_cast<std::ptrdiff_t>(filled_));
    filled_ += take;
    samples = samples.subspan(take);
    if (filled_ < piece_.size()) return;
    filled_ = 0;
    piece(std::span<std::int16_t>(piece_));
  }
}

std::vector<std::int16_t> PieceCutter::takeRest() {
  std::vector<std::int16_t> rest(piece_.begin(),
                                 piece_.begin() + static_cast<std::ptrdiff_t>(filled_));
  filled_ = 0;
  return rest;
}

}  // namespace quillmor_speech
