#include "platform/audio_convert/resampler.h"

#include <vector>

#include "platform/audio_convert/ffmpeg_error.h"

namespace quillmor_speech {

namespace {

// Every output channel the mean of the input channels: for one output channel (L + R) / 2 from
// stereo; for one input channel, a copy of it in every output channel.
int setMeanMix(SwrContext* swr, int inChannels, int outChannels) {
  std::vector<double> matrix(static_cast<std::size_t>(inChannels * outChannels), 1.0 / inChannels);
  return swr_set_matrix(swr, matrix.data(), inChannels);
}

int initialise(SwrContextPtr& swr, const ResamplerEnd& in, const ResamplerEnd& out,
               ChannelMix mix) {
  SwrContext* raw = nullptr;
  // FFmpeg 5.1 takes the layouts by non-const pointer; it only copies them.
  int rc =
      swr_alloc_set_opts2(&raw, const_cast<AVChannelLayout*>(&out.layout), out.format, out.rate,
                          const_cast<AVChannelLayout*>(&in.layout), in.format, in.rate, 0, nullptr);
  swr.reset(raw);
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
  return rc;
}

}  // namespace

StatusOr<SwrContextPtr> makeResampler(const ResamplerEnd& in, const ResamplerEnd& out,
                                      ChannelMix mix) {
  SwrContextPtr swr;
  if (int rc = initialise(swr, in, out, mix); rc < 0) {
    return avError("cannot set up the resampler", rc);
  }
  return swr;
}

}  // namespace quillmor_speech
