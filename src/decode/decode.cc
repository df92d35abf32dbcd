#include "decode/decode.h"

#include <unistd.h>

#include <cmath>
#include <limits>

#include "app/output.h"
#include "platform/audio/audio_converter.h"
#include "platform/audio/audio_file.h"

namespace quillmor_speech {

std::optional<std::uint32_t> decodeOutputCapacity(double sourceRate) {
  const double scaled =
      kDecodeTargetRate / sourceRate * static_cast<double>(kDecodeInputChunkFrames);
  const double limit =
      static_cast<double>(std::numeric_limits<std::uint32_t>::max() - kDecodeOutputSlackFrames);
  if (!std::isfinite(scaled) || scaled <= -1.0 || std::trunc(scaled) > limit) return std::nullopt;
  return static_cast<std::uint32_t>(std::trunc(scaled)) + kDecodeOutputSlackFrames;
}

void decode(const std::string& path) {
  std::optional<NSError> openError;
  std::unique_ptr<AVAudioFile> file = AVAudioFile::openForReading(path, openError);
  if (!file) {
    fail("decode_unsupported", "这个音频格式系统解不开：" +
                                   (openError ? openError->localizedDescription : std::string()));
  }
  const AVAudioFormat target =
      *AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, kDecodeTargetRate, 1, true);
  const AVAudioFormat& source = file->processingFormat();
  std::unique_ptr<AVAudioConverter> converter = AVAudioConverter::make(source, target);
  if (!converter) fail("decode_unsupported", "这个音频格式系统解不开");
  std::unique_ptr<AVAudioPCMBuffer> input = AVAudioPCMBuffer::make(source, kDecodeInputChunkFrames);
  if (!input) fail("decode_failed", "申请不到内存");
  // The file refuses absurd rates on opening; an unrepresentable capacity is refused here too
  // rather than wrapped around.
  std::optional<std::uint32_t> capacity = decodeOutputCapacity(source.sampleRate());
  if (!capacity) fail("decode_unsupported", "这个音频格式系统解不开");
  std::unique_ptr<AVAudioPCMBuffer> output = AVAudioPCMBuffer::make(target, *capacity);
  if (!output) fail("decode_failed", "申请不到内存");

  // A read failure ends the input like the end of the file does; its error is dropped.
  auto inputBlock = [&](std::uint32_t, AVAudioConverterInputStatus& status) -> AVAudioPCMBuffer* {
    std::optional<NSError> readError;
    if (!file->read(*input, kDecodeInputChunkFrames, readError) || input->frameLength() == 0) {
      status = AVAudioConverterInputStatus::endOfStream;
      return nullptr;
    }
    status = AVAudioConverterInputStatus::haveData;
    return input.get();
  };

  while (true) {
    std::optional<NSError> error;
    AVAudioConverterOutputStatus status = converter->convert(*output, error, inputBlock);
    if (error) fail("decode_failed", error->localizedDescription);
    const std::int16_t* const* samples = output->int16ChannelData();
    if (output->frameLength() != 0 && samples) {
      // The host is little-endian, so the samples are already in wire order.
      writeAll(STDOUT_FILENO, samples[0], std::size_t{output->frameLength()} * 2);
    }
    if (status == AVAudioConverterOutputStatus::endOfStream ||
        status == AVAudioConverterOutputStatus::error) {
      return;
    }
  }
}

}  // namespace quillmor_speech
