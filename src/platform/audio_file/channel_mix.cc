#include "platform/audio_file/channel_mix.h"

#include <cstdint>

#include "platform/audio/audio_format.h"

namespace quillmor_speech {

namespace {

// One channel's samples as libswresample scales them to float.
inline float toFloat(float sample) { return sample; }
inline float toFloat(std::int16_t sample) { return static_cast<float>(sample) * (1.0f / 32768); }
inline float toFloat(std::int32_t sample) {
  return static_cast<float>(sample) * (1.0f / 2147483648.0f);
}

// Samples are mixed in blocks of this many, a length the compiler's vectorizer takes at -O2.
constexpr int kBlock = 8;

// out[i] = the mean of the channels' samples i, for planar (one pointer per channel) or packed
// (one pointer, channels interleaved) input.
template <typename T>
void meanOf(const std::uint8_t* const* planes, bool planar, int channels, int frames, float* out) {
  const float weight = 1.0f / static_cast<float>(channels);
  if (!planar) {
    const T* in = reinterpret_cast<const T*>(planes[0]);
    for (int i = 0; i < frames; ++i) {
      float sum = 0;
      for (int c = 0; c < channels; ++c) sum += toFloat(in[i * channels + c]) * weight;
      out[i] = sum;
    }
    return;
  }
  const int blocked = frames - frames % kBlock;
  const T* first = reinterpret_cast<const T*>(planes[0]);
  for (int i = 0; i < blocked; i += kBlock) {
    for (int k = 0; k < kBlock; ++k) out[i + k] = toFloat(first[i + k]) * weight;
  }
  for (int i = blocked; i < frames; ++i) out[i] = toFloat(first[i]) * weight;
  for (int c = 1; c < channels; ++c) {
    const T* in = reinterpret_cast<const T*>(planes[c]);
    for (int i = 0; i < blocked; i += kBlock) {
      for (int k = 0; k < kBlock; ++k) out[i + k] += toFloat(in[i + k]) * weight;
    }
    for (int i = blocked; i < frames; ++i) out[i] += toFloat(in[i]) * weight;
  }
}

}  // namespace

bool mixesToMonoDirectly(const AVFrame& frame, int rate) {
  const int channels = frame.ch_layout.nb_channels;
  if (frame.sample_rate != rate || channels < 1 || channels > static_cast<int>(kMaxChannelCount) ||
      frame.nb_samples <= 0) {
    return false;
  }
  switch (av_get_packed_sample_fmt(static_cast<AVSampleFormat>(frame.format))) {
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_FLT:
      return true;
    default:
      return false;
  }
}

void meanOfChannels(const AVFrame& frame, float* out) {
  const auto format = static_cast<AVSampleFormat>(frame.format);
  const bool planar = av_sample_fmt_is_planar(format);
  const int channels = frame.ch_layout.nb_channels;
  switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_S16:
      meanOf<std::int16_t>(frame.extended_data, planar, channels, frame.nb_samples, out);
      break;
    case AV_SAMPLE_FMT_S32:
      meanOf<std::int32_t>(frame.extended_data, planar, channels, frame.nb_samples, out);
      break;
    default:
      meanOf<float>(frame.extended_data, planar, channels, frame.nb_samples, out);
      break;
  }
}

}  // namespace quillmor_speech
