// The piece cutter: fixed-size pieces out of buffers of any size.
#include "platform/pocketsphinx/piece_cutter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace quillmor_speech {
namespace {

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

}  // namespace
}  // namespace quillmor_speech
