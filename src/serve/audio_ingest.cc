#include "serve/audio_ingest.h"

#include <cmath>
#include <cstring>

#include "output/output.h"
#include "platform/audio_convert/audio_converter.h"

namespace quillmor_speech {

std::optional<AVAudioFormat> hostInputFormat(double sampleRate) {
  if (!isSupportedSampleRate(sampleRate)) return std::nullopt;
  return AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, sampleRate, 1, true);
}

std::optional<std::uint32_t> convertedCapacity(double analyzerRate, std::uint32_t frames,
                                               double inputRate) {
  double scaled = std::trunc(analyzerRate * static_cast<double>(frames) / inputRate);
  if (!std::isfinite(scaled) || scaled < 0 || scaled > 4294967295.0 - 1024) return std::nullopt;
  return static_cast<std::uint32_t>(scaled) + 1024;
}

namespace {

// One audio frame's samples in a buffer of the input format, or nothing when no buffer can be
// had. A last odd byte is dropped.
std::unique_ptr<AVAudioPCMBuffer> inputBuffer(const AVAudioFormat& format, const Bytes& payload) {
  auto frames = static_cast<std::uint32_t>(payload.size() / 2);
  std::unique_ptr<AVAudioPCMBuffer> buffer = AVAudioPCMBuffer::make(format, frames);
  if (!buffer) return nullptr;
  buffer->setFrameLength(frames);
  if (frames > 0) std::memcpy(buffer->planeBytes(0), payload.data(), std::size_t{frames} * 2);
  return buffer;
}

// Converts one frame's buffer with the session's converter, giving it exactly this buffer and
// then "no data now", so the converter keeps its state for the next frame. Nothing when the
// frame is dropped (no output buffer, a conversion error) or produced no frames.
std::unique_ptr<AVAudioPCMBuffer> convertFrame(AVAudioConverter& converter,
                                               const AVAudioFormat& analyzerFormat,
                                               AVAudioPCMBuffer& input, double inputRate) {
  std::optional<std::uint32_t> capacity =
      convertedCapacity(analyzerFormat.sampleRate(), input.frameLength(), inputRate);
  if (!capacity) return nullptr;
  std::unique_ptr<AVAudioPCMBuffer> output = AVAudioPCMBuffer::make(analyzerFormat, *capacity);
  if (!output) return nullptr;
  bool supplied = false;
  StatusOr<AVAudioConverterOutputStatus> converted = converter.convert(
      *output, [&](std::uint32_t, AVAudioConverterInputStatus& status) -> AVAudioPCMBuffer* {
        if (supplied) {
          status = AVAudioConverterInputStatus::noDataNow;
          return nullptr;
        }
        supplied = true;
        status = AVAudioConverterInputStatus::haveData;
        return &input;
      });
  if (!converted || output->frameLength() == 0) return nullptr;
  // The output buffer has a margin of 1024 frames; a buffer waiting in the input sequence should
  // cost only the samples it holds.
  output->shrinkToFit();
  return output;
}

}  // namespace

void streamAudio(int fd, const AVAudioFormat& inputFormat, const AVAudioFormat& analyzerFormat,
                 SpeechAnalyzer& analyzer, AnalyzerInputSequence& input, ResultTask& resultTask) {
  std::unique_ptr<AVAudioConverter> converter;
  if (!(inputFormat == analyzerFormat))
    converter = AVAudioConverter::make(inputFormat, analyzerFormat);
  for (;;) {
    std::optional<Frame> frame = readFrame(fd);
    if (!frame || frame->type == static_cast<std::uint8_t>(FrameType::end)) break;
    if (frame->type != static_cast<std::uint8_t>(FrameType::audio)) continue;
    if (frame->payload.empty()) continue;
    std::unique_ptr<AVAudioPCMBuffer> buffer = inputBuffer(inputFormat, frame->payload);
    frame->payload = Bytes();  // the samples now live in the buffer
    if (!buffer) continue;
    if (inputFormat == analyzerFormat) {
      input.yield(AnalyzerInput(std::move(buffer)));
      continue;
    }
    if (!converter) continue;
    if (std::unique_ptr<AVAudioPCMBuffer> converted =
            convertFrame(*converter, analyzerFormat, *buffer, inputFormat.sampleRate())) {
      input.yield(AnalyzerInput(std::move(converted)));
    }
  }
  input.finish();
  try {
    analyzer.finalizeAndFinishThroughEndOfInput();
  } catch (...) {
    failFromCurrentException("recognition_failed");
  }
  resultTask.join();
  emitEvent({{"type", std::string("done")}});
}

}  // namespace quillmor_speech
