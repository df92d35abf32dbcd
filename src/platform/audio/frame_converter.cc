#include "platform/audio/frame_converter.h"

#include "platform/audio/audio_converter.h"
#include "platform/audio/resampler.h"

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
void meanOfChannels(const std::uint8_t* const* planes, bool planar, int channels, int frames,
                    float* out) {
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

FrameConverter::FrameConverter(AVSampleFormat format, int rate, int channels)
    : format_(format), rate_(rate), channels_(channels) {}

bool FrameConverter::isProcessingFormat(const AVFrame& frame) const {
  if (frame.sample_rate != rate_ || frame.ch_layout.nb_channels != channels_) return false;
  // One channel is laid out alike packed or planar.
  const auto sampleFormat = static_cast<AVSampleFormat>(frame.format);
  return sampleFormat == format_ || (channels_ == 1 && av_get_packed_sample_fmt(sampleFormat) ==
                                                           av_get_packed_sample_fmt(format_));
}

bool FrameConverter::changesConversion(const AVFrame& frame) const {
  return swr_ && (frame.format != swrFormat_ || frame.sample_rate != swrRate_ ||
                  !(swrLayout_ == frame.ch_layout));
}

int FrameConverter::flush(ProcessingSamples& out) {
  out = {};
  if (!swr_) return 0;
  int rc = run(nullptr, 0, out);
  swr_.reset();
  swrLayout_ = ChannelLayout();
  return rc;
}

int FrameConverter::run(const std::uint8_t* const* input, int frames, ProcessingSamples& out) {
  out = {};
  int room = swr_get_out_samples(swr_.get(), frames);
  if (room <= 0) return room;
  const bool planar = av_sample_fmt_is_planar(format_);
  const std::size_t bytes = static_cast<std::size_t>(room) *
                            static_cast<std::size_t>(av_get_bytes_per_sample(format_)) *
                            static_cast<std::size_t>(planar ? 1 : channels_);
  for (std::size_t c = 0; c < scratch_.size(); ++c) {
    if (scratch_[c].size() < bytes) scratch_[c].resize(bytes);
    scratchPlanes_[c] = scratch_[c].data();
  }
  int n = swr_convert(swr_.get(), scratchPlanes_.data(), room,
                      const_cast<const std::uint8_t**>(input), frames);
  if (n < 0) return n;
  out = {scratchPlanes_.data(), n};
  return 0;
}

int FrameConverter::build(const AVFrame& frame) {
  const ChannelLayout out = ChannelLayout::defaultFor(channels_);
  const auto inFormat = static_cast<AVSampleFormat>(frame.format);
  SwrContextPtr made;
  int rc =
      makeResampler({frame.ch_layout, inFormat, frame.sample_rate}, {out.get(), format_, rate_},
                    channels_ == 1 ? ChannelMix::mean : ChannelMix::layoutDefault, made);
  if (rc < 0) return rc;
  swr_ = std::move(made);
  swrFormat_ = inFormat;
  swrRate_ = frame.sample_rate;
  const std::size_t planes = av_sample_fmt_is_planar(format_) ? std::size_t(channels_) : 1;
  scratch_.resize(planes);
  scratchPlanes_.resize(planes);
  return swrLayout_.assign(frame.ch_layout);
}

bool FrameConverter::mixesDirectly(const AVFrame& frame) const {
  if (format_ != AV_SAMPLE_FMT_FLT || channels_ != 1 || frame.sample_rate != rate_) return false;
  switch (av_get_packed_sample_fmt(static_cast<AVSampleFormat>(frame.format))) {
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_FLT:
      return true;
    default:
      return false;
  }
}

void FrameConverter::mixToMono(const AVFrame& frame, ProcessingSamples& out) {
  const auto format = static_cast<AVSampleFormat>(frame.format);
  const bool planar = av_sample_fmt_is_planar(format);
  const int channels = frame.ch_layout.nb_channels;
  if (mixed_.size() < static_cast<std::size_t>(frame.nb_samples)) {
    mixed_.resize(static_cast<std::size_t>(frame.nb_samples));
  }
  float* into = mixed_.data();
  switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_S16:
      meanOfChannels<std::int16_t>(frame.extended_data, planar, channels, frame.nb_samples, into);
      break;
    case AV_SAMPLE_FMT_S32:
      meanOfChannels<std::int32_t>(frame.extended_data, planar, channels, frame.nb_samples, into);
      break;
    default:
      meanOfChannels<float>(frame.extended_data, planar, channels, frame.nb_samples, into);
      break;
  }
  mixedPlane_ = reinterpret_cast<std::uint8_t*>(into);
  out = {&mixedPlane_, frame.nb_samples};
}

int FrameConverter::convert(const AVFrame& frame, ProcessingSamples& out) {
  out = {};
  const int frameChannels = frame.ch_layout.nb_channels;
  if (!isSupportedSampleRate(frame.sample_rate) || frameChannels < 1 ||
      frameChannels > static_cast<int>(kMaxChannelCount) || frame.nb_samples <= 0) {
    return AVERROR_INVALIDDATA;
  }
  if (!swr_ && isProcessingFormat(frame)) {
    out = {frame.extended_data, frame.nb_samples};
    return 0;
  }
  if (!swr_ && mixesDirectly(frame)) {
    mixToMono(frame, out);
    return 0;
  }
  if (!swr_) {
    int rc = build(frame);
    if (rc < 0) return rc;
  }
  return run(frame.extended_data, frame.nb_samples, out);
}

}  // namespace quillmor_speech
