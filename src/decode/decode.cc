#include "decode/decode.h"

#include <unistd.h>

#include "output/output.h"
#include "output/process.h"
#include "platform/audio/decoder_module.h"

namespace quillmor_speech {

void decode(const std::string& path) {
  // The host is little-endian, so the samples are already in wire order. A write that fails
  // ends the process inside writeAllOrExit. Under stdoutLock, so that an error line written by
  // another thread (at SIGTERM) never cuts a block of samples.
  const PcmSink toStdout = [](std::span<const std::int16_t> samples) {
    std::lock_guard lock(stdoutLock);
    writeAllOrExit(STDOUT_FILENO, samples.data(), samples.size_bytes());
    return Status::ok();
  };
  const Status decoded = decodePcmInModule(path, toStdout);
  switch (decoded.code()) {
    case StatusCode::ok:
      return;
    case StatusCode::unreadable:
      fail("decode_unsupported", "这个音频格式系统解不开：" + decoded.description());
    case StatusCode::unsupported:
      fail("decode_unsupported", "这个音频格式系统解不开");
    case StatusCode::noMemory:
      fail("decode_failed", kOutOfMemoryMessage);
    case StatusCode::failed:
      break;
  }
  fail("decode_failed", decoded.description());
}

}  // namespace quillmor_speech
