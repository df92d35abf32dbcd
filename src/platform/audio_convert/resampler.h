// libswresample contexts as the audio layer sets them up: one function for the file reader's
// and the converter's resamplers, so that both mix channels by the same rule.
#pragma once

#include "platform/audio_convert/ffmpeg_handles.h"
#include "platform/base/status.h"

namespace quillmor_speech {

// One side of a conversion: channel layout, sample type and rate.
struct ResamplerEnd {
  const AVChannelLayout& layout;
  AVSampleFormat format;
  int rate;
};

// How channels are mixed when the two sides' counts differ.
enum class ChannelMix {
  mean,           // every output channel is the mean of all input channels
  layoutDefault,  // libswresample's mix between the two layouts; the mean where it has none
};

// An initialised context from `in` to `out` (libswresample's native engine, whose output does
// not depend on how the input is cut into calls), or the failure that prevented it (avError).
StatusOr<SwrContextPtr> makeResampler(const ResamplerEnd& in, const ResamplerEnd& out,
                                      ChannelMix mix);

}  // namespace quillmor_speech
