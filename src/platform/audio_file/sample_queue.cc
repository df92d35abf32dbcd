#include "platform/audio_file/sample_queue.h"

#include <algorithm>

#include "platform/audio_convert/ffmpeg_error.h"

namespace quillmor_speech {

namespace {

int batchFrames(AVSampleFormat format, int channels) {
  const int frameBytes = std::max(1, av_get_bytes_per_sample(format) * channels);
  return std::max(1, kReadAheadBytes / 2 / frameBytes);
}

}  // namespace

SampleQueue::SampleQueue(AVSampleFormat format, int channels)
    : batchFrames_(batchFrames(format, channels)),
      fifo_(av_audio_fifo_alloc(format, channels, 2 * batchFrames_)) {}

int SampleQueue::push(const std::uint8_t* const* planes, int frames) {
  MutexLock lock(mutex_);
  while (!closed_ && av_audio_fifo_size(fifo_.get()) >= std::max(2 * batchFrames_, wanted_)) {
    changed_.wait(mutex_);
  }
  if (closed_) return AVERROR_EXIT;
  if (frames <= 0) return 0;
  // av_audio_fifo_write only reads the samples.
  void** input = reinterpret_cast<void**>(const_cast<std::uint8_t**>(planes));
  int written = av_audio_fifo_write(fifo_.get(), input, frames);
  // The consumer is woken only when what it waits for is there, not for every decoded frame.
  if (wanted_ > 0 && av_audio_fifo_size(fifo_.get()) >= wanted_) changed_.notifyAll();
  return written < 0 ? written : 0;
}

void SampleQueue::end(Status status) {
  MutexLock lock(mutex_);
  ended_ = true;
  endStatus_ = std::move(status);
  changed_.notifyAll();
}

void SampleQueue::endOutOfMemory() noexcept {
  MutexLock lock(mutex_);
  ended_ = true;
  outOfMemory_ = true;
  changed_.notifyAll();
}

StatusOr<int> SampleQueue::pop(void* const* planes, int frames) {
  MutexLock lock(mutex_);
  if (!ended_ && av_audio_fifo_size(fifo_.get()) < frames) {
    wanted_ = std::max(frames, batchFrames_);
    changed_.notifyAll();  // a producer held at the read-ahead may go on to `wanted_`
    while (!ended_ && av_audio_fifo_size(fifo_.get()) < wanted_) changed_.wait(mutex_);
    wanted_ = 0;
  }
  const int available = std::min(frames, av_audio_fifo_size(fifo_.get()));
  if (available == 0 && frames > 0 && outOfMemory_) {
    return avError("cannot decode the audio", AVERROR(ENOMEM));
  }
  if (available == 0) return frames > 0 && !endStatus_.isOk() ? StatusOr<int>(endStatus_) : 0;
  int got = av_audio_fifo_read(fifo_.get(), const_cast<void**>(planes), available);
  changed_.notifyAll();
  if (got < 0) return avError("cannot read the audio", got);
  return got;
}

void SampleQueue::close() {
  MutexLock lock(mutex_);
  closed_ = true;
  changed_.notifyAll();
}

}  // namespace quillmor_speech
