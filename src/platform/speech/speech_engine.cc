#include "platform/speech/speech_engine.h"

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

void AnalyzerInputSequence::yield(AnalyzerInput input) {
  {
    MutexLock lock(mutex_);
    if (finished_) return;
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
