// The hand-over of decoded samples from the thread that decodes a file to the thread that reads
// it: a FIFO of samples in the processing format with a bound, the end of the stream and the
// status that ended it.
//
// Thread-safe: one producer (push, end) and one consumer (pop, close) at a time.
#pragma once

#include <cstdint>

#include "platform/audio_convert/ffmpeg_handles.h"
#include "platform/base/status.h"
#include "platform/base/thread_annotations.h"

namespace quillmor_speech {

// Bytes of samples the producer may run ahead of the consumer. A consumer that finds too few
// frames waits for half of this (or its request, if more), so that the threads hand over large
// batches and seldom wake each other.
inline constexpr int kReadAheadBytes = 1 << 20;

class SampleQueue {
 public:
  // Samples of `format` (planar or packed) with `channels` channels. ok() is false when the
  // queue's memory could not be had.
  SampleQueue(AVSampleFormat format, int channels);

  bool ok() const { return fifo_ != nullptr; }

  // Appends frames, first waiting while the queue holds kReadAheadBytes of samples or what the
  // consumer asks for, whichever is more. 0; AVERROR_EXIT once the consumer has closed the
  // queue (nothing is appended); another AVERROR when the memory cannot be had.
  int push(const std::uint8_t* const* planes, int frames) EXCLUDES(mutex_);

  // No more frames: the consumer gets the rest, then `status` (ok for the end of the file).
  void end(Status status) EXCLUDES(mutex_);

  // end() for a producer that ran out of memory, without allocating: the consumer gets the
  // rest, then the out-of-memory failure (made on the consumer's side).
  void endOutOfMemory() noexcept EXCLUDES(mutex_);

  // Moves up to `frames` frames into the planes, first waiting until that many are there or
  // the stream has ended. The number moved (0 only at the end), or the status that ended the
  // stream once it is empty and failed, or the FIFO's own failure.
  StatusOr<int> pop(void* const* planes, int frames) EXCLUDES(mutex_);

  // The consumer leaves: a waiting or later push returns AVERROR_EXIT.
  void close() EXCLUDES(mutex_);

 private:
  const int batchFrames_;  // half the read-ahead, in frames
  Mutex mutex_;
  CondVar changed_;
  const AVAudioFifoPtr fifo_ PT_GUARDED_BY(mutex_);  // set once; its samples are guarded
  int wanted_ GUARDED_BY(mutex_) = 0;                // frames the consumer waits for
  bool ended_ GUARDED_BY(mutex_) = false;
  bool closed_ GUARDED_BY(mutex_) = false;
  Status endStatus_ GUARDED_BY(mutex_);
  bool outOfMemory_ GUARDED_BY(mutex_) = false;  // ended by endOutOfMemory
};

}  // namespace quillmor_speech
