// Frames on the standard input of serve: a type byte, a 4-byte big-endian payload length, then
// the payload. Frames follow one another with nothing in between.
//
// Reads block until their bytes arrive or the input ends, and never ask for more than the frame
// being read still needs, so nothing beyond it is taken from the descriptor. Interrupted reads
// are retried; a read error counts as the end of the input. Not thread-safe: one reader per
// descriptor.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace quillmor_speech {

using Bytes = std::vector<std::uint8_t>;

enum class FrameType : std::uint8_t { start = 1, audio = 2, end = 3 };

struct Frame {
  std::uint8_t type = 0;  // not validated here; 0 and 4 to 255 are possible
  Bytes payload;
};

// Exactly count bytes; fewer (at least one) when the input ends part-way; nothing when it ends
// before the first byte; an empty buffer, without reading, when count < 1. The buffer grows
// geometrically with the bytes that actually arrive, each copied once more at most per doubling,
// so a large count costs time and memory only as data comes in, from a pipe as from a file.
std::optional<Bytes> readExactly(int fd, std::int64_t count);

// One whole frame, or nothing when the input ends before or inside it (the bytes of a truncated
// frame are discarded). A length of 0 gives an empty payload after exactly 5 bytes.
std::optional<Frame> readFrame(int fd);

}  // namespace quillmor_speech
