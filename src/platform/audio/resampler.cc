#include "platform/audio/resampler.h"

#include <vector>

namespace quillmor_speech {

namespace {

// Every output channel the mean of the input channels: for one output channel (L + R) / 2 from
// stereo; for one input channel, a copy of it in every output channel.
int setMeanMix(SwrContext* swr, int inChannels, int outChannels) {
  std::vector<double> matrix(static_cast<std::size_t>(inChannels * outChannels), 1.0 / inChannels);
  return swr_set_matrix(swr, matrix.data(), inChannels);
}

}  // namespace

int makeResampler(const ResamplerEnd& in, const ResamplerEnd& out, ChannelMix mix,
                  SwrContextPtr& made) {
  made.reset();
  SwrContext* raw = nullptr;
  // FFmpeg 5.1 takes the layouts by non-const pointer; it only copies them.
  int rc =
      swr_alloc_set_opts2(&raw, const_cast<AVChannelLayout*>(&out.layout), out.format, out.rate,
                          const_cast<AVChannelLayout*>(&in.layout), in.format, in.rate, 0, nullptr);
  SwrContextPtr swr(raw);
  if (rc < 0) return rc;
  if (!swr) return AVERROR(ENOMEM);
  const int inChannels = in.layout.nb_channels;
  const int outChannels = out.layout.nb_channels;
  const bool differ = inChannels != outChannels;
  if (differ && mix == ChannelMix::mean) {
    rc = setMeanMix(swr.get(), inChannels, outChannels);
    if (rc < 0) return rc;
  }
  rc = swr_init(swr.get());
  if (rc < 0 && differ && mix == ChannelMix::layoutDefault) {
    // No default mix between these layouts.
    rc = setMeanMix(swr.get(), inChannels, outChannels);
    if (rc >= 0) rc = swr_init(swr.get());
  }
  if (rc < 0) return rc;
  made = std::move(swr);
  return 0;
}

}  // namespace quillmor_speech
