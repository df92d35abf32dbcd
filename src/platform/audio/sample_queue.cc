#include "platform/audio/sample_queue.h"

#include "platform/audio/audio_converter.h"
#include "platform/audio/resampler.h"

namespace quillmor_speech {

SampleQueue::SampleQueue(AVSampleFormat format, int rate, int channels)
    : format_(format),
      rate_(rate),
      channels_(channels),
      fifo_(av_audio_fifo_alloc(format, channels, 1 << 14)) {}

int SampleQueue::read(void* const* planes, int frames) {
  return av_audio_fifo_read(fifo_.get(), const_cast<void**>(planes), frames);
}

int SampleQueue::flush() {
  if (!swr_) return 0;
  int rc = convert(nullptr, 0);
  swr_.reset();
  swrLayout_ = ChannelLayout();
  return rc;
}

int SampleQueue::convert(const std::uint8_t* const* input, int frames) {
  int room = swr_get_out_samples(swr_.get(), frames);
  if (room < 0) return room;
  if (room == 0) return 0;
  const std::size_t bytes =
      static_cast<std::size_t>(room) * static_cast<std::size_t>(av_get_bytes_per_sample(format_));
  std::vector<void*> planes(static_cast<std::size_t>(channels_));
  for (int c = 0; c < channels_; ++c) {
    std::vector<std::uint8_t>& plane = scratch_[static_cast<std::size_t>(c)];
    if (plane.size() < bytes) plane.resize(bytes);
    planes[static_cast<std::size_t>(c)] = plane.data();
  }
  int n = swr_convert(swr_.get(), reinterpret_cast<std::uint8_t**>(planes.data()), room,
                      const_cast<const std::uint8_t**>(input), frames);
  if (n <= 0) return n;
  int written = av_audio_fifo_write(fifo_.get(), planes.data(), n);
  return written < 0 ? written : 0;
}

int SampleQueue::buildConversion(const AVFrame& frame) {
  const ChannelLayout out = ChannelLayout::defaultFor(channels_);
  const auto inFormat = static_cast<AVSampleFormat>(frame.format);
  SwrContextPtr made;
  int rc = makeResampler({frame.ch_layout, inFormat, frame.sample_rate},
                         {out.get(), format_, rate_}, ChannelMix::layoutDefault, made);
  if (rc < 0) return rc;
  swr_ = std::move(made);
  swrFormat_ = inFormat;
  swrRate_ = frame.sample_rate;
  scratch_.resize(static_cast<std::size_t>(channels_));
  return swrLayout_.assign(frame.ch_layout);
}

int SampleQueue::append(const AVFrame& frame) {
  const int frameChannels = frame.ch_layout.nb_channels;
  if (!isSupportedSampleRate(frame.sample_rate) || frameChannels < 1 ||
      frameChannels > static_cast<int>(kMaxChannelCount) || frame.nb_samples <= 0) {
    return AVERROR_INVALIDDATA;
  }
  if (swr_ && (frame.format != swrFormat_ || frame.sample_rate != swrRate_ ||
               !(swrLayout_ == frame.ch_layout))) {
    int rc = flush();
    if (rc < 0) return rc;
  }
  const bool planar = frame.format == format_ ||
                      (frame.format == av_get_packed_sample_fmt(format_) && frameChannels == 1);
  if (!swr_ && planar && frame.sample_rate == rate_ && frameChannels == channels_) {
    int written = av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(frame.extended_data),
                                      frame.nb_samples);
    return written < 0 ? written : 0;
  }
  if (!swr_) {
    int rc = buildConversion(frame);
    if (rc < 0) return rc;
  }
  return convert(frame.extended_data, frame.nb_samples);
}

}  // namespace quillmor_speech
