#include "platform/audio_convert/audio_converter.h"

#include <climits>
#include <cmath>

#include "platform/audio_convert/ffmpeg_error.h"
#include "platform/audio_convert/ffmpeg_handles.h"
#include "platform/audio_convert/resampler.h"

namespace quillmor_speech {

namespace {

std::optional<AVSampleFormat> sampleFormatOf(const AVAudioFormat& format) {
  bool packed = format.isInterleaved() || format.channelCount() == 1;
  switch (format.commonFormat()) {
    case AVAudioCommonFormat::pcmFormatInt16:
      return packed ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S16P;
    case AVAudioCommonFormat::pcmFormatInt32:
      return packed ? AV_SAMPLE_FMT_S32 : AV_SAMPLE_FMT_S32P;
    case AVAudioCommonFormat::pcmFormatFloat32:
      return packed ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_FLTP;
    case AVAudioCommonFormat::pcmFormatFloat64:
      return packed ? AV_SAMPLE_FMT_DBL : AV_SAMPLE_FMT_DBLP;
    case AVAudioCommonFormat::otherFormat:
      break;
  }
  return std::nullopt;
}

// Plane pointers of a buffer, advanced to frame `offset`.
void planePointers(AVAudioPCMBuffer& buffer, std::uint32_t offset, std::uint8_t** planes) {
  std::size_t step = std::size_t{offset} * buffer.bytesPerFrameInPlane();
  for (std::uint32_t i = 0; i < buffer.planeCount(); ++i) planes[i] = buffer.planeBytes(i) + step;
}

}  // namespace

struct AVAudioConverter::State {
  State(const AVAudioFormat& from, const AVAudioFormat& to, SwrContextPtr swr)
      : from(from), to(to), swr(std::move(swr)) {
    for (const std::uint8_t*& plane : noInput) plane = &noInputByte;
  }
  AVAudioFormat from;
  AVAudioFormat to;
  SwrContextPtr swr;
  bool ended = false;  // the block reported endOfStream and the resampler was flushed
  const std::uint8_t* noInput[kMaxChannelCount];  // non-null plane pointers for "no new input"
  std::uint8_t noInputByte = 0;
};

AVAudioConverter::AVAudioConverter(std::unique_ptr<State> state) : state_(std::move(state)) {}
AVAudioConverter::~AVAudioConverter() = default;

std::unique_ptr<AVAudioConverter> AVAudioConverter::make(const AVAudioFormat& from,
                                                         const AVAudioFormat& to) {
  silenceAVLog();
  std::optional<AVSampleFormat> inFormat = sampleFormatOf(from);
  std::optional<AVSampleFormat> outFormat = sampleFormatOf(to);
  if (!inFormat || !outFormat) return nullptr;
  if (!isSupportedSampleRate(from.sampleRate()) || !isSupportedSampleRate(to.sampleRate())) {
    return nullptr;
  }
  const int inChannels = static_cast<int>(from.channelCount());
  const int outChannels = static_cast<int>(to.channelCount());
  if (inChannels != outChannels && outChannels != 1 && inChannels != 1) return nullptr;

  const ChannelLayout inLayout = ChannelLayout::defaultFor(inChannels);
  const ChannelLayout outLayout = ChannelLayout::defaultFor(outChannels);
  StatusOr<SwrContextPtr> swr = makeResampler(
      {inLayout.get(), *inFormat, static_cast<int>(from.sampleRate())},
      {outLayout.get(), *outFormat, static_cast<int>(to.sampleRate())}, ChannelMix::mean);
  if (!swr) return nullptr;
  return std::unique_ptr<AVAudioConverter>(
      new AVAudioConverter(std::make_unique<State>(from, to, std::move(*swr))));
}

int AVAudioConverter::convertInto(AVAudioPCMBuffer& output, std::uint32_t offset,
                                  const std::uint8_t** input, int inputFrames) {
  std::uint8_t* planes[kMaxChannelCount];
  planePointers(output, offset, planes);
  std::uint32_t room = output.frameCapacity() - offset;
  int roomFrames = room > INT_MAX ? INT_MAX : static_cast<int>(room);
  return swr_convert(state_->swr.get(), planes, roomFrames, input, inputFrames);
}

StatusOr<AVAudioConverterOutputStatus> AVAudioConverter::convert(AVAudioPCMBuffer& output,
                                                                 const InputBlock& inputBlock) {
  output.setFrameLength(0);
  auto failWith = [&](Status e) -> StatusOr<AVAudioConverterOutputStatus> {
    output.setFrameLength(0);
    return e;
  };
  const AVAudioFormat& from = state_->from;
  const AVAudioFormat& to = state_->to;
  bool& ended = state_->ended;
  if (!(output.format() == to)) {
    return failWith(Status::error("the output buffer is not in the converter's output format"));
  }
  const std::uint32_t capacity = output.frameCapacity();
  std::uint32_t produced = 0;

  // What earlier calls left in the resampler comes first.
  if (capacity > 0) {
    int n = convertInto(output, 0, ended ? nullptr : state_->noInput, 0);
    if (n < 0) return failWith(avError("cannot convert the audio", n));
    produced = static_cast<std::uint32_t>(n);
  }
  while (produced < capacity && !ended) {
    auto status = AVAudioConverterInputStatus::haveData;
    double missing = static_cast<double>(capacity - produced) * from.sampleRate() / to.sampleRate();
    AVAudioPCMBuffer* input = inputBlock(static_cast<std::uint32_t>(std::ceil(missing)), status);
    if (status == AVAudioConverterInputStatus::noDataNow) {
      output.setFrameLength(produced);
      return AVAudioConverterOutputStatus::inputRanDry;
    }
    if (status == AVAudioConverterInputStatus::endOfStream) {
      ended = true;
      int n = convertInto(output, produced, nullptr, 0);
      if (n < 0) return failWith(avError("cannot convert the audio", n));
      produced += static_cast<std::uint32_t>(n);
      break;
    }
    if (!input) return failWith(Status::error("the input block reported data but gave no buffer"));
    if (!(input->format() == from)) {
      return failWith(Status::error("the input buffer is not in the converter's input format"));
    }
    if (input->frameLength() > INT_MAX) {
      return failWith(Status::error("the input buffer holds too many frames for one conversion"));
    }
    const std::uint8_t* planes[kMaxChannelCount];
    for (std::uint32_t i = 0; i < input->planeCount(); ++i) planes[i] = input->planeBytes(i);
    int n = convertInto(output, produced, planes, static_cast<int>(input->frameLength()));
    if (n < 0) return failWith(avError("cannot convert the audio", n));
    produced += static_cast<std::uint32_t>(n);
  }
  output.setFrameLength(produced);
  if (produced == 0 && ended) return AVAudioConverterOutputStatus::endOfStream;
  return AVAudioConverterOutputStatus::haveData;
}

}  // namespace quillmor_speech
