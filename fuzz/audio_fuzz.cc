// decode's audio path on arbitrary file contents: the bytes become a file, which decodePcm opens,
// reads and converts to 16 kHz 16-bit mono exactly as decode does, with a sink that refuses
// more samples once a bound is passed. Nothing may crash, hang, leak or allocate without bound,
// and the decoder's promises are checked on every input.
//
// The seeds in corpus/audio are 0.1 s tones made with Debian's ffmpeg (8 kHz mono as WAV, FLAC
// with its padding block removed, MP3, Ogg Vorbis, Opus and AAC in M4A; 11025 Hz stereo float
// WAV), a few KB each.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/audio_convert/audio_converter.h"
#include "platform/audio_file/pcm_decoder.h"

using namespace quillmor_speech;

namespace {

// 60 s of output; a few KB of FLAC or MP3 can describe hours of audio.
constexpr std::uint64_t kMaxOutputFrames = 60 * 16000;

[[noreturn]] void broken(const char* promise) {
  std::fprintf(stderr, "audio_fuzz: broken promise: %s\n", promise);
  std::abort();
}

// The input as a regular file (the audio layer opens nothing else); removed by the destructor.
class TempFile {
 public:
  TempFile(const std::uint8_t* data, std::size_t size) {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir && *dir ? dir : "/tmp") + "/audio_fuzz-XXXXXX";
    int fd = mkstemp(path_.data());
    if (fd < 0) {
      path_.clear();
      return;
    }
    std::size_t done = 0;
    while (done < size) {
      ssize_t n = write(fd, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    close(fd);
    if (done != size) {
      unlink(path_.c_str());
      path_.clear();
    }
  }
  ~TempFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void decodeBounded(const std::string& path) {
  // No source rate gives a larger output buffer than the lowest one the file accepts.
  const std::uint32_t largestCall = *decodeOutputCapacity(kMinSampleRate);
  std::uint64_t produced = 0;
  bool refused = false;
  const PcmSink sink = [&](std::span<const std::int16_t> samples) {
    if (refused) broken("no samples after the sink failed");
    if (samples.empty()) broken("the sink is never given nothing");
    if (samples.size() > largestCall) broken("one call's samples fit the output buffer");
    produced += samples.size();
    if (produced <= kMaxOutputFrames) return Status::ok();
    refused = true;
    return Status::error("enough");
  };
  const Status result = decodePcm(path, sink);
  switch (result.code()) {
    case StatusCode::ok:
      if (refused) broken("a failing sink ends the decode");
      break;
    case StatusCode::unreadable:
      if (result.description().empty()) broken("a refusal has a reason");
      if (produced != 0) broken("an unreadable file gives no samples");
      break;
    case StatusCode::unsupported:
    case StatusCode::noMemory:
      broken("every opened file converts to 16 kHz mono in buffers that can be had");
    case StatusCode::failed:
      // A conversion error, or the sink's refusal, kept as it was given.
      if (result.description().empty()) broken("a conversion error has a reason");
      if (refused && result.description() != "enough") broken("the sink's error is kept");
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TempFile file(data, size);
  if (file.ok()) decodeBounded(file.path());
  return 0;
}
