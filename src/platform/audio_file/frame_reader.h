// The demux and decode loop of an opened audio input: decoded frames one at a time, damaged
// packets and frames skipped. Where the stream's packets decode apart and the machine has more
// than one core, they are decoded on several threads at once (batch_decoder.h); the frames and
// failures handed out, and their order, are the same either way.
#pragma once

#include <memory>
#include <vector>

#include "platform/audio_file/audio_input.h"
#include "platform/audio_file/batch_decoder.h"

namespace quillmor_speech {

class FrameReader {
 public:
  // Takes over the input and allocates a packet and a frame; check ok() before anything else.
  // `workers` decoders at most decode at once (1: the caller's thread decodes alone).
  explicit FrameReader(AudioInput input, int workers = defaultWorkers());

  // One decoder per core, up to four.
  static int defaultWorkers();

  // False when the packet or frame could not be allocated; nothing else may then be called.
  bool ok() const { return packet_ && frame_; }

  // The next decoded frame into frame(): 0, AVERROR_EOF at the end of the stream, or the error
  // that makes the file unreadable. Running out of memory (AVERROR(ENOMEM)) is never taken for
  // a damaged packet: it is returned at once, so that no audio is skipped in silence. A read
  // failure of the file ends the demuxing; the decoder still hands out the frames it holds, and the
  // read failure is returned after them.
  int next();

  // True when packets are decoded on several threads.
  bool decodesInParallel() const { return batches_ != nullptr; }

  // From now on, frames decoded on several threads may come as the mean of their channels where
  // they are at `rate` (BatchDecoder::submit), for a reader that mixes them so anyway.
  void mixToMonoAt(int rate) { monoRate_ = rate; }

  // The frame of the last successful next(); unref it when done with it.
  AVFrame& frame() { return *frame_; }

  // Counts a frame that could not be used; true when too many failures came in a row.
  bool countFailure() { return ++failures_ > kMaxConsecutiveFailures; }
  void resetFailures() { failures_ = 0; }

  // The stream's declared rate and channel count (what the header says before any frame).
  int declaredRate() const;
  int declaredChannels() const;

 private:
  int decodeHere();
  int decodeInBatches();
  // Reads and submits batches while the workers have room. A packet that cannot be kept ends
  // the demuxing like a read failure: the frames before it are handed out first.
  void fillBatches();
  void endDemuxing(int error);
  int readPacket();

  AudioInput input_;
  AVPacketPtr packet_;
  AVFramePtr frame_;
  std::unique_ptr<BatchDecoder> batches_;  // null: decoded on the caller's thread
  std::vector<DecodedItem> items_;         // the outcomes of the batch being handed out
  std::size_t nextItem_ = 0;
  int monoRate_ = 0;
  bool demuxEnded_ = false;  // no packet is left to read (decoding here: the flush was sent)
  int readError_ = 0;        // a read failure that ended the demuxing early
  int failures_ = 0;         // damaged packets or frames in a row
};

}  // namespace quillmor_speech
