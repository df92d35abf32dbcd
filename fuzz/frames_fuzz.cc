// serve's standard input as a whole byte stream: every frame is read in turn, and the first is
// decoded as a start request. Nothing may crash, hang or allocate without bound.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "serve/frames.h"
#include "serve/start_request.h"

using namespace quillmor_speech;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int fd = memfd_create("stdin", 0);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  lseek(fd, 0, SEEK_SET);
  std::size_t consumed = 0;
  bool first = true;
  while (std::optional<Frame> frame = readFrame(fd)) {
    consumed += 5 + frame->payload.size();
    if (consumed > size) std::abort();  // a frame cannot hold more than the stream
    if (first) {
      std::optional<StartRequest> request = decodeStartRequest(frame->payload);
      if (request && frame->payload.empty()) std::abort();  // an empty payload is never valid
      // JSON text never holds a NUL byte, before, inside or after the object.
      if (request &&
          std::find(frame->payload.begin(), frame->payload.end(), 0) != frame->payload.end()) {
        std::abort();
      }
      first = false;
    }
    if (frame->type == static_cast<std::uint8_t>(FrameType::end)) break;
  }
  close(fd);
  return 0;
}
