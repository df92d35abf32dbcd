// The mean of a frame's channels as 32-bit float mono, computed directly from the common sample
// types with libswresample's scaling to float. Pure functions: safe on any thread.
#pragma once

#include "platform/audio_convert/ffmpeg_handles.h"

namespace quillmor_speech {

// True when meanOfChannels takes the frame as it is, for a mono signal at `rate`: the frame is
// at that rate, has between 1 and kMaxChannelCount channels and some samples, and its sample type
// is 16-bit, 32-bit or 32-bit float, planar or packed.
bool mixesToMonoDirectly(const AVFrame& frame, int rate);

// out[i] = the mean of the channels' samples i, for i below frame.nb_samples. The frame is one
// that mixesToMonoDirectly takes.
void meanOfChannels(const AVFrame& frame, float* out);

}  // namespace quillmor_speech
