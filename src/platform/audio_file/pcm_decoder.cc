#include "platform/audio_file/pcm_decoder.h"

#include <cmath>
#include <limits>
#include <memory>

#include "platform/audio_convert/audio_converter.h"
#include "platform/audio_file/audio_file.h"

namespace quillmor_speech {

std::optional<std::uint32_t> decodeOutputCapacity(double sourceRate) {
  const double scaled =
      kDecodeTargetRate / sourceRate * static_cast<double>(kDecodeInputChunkFrames);
  const double limit =
      static_cast<double>(std::numeric_limits<std::uint32_t>::max() - kDecodeOutputSlackFrames);
  if (!std::isfinite(scaled) || scaled <= -1.0 || std::trunc(scaled) > limit) return std::nullopt;
  return static_cast<std::uint32_t>(std::trunc(scaled)) + kDecodeOutputSlackFrames;
}

namespace {

// The setup of a decode: the file, the converter and both buffers, all made before any sample
// is read.
struct DecodePipeline {
  std::unique_ptr<AVAudioFile> file;
  std::unique_ptr<AVAudioConverter> converter;
  std::unique_ptr<AVAudioPCMBuffer> input;
  std::unique_ptr<AVAudioPCMBuffer> output;
};

Status openPipeline(const std::string& path, DecodePipeline& p) {
  StatusOr<std::unique_ptr<AVAudioFile>> file =  // The target is mono: mixing as the samples leave
                                                 // the decoder halves what the queue, the
      // buffers and the resampler carry; the mean is the converter's own rule for one channel.
      AVAudioFile::openForReading(path, AVAudioFileChannels::meanMono);
  if (!file) return Status::unreadable(file.status().description());
  p.file = std::move(file).value();
  const AVAudioFormat target =
      *AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, kDecodeTargetRate, 1, true);
  const AVAudioFormat& source = p.file->processingFormat();
  p.converter = AVAudioConverter::make(source, target);
  const Status unsupported = Status::unsupported("no conversion to 16 kHz 16-bit mono");
  if (!p.converter) return unsupported;
  const Status noMemory = Status::noMemory("out of memory for the audio buffers");
  p.input = AVAudioPCMBuffer::make(source, kDecodeInputChunkFrames);
  if (!p.input) return noMemory;
  // The file refuses absurd rates on opening; an unrepresentable capacity is refused here too
  // rather than wrapped around.
  std::optional<std::uint32_t> capacity = decodeOutputCapacity(source.sampleRate());
  if (!capacity) return unsupported;
  p.output = AVAudioPCMBuffer::make(target, *capacity);
  if (!p.output) return noMemory;
  return Status::ok();
}

}  // namespace

Status decodePcm(const std::string& path, const PcmSink& sink) {
  DecodePipeline p;
  if (Status opened = openPipeline(path, p); !opened) return opened;
  // A read failure ends the input like the end of the file does and its error is dropped, but
  // for running out of memory: that ends the decode as a failure once what was read before it
  // has been delivered, never as a whole file.
  Status outOfMemory;
  auto inputBlock = [&](std::uint32_t, AVAudioConverterInputStatus& status) -> AVAudioPCMBuffer* {
    const Status read = p.file->read(*p.input, kDecodeInputChunkFrames);
    if (read.code() == StatusCode::noMemory) outOfMemory = read;
    if (!read.isOk() || p.input->frameLength() == 0) {
      status = AVAudioConverterInputStatus::endOfStream;
      return nullptr;
    }
    status = AVAudioConverterInputStatus::haveData;
    return p.input.get();
  };
  while (true) {
    StatusOr<AVAudioConverterOutputStatus> converted = p.converter->convert(*p.output, inputBlock);
    // A conversion or sink failure is reported with its message whatever its kind: the file
    // was readable and the buffers were had.
    if (!converted) return Status::error(converted.status().description());
    const std::int16_t* const* samples = p.output->int16ChannelData();
    if (p.output->frameLength() != 0 && samples) {
      Status written = sink(std::span<const std::int16_t>(samples[0], p.output->frameLength()));
      if (!written) return Status::error(written.description());
    }
    if (*converted == AVAudioConverterOutputStatus::endOfStream) {
      return outOfMemory.isOk() ? Status::ok() : Status::noMemory(outOfMemory.description());
    }
  }
}

}  // namespace quillmor_speech
