// The mean of a frame's channels as 32-bit float mono, computed directly from the common sample
// types with libswresample's scaling to float. Pure functions: safe on any thread.
#pragma once

#include "platform/audio/ffmpeg_handles.h"

namespace quillmor_speech {

// True for the sample types meanOfChannels takes: 16-bit, 32-bit and 32-bit float, planar or
// packed.
bool mixesToMonoDirectly(AVSampleFormat format);

// out[i] = the mean of the channels' samples i, for i below frame.nb_samples. The frame's type is
// one that mixesToMonoDirectly takes.
void meanOfChannels(const AVFrame& frame, float* out);

}  // namespace quillmor_speech
