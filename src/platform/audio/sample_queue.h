// Decoded samples waiting to be read, in one processing format: frames in other formats, rates
// or layouts are converted into it on the way in.
#pragma once

#include <vector>

#include "platform/audio/ffmpeg_handles.h"

namespace quillmor_speech {

class SampleQueue {
 public:
  // Planar samples of `format` at `rate` with `channels` channels. ok() is false when the
  // queue's memory could not be had.
  SampleQueue(AVSampleFormat format, int rate, int channels);

  bool ok() const { return fifo_ != nullptr; }

  // Appends a decoded frame, converted when it differs from the processing format (resampled,
  // remixed by libswresample's defaults). 0, or an AVERROR for a frame that cannot be used.
  int append(const AVFrame& frame);

  // Hands what a conversion still holds to the queue; for the end of the stream. 0 or an AVERROR.
  int flush();

  // Frames waiting.
  int size() const { return av_audio_fifo_size(fifo_.get()); }

  // Moves up to `frames` frames into the planes; the number moved, or an AVERROR.
  int read(void* const* planes, int frames);

 private:
  int buildConversion(const AVFrame& frame);
  int convert(const std::uint8_t* const* input, int frames);

  AVSampleFormat format_;
  int rate_;
  int channels_;
  AVAudioFifoPtr fifo_;

  // Conversion of frames that differ from the processing format, rebuilt when the frames'
  // sample type, rate or layout changes.
  SwrContextPtr swr_;
  AVSampleFormat swrFormat_ = AV_SAMPLE_FMT_NONE;
  int swrRate_ = 0;
  ChannelLayout swrLayout_;
  std::vector<std::vector<std::uint8_t>> scratch_;
};

}  // namespace quillmor_speech
