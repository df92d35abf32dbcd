#include "platform/audio_file/frame_converter.h"

#include "platform/audio_convert/audio_converter.h"
#include "platform/audio_convert/resampler.h"
#include "platform/audio_file/channel_mix.h"

namespace quillmor_speech {

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
  StatusOr<SwrContextPtr> made =
      makeResampler({frame.ch_layout, inFormat, frame.sample_rate}, {out.get(), format_, rate_},
                    channels_ == 1 ? ChannelMix::mean : ChannelMix::layoutDefault);
  // The reader counts failures in AVERROR codes; only running out of memory is told apart.
  if (!made) {
    return made.status().code() == StatusCode::noMemory ? AVERROR(ENOMEM) : AVERROR(EINVAL);
  }
  swr_ = std::move(*made);
  swrFormat_ = inFormat;
  swrRate_ = frame.sample_rate;
  const std::size_t planes = av_sample_fmt_is_planar(format_) ? std::size_t(channels_) : 1;
  scratch_.resize(planes);
  scratchPlanes_.resize(planes);
  return swrLayout_.assign(frame.ch_layout);
}

bool FrameConverter::mixesDirectly(const AVFrame& frame) const {
  return format_ == AV_SAMPLE_FMT_FLT && channels_ == 1 && mixesToMonoDirectly(frame, rate_);
}

void FrameConverter::mixToMono(const AVFrame& frame, ProcessingSamples& out) {
  if (mixed_.size() < static_cast<std::size_t>(frame.nb_samples)) {
    mixed_.resize(static_cast<std::size_t>(frame.nb_samples));
  }
  meanOfChannels(frame, mixed_.data());
  mixedPlane_ = reinterpret_cast<std::uint8_t*>(mixed_.data());
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
