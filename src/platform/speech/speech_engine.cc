#include "platform/speech/speech_engine.h"

#include <cstring>

namespace quillmor_speech {

std::string SpeechTranscriptionResult::plainText() const {
  std::string plain;
  for (const TextRun& run : text) plain += run.text;
  return plain;
}

std::optional<SpeechTranscriptionResult> ResultSequence::next() {
  MutexLock lock(mutex_);
  while (pending_.empty() && !finished_ && !failure_) changed_.wait(mutex_);
  if (!pending_.empty()) {
    SpeechTranscriptionResult result = std::move(pending_.front());
    pending_.pop_front();
    return result;
  }
  if (failure_) throw SpeechError(*failure_);
  return std::nullopt;
}

void ResultSequence::deliver(SpeechTranscriptionResult result) {
  {
    MutexLock lock(mutex_);
    if (finished_ || failure_) return;
    pending_.push_back(std::move(result));
  }
  changed_.notifyAll();
}

void ResultSequence::finish() {
  {
    MutexLock lock(mutex_);
    if (failure_) return;
    finished_ = true;
  }
  changed_.notifyAll();
}

void ResultSequence::fail(const std::string& description) {
  {
    MutexLock lock(mutex_);
    if (finished_ || failure_) return;
    failure_ = description;
  }
  changed_.notifyAll();
}

namespace {

// Appends the frames of `from` to `into`, which has room for them; both have one format.
void appendFrames(AVAudioPCMBuffer& into, const AVAudioPCMBuffer& from) {
  const std::size_t offset = std::size_t{into.frameLength()} * from.bytesPerFrameInPlane();
  const std::size_t bytes = std::size_t{from.frameLength()} * from.bytesPerFrameInPlane();
  for (std::uint32_t plane = 0; plane < from.planeCount(); ++plane) {
    if (bytes > 0) std::memcpy(into.planeBytes(plane) + offset, from.planeBytes(plane), bytes);
  }
  into.setFrameLength(into.frameLength() + from.frameLength());
}

// Appends the frames of `input` to `last` when both are buffers of one format and the frames of
// both fit kJoinedBufferBytes; `last` is first replaced by a buffer of that size when it has no
// room. False, with nothing changed, otherwise (or when no buffer can be had).
bool joinInto(AnalyzerInput& last, const AnalyzerInput& input) {
  if (!last.buffer || !input.buffer || !(last.buffer->format() == input.buffer->format())) {
    return false;
  }
  const AVAudioPCMBuffer& from = *input.buffer;
  const std::size_t frameBytes = from.bytesPerFrameInPlane() * from.planeCount();
  if (frameBytes == 0) return false;
  const std::size_t fitting = kJoinedBufferBytes / frameBytes;
  const std::size_t frames = std::size_t{last.buffer->frameLength()} + from.frameLength();
  if (frames > fitting) return false;
  if (frames > last.buffer->frameCapacity()) {
    std::unique_ptr<AVAudioPCMBuffer> joined =
        AVAudioPCMBuffer::make(from.format(), static_cast<std::uint32_t>(fitting));
    if (!joined) return false;
    appendFrames(*joined, *last.buffer);
    last.buffer = std::move(joined);
  }
  appendFrames(*last.buffer, from);
  return true;
}

}  // namespace

void AnalyzerInputSequence::yield(AnalyzerInput input) {
  {
    MutexLock lock(mutex_);
    if (finished_) return;
    if (pending_.size() > kJoinAfterWaiting && joinInto(pending_.back(), input)) return;
    pending_.push_back(std::move(input));
  }
  changed_.notifyAll();
}

void AnalyzerInputSequence::finish() {
  {
    MutexLock lock(mutex_);
    finished_ = true;
  }
  changed_.notifyAll();
}

std::optional<AnalyzerInput> AnalyzerInputSequence::next() {
  MutexLock lock(mutex_);
  while (pending_.empty() && !finished_) changed_.wait(mutex_);
  if (pending_.empty()) return std::nullopt;
  AnalyzerInput input = std::move(pending_.front());
  pending_.pop_front();
  return input;
}

}  // namespace quillmor_speech
