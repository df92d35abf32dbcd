// decode's audio path on arbitrary file contents: the bytes become a file, which is opened, read
// in chunks of 16384 frames and converted to 16 kHz 16-bit mono exactly as decode does, up to a
// bound on the output. Nothing may crash, hang, leak or allocate without bound, and the audio
// layer's promises are checked on every input.
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

#include "decode/decode.h"
#include "platform/audio/audio_converter.h"
#include "platform/audio/audio_file.h"

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
  std::optional<NSError> openError;
  std::unique_ptr<AVAudioFile> file = AVAudioFile::openForReading(path, openError);
  if (!file) {
    if (!openError || openError->localizedDescription.empty()) broken("a refusal has a reason");
    return;
  }
  const AVAudioFormat& source = file->processingFormat();
  if (!isSupportedSampleRate(source.sampleRate())) broken("opened files have supported rates");
  if (source.channelCount() < 1 || source.channelCount() > kMaxChannelCount) {
    broken("opened files have 1 to 64 channels");
  }
  const AVAudioFormat target =
      *AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, kDecodeTargetRate, 1, true);
  std::unique_ptr<AVAudioConverter> converter = AVAudioConverter::make(source, target);
  if (!converter) broken("every opened file converts to 16 kHz mono");
  std::unique_ptr<AVAudioPCMBuffer> input = AVAudioPCMBuffer::make(source, kDecodeInputChunkFrames);
  std::optional<std::uint32_t> capacity = decodeOutputCapacity(source.sampleRate());
  if (!input || !capacity) broken("buffers for an opened file can be had");
  std::unique_ptr<AVAudioPCMBuffer> output = AVAudioPCMBuffer::make(target, *capacity);
  if (!output) broken("the output buffer can be had");

  bool ended = false;
  auto inputBlock = [&](std::uint32_t, AVAudioConverterInputStatus& status) -> AVAudioPCMBuffer* {
    if (ended) broken("the file is not read after its end");
    std::optional<NSError> readError;
    const bool read = file->read(*input, kDecodeInputChunkFrames, readError);
    if (read == readError.has_value()) broken("a read fails exactly when it reports an error");
    if (input->frameLength() > kDecodeInputChunkFrames) broken("a read fits the chunk");
    if (!read || input->frameLength() == 0) {
      ended = true;
      status = AVAudioConverterInputStatus::endOfStream;
      return nullptr;
    }
    status = AVAudioConverterInputStatus::haveData;
    return input.get();
  };

  std::uint64_t produced = 0;
  while (produced <= kMaxOutputFrames) {
    std::optional<NSError> error;
    AVAudioConverterOutputStatus status = converter->convert(*output, error, inputBlock);
    if (output->frameLength() > output->frameCapacity()) broken("output fits its buffer");
    if (error) {
      if (status != AVAudioConverterOutputStatus::error || output->frameLength() != 0) {
        broken("a conversion error comes alone");
      }
      return;  // decode ends with decode_failed here
    }
    if (output->frameLength() != 0 && !output->int16ChannelData()) broken("samples are int16");
    produced += output->frameLength();
    if (status == AVAudioConverterOutputStatus::endOfStream) {
      if (output->frameLength() != 0) broken("the end carries no frames");
      return;
    }
    if (status == AVAudioConverterOutputStatus::error) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TempFile file(data, size);
  if (file.ok()) decodeBounded(file.path());
  return 0;
}
