#include "decode/decode.h"

#include <unistd.h>

#include "app/output.h"
#include "app/process.h"
#include "platform/audio/decoder_module.h"

namespace quillmor_speech {

void decode(const std::string& path) {
  // The host is little-endian, so the samples are already in wire order. A write that fails
  // ends the process inside writeAll. Under stdoutLock, so that an error line written by
  // another thread (at SIGTERM) never cuts a block of samples.
  const PcmSink toStdout = [](std::span<const std::int16_t> samples) {
    std::lock_guard lock(stdoutLock);
    writeAll(STDOUT_FILENO, samples.data(), samples.size_bytes());
    return Status::ok();
  };
  const PcmDecodeResult result = decodePcmInModule(path, toStdout);
  switch (result.failure) {
    case PcmDecodeFailure::none:
      return;
    case PcmDecodeFailure::unreadable:
      fail("decode_unsupported", "这个音频格式系统解不开：" + result.status.description());
    case PcmDecodeFailure::unsupported:
      fail("decode_unsupported", "这个音频格式系统解不开");
    case PcmDecodeFailure::noMemory:
      fail("decode_failed", kOutOfMemoryMessage);
    case PcmDecodeFailure::conversion:
    case PcmDecodeFailure::sink:
    case PcmDecodeFailure::noDecoder:
      fail("decode_failed", result.status.description());
  }
}

}  // namespace quillmor_speech
