#include "platform/speech/speech_engine.h"

namespace quillmor_speech {

std::string SpeechTranscriptionResult::plainText() const {
  std::string plain;
  for (const TextRun& run : text) plain += run.text;
  return plain;
}

std::optional<SpeechTranscriptionResult> ResultSequence::next() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !pending_.empty() || finished_ || failure_; });
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
    std::lock_guard lock(mutex_);
    if (finished_ || failure_) return;
    pending_.push_back(std::move(result));
  }
  changed_.notify_all();
}

void ResultSequence::finish() {
  {
    std::lock_guard lock(mutex_);
    if (failure_) return;
    finished_ = true;
  }
  changed_.notify_all();
}

void ResultSequence::fail(const std::string& description) {
  {
    std::lock_guard lock(mutex_);
    if (finished_ || failure_) return;
    failure_ = description;
  }
  changed_.notify_all();
}

void AnalyzerInputSequence::yield(AnalyzerInput input) {
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    if (input.buffer) {
      pendingBytes_ += std::size_t{input.buffer->frameLength()} *
                       input.buffer->bytesPerFrameInPlane() * input.buffer->planeCount();
    }
    pending_.push_back(std::move(input));
  }
  changed_.notify_all();
}

void AnalyzerInputSequence::finish() {
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  changed_.notify_all();
}

std::optional<AnalyzerInput> AnalyzerInputSequence::next() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !pending_.empty() || finished_; });
  if (pending_.empty()) return std::nullopt;
  AnalyzerInput input = std::move(pending_.front());
  pending_.pop_front();
  if (input.buffer) {
    pendingBytes_ -= std::size_t{input.buffer->frameLength()} *
                     input.buffer->bytesPerFrameInPlane() * input.buffer->planeCount();
  }
  return input;
}

std::size_t AnalyzerInputSequence::pendingBytes() {
  std::lock_guard lock(mutex_);
  return pendingBytes_;
}

}  // namespace quillmor_speech
