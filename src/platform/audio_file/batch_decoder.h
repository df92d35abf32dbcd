// Decoding of a stream whose packets decode apart (decodesPacketsApart) on several threads at
// once: the packets go in batches to a pool of workers, each with a decoder of its own, and the
// outcomes come back batch by batch in the order the batches went in. The outcomes of one
// packet are what one decoder given that packet alone gives: its frames and its failures.
// A batch may ask for its frames as the mean of their channels (channel_mix.h) where a frame is
// at a given rate: the worker then mixes each such frame while it is fresh in its cache, and
// hands out half the samples or fewer.
//
// Thread-safe for one caller (submit, takeOldest) beside the workers it owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "platform/audio_file/audio_input.h"
#include "platform/base/thread_annotations.h"

namespace quillmor_speech {

// One outcome of decoding a packet: a frame, or the AVERROR that sending the packet or
// receiving a frame gave.
struct DecodedItem {
  AVFramePtr frame;
  int error = 0;
};

// A batch ends at this many packets, or at these many frames by the packets' durations, or at
// these many packet bytes, whichever comes first: large enough that handing a batch over costs
// little beside decoding it (a FLAC frame takes about 80 microseconds), small enough that the
// batches in flight hold little.
inline constexpr std::size_t kBatchPackets = 8;
inline constexpr std::int64_t kBatchFrames = 65536;
inline constexpr std::size_t kBatchBytes = 1 << 20;

class BatchDecoder {
 public:
  // Starts `workers` (at least 1) threads, each with its own decoder for the input's stream.
  // Null when a decoder, a thread or memory cannot be had: the caller then decodes alone.
  static std::unique_ptr<BatchDecoder> start(const AudioInput& input, int workers);

  // Stops the workers and joins them; outcomes not taken are dropped.
  ~BatchDecoder();
  BatchDecoder(const BatchDecoder&) = delete;
  BatchDecoder& operator=(const BatchDecoder&) = delete;

  // True while fewer batches than twice the workers, plus one, are in flight: then submit
  // does not make the workers' backlog grow without bound.
  bool hasRoom() const EXCLUDES(mutex_);
  bool idle() const EXCLUDES(mutex_);

  // Queues a batch for the next free worker. With `monoRate` above 0, each frame of two channels
  // or more that mixesToMonoDirectly takes at that rate comes out as its mean in 32-bit float
  // mono; other frames come out as decoded.
  // Throws std::bad_alloc.
  void submit(std::vector<AVPacketPtr> packets, int monoRate) EXCLUDES(mutex_);

  // The outcomes of the oldest batch in flight, waiting until it is decoded; empty when none is
  // in flight. A worker that ran out of memory part-way ends its outcomes with
  // AVERROR(ENOMEM).
  std::vector<DecodedItem> takeOldest() EXCLUDES(mutex_);

 private:
  struct Batch {
    std::vector<AVPacketPtr> packets;
    std::vector<DecodedItem> items;
    int monoRate = 0;
    bool taken = false;        // a worker decodes it
    bool done = false;         // its outcomes are all in `items`
    bool outOfMemory = false;  // the worker could not record an outcome
  };
  struct Worker {
    AVCodecContextPtr codec;   // the worker's alone
    AVBufferPoolPtr monoPool;  // buffers for mixed frames, of monoBytes each
    int monoBytes = 0;
    std::thread thread;
  };

  BatchDecoder() = default;
  void work(Worker& worker) EXCLUDES(mutex_);
  // Decodes every packet of the batch; never throws.
  static void decodeBatch(Worker& worker, Batch& batch);
  // The frame taken out of `frame`, or its mean when the batch asks for it (`frame` is then
  // unreferenced, for reuse). Null when memory cannot be had.
  static AVFramePtr outcome(Worker& worker, AVFramePtr& frame, int monoRate);

  Batch* firstWaiting() REQUIRES(mutex_);

  std::vector<Worker> workers_;  // fixed once started
  mutable Mutex mutex_;
  CondVar submitted_;  // a batch waits for a worker, or the workers stop
  CondVar decoded_;    // a batch is done
  // Submitted and not yet taken, oldest first. A worker touches a batch it has taken only
  // outside the lock, and no one else touches it until it is done. Memory moves between the
  // threads without churn: a batch (and its packets) is made and freed by the caller, and the
  // frames the caller frees return to the workers' pools.
  std::deque<std::unique_ptr<Batch>> batches_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
};

}  // namespace quillmor_speech
