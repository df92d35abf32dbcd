#include "serve/frames.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quillmor_speech {

namespace {

// First step of a large payload; later steps double with what has arrived.
constexpr std::size_t kMinReadStep = 64 * 1024;

}  // namespace

std::optional<Bytes> readExactly(int fd, std::int64_t count) {
  Bytes accumulated;
  if (count < 1) return accumulated;
  const auto wanted = static_cast<std::uint64_t>(count);
  while (accumulated.size() < wanted) {
    std::size_t missing = static_cast<std::size_t>(wanted - accumulated.size());
    std::size_t step = std::min(missing, std::max(kMinReadStep, accumulated.size()));
    std::size_t before = accumulated.size();
    accumulated.resize(before + step);
    ssize_t n;
    do {
      n = ::read(fd, accumulated.data() + before, step);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {  // end of input, or a read error taken as one
      accumulated.resize(before);
      if (accumulated.empty()) return std::nullopt;
      return accumulated;
    }
    accumulated.resize(before + static_cast<std::size_t>(n));
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
