#include "serve/frames.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace quillmor_speech {

namespace {

// The most asked of one read. Reads land in a chunk of this size at most and are appended from
// there, so the payload's buffer holds only bytes that arrived and grows geometrically with them
// (the vector's own growth), never zero-filled ahead of a read and never sized by the announced
// length.
constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

std::optional<Bytes> readExactly(int fd, std::int64_t count) {
  Bytes accumulated;
  if (count < 1) return accumulated;
  const auto wanted = static_cast<std::uint64_t>(count);
  // Left uninitialised: only the bytes a read returns are ever looked at.
  const std::size_t chunkSize =
      static_cast<std::size_t>(std::min<std::uint64_t>(wanted, kReadChunk));
  std::unique_ptr<std::uint8_t[]> chunk = std::make_unique_for_overwrite<std::uint8_t[]>(chunkSize);
  while (accumulated.size() < wanted) {
    std::size_t step =
        static_cast<std::size_t>(std::min<std::uint64_t>(wanted - accumulated.size(), chunkSize));
    ssize_t n;
    do {
      n = ::read(fd, chunk.get(), step);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {  // end of input, or a read error taken as one
      if (accumulated.empty()) return std::nullopt;
      return accumulated;
    }
    accumulated.insert(accumulated.end(), chunk.get(), chunk.get() + n);
  }
  return accumulated;
}

std::optional<Frame> readFrame(int fd) {
  std::optional<Bytes> header = readExactly(fd, 5);
  if (!header || header->size() != 5) return std::nullopt;
  const Bytes& h = *header;
  std::uint32_t length = (std::uint32_t{h[1]} << 24) | (std::uint32_t{h[2]} << 16) |
                         (std::uint32_t{h[3]} << 8) | std::uint32_t{h[4]};
  Frame frame;
  frame.type = h[0];
  if (length == 0) return frame;
  std::optional<Bytes> payload = readExactly(fd, length);
  if (!payload || payload->size() != length) return std::nullopt;
  frame.payload = std::move(*payload);
  return frame;
}

}  // namespace quillmor_speech
