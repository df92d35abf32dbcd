// Decoded frames in one processing format: frames already in it pass through untouched, frames
// of another sample type, rate or layout are converted (resampled, remixed by libswresample's
// defaults, the mean of the channels where it has no mix). A mono processing format always takes
// the mean of the channels; a 32-bit float mono one mixes common sample types directly, without
// libswresample, when the rate is the same.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/audio_convert/ffmpeg_handles.h"

namespace quillmor_speech {

// Samples in the processing format: one plane per channel when it is planar, else one.
struct ProcessingSamples {
  const std::uint8_t* const* planes = nullptr;
  int frames = 0;
};

// Not thread-safe; its output stays valid until the next call.
class FrameConverter {
 public:
  FrameConverter(AVSampleFormat format, int rate, int channels);

  // True when `frame` cannot go through the conversion of the frames before it: flush() first.
  bool changesConversion(const AVFrame& frame) const;

  // The frame's samples in the processing format: its own planes when it is in that format,
  // else converted ones (possibly none yet: the resampler may hold them back). 0, or an AVERROR
  // for a frame that cannot be used.
  int convert(const AVFrame& frame, ProcessingSamples& out);

  // What a conversion still holds, and the conversion dropped; for a change of the frames'
  // format and for the end of the stream. 0 or an AVERROR.
  int flush(ProcessingSamples& out);

 private:
  bool isProcessingFormat(const AVFrame& frame) const;
  int build(const AVFrame& frame);
  int run(const std::uint8_t* const* input, int frames, ProcessingSamples& out);
  bool mixesDirectly(const AVFrame& frame) const;
  void mixToMono(const AVFrame& frame, ProcessingSamples& out);

  AVSampleFormat format_;
  int rate_;
  int channels_;

  // Rebuilt when the frames' sample type, rate or layout changes.
  SwrContextPtr swr_;
  AVSampleFormat swrFormat_ = AV_SAMPLE_FMT_NONE;
  int swrRate_ = 0;
  ChannelLayout swrLayout_;
  std::vector<std::vector<std::uint8_t>> scratch_;
  std::vector<std::uint8_t*> scratchPlanes_;
  std::vector<float> mixed_;
  std::uint8_t* mixedPlane_ = nullptr;
};

}  // namespace quillmor_speech
