// The demux and decode loop of an opened audio input: decoded frames one at a time, damaged
// packets and frames skipped.
#pragma once

#include "platform/audio/audio_input.h"

namespace quillmor_speech {

// Damaged packets or frames in a row after which the file counts as unreadable.
inline constexpr int kMaxConsecutiveFailures = 100;

class FrameReader {
 public:
  // Takes over the input and allocates a packet and a frame; check ok() before anything else.
  explicit FrameReader(AudioInput input);

  // False when the packet or frame could not be allocated; nothing else may then be called.
  bool ok() const { return packet_ && frame_; }

  // The next decoded frame into frame(): 0, AVERROR_EOF at the end of the stream, or the error
  // that makes the file unreadable. Running out of memory (AVERROR(ENOMEM)) is never taken for
  // a damaged packet: it is returned at once, so that no audio is skipped in silence. A read
  // failure of the file ends the demuxing; the decoder still hands out the frames it holds, and the
  // read failure is returned after them.
  int next();

  // The frame of the last successful next(); unref it when done with it.
  AVFrame& frame() { return *frame_; }

  // Counts a frame that could not be used; true when too many failures came in a row.
  bool countFailure() { return ++failures_ > kMaxConsecutiveFailures; }
  void resetFailures() { failures_ = 0; }

  // The stream's declared rate and channel count (what the header says before any frame).
  int declaredRate() const;
  int declaredChannels() const;

 private:
  AudioInput input_;
  AVPacketPtr packet_;
  AVFramePtr frame_;
  bool demuxEnded_ = false;  // the flush packet was sent to the decoder
  int readError_ = 0;        // a read failure that ended the demuxing early
  int failures_ = 0;         // damaged packets or frames in a row
};

}  // namespace quillmor_speech
