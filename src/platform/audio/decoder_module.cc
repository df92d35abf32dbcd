#include "platform/audio/decoder_module.h"

#include "platform/base/program_module.h"

namespace quillmor_speech {

namespace {

// The program's sink as the module calls it; an exception of the sink stops the decode as a
// failure, and never unwinds into the module.
struct SinkCall {
  const PcmSink& sink;
  Status failure;
  bool stopped = false;
};

int sinkTrampoline(void* context, const std::int16_t* samples, std::size_t count) noexcept {
  auto& call = *static_cast<SinkCall*>(context);
  try {
    try {
      call.failure = call.sink(std::span<const std::int16_t>(samples, count));
    } catch (...) {
      call.failure = currentExceptionStatus({kOutOfMemoryMessage, kUnexpectedFailureMessage});
    }
  } catch (...) {
    call.failure = Status::ok();  // nothing could be had to describe it
    call.stopped = true;
    return 1;
  }
  call.stopped = !call.failure.isOk();
  return call.stopped ? 1 : 0;
}

}  // namespace

Status decodePcmInModule(const std::string& path, const PcmSink& sink) {
  StatusOr<DecoderModuleEntry> entry = loadModuleEntry<DecoderModuleEntry>();
  if (!entry) return entry.status();
  SinkCall call{sink, Status::ok(), false};
  std::string message;
  const int code =
      entry->decodePcm(path.c_str(), &sinkTrampoline, &call, &setModuleMessage, &message);
  if (call.stopped) {
    return call.failure.isOk() ? Status::noMemory(kOutOfMemoryMessage)
                               : Status::error(call.failure.description());
  }
  if (code == static_cast<int>(StatusCode::ok)) return Status::ok();
  return Status::withCode(static_cast<StatusCode>(code), std::move(message));
}

}  // namespace quillmor_speech
