#include "platform/audio/audio_file.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/audio/audio_converter.h"
#include "platform/audio/ffmpeg_error.h"
#include "platform/audio/frame_reader.h"
#include "platform/audio/sample_queue.h"

namespace quillmor_speech {

// Decoded frames flow from the reader through the queue; `finalStatus` is set once the stream
// has ended, and is the failure that ended it, if any.
struct AVAudioFile::Decoder {
  Decoder(FrameReader r, int rate, int channels)
      : reader(std::move(r)), queue(AV_SAMPLE_FMT_FLTP, rate, channels) {}

  FrameReader reader;
  SampleQueue queue;
  bool ended = false;  // the reader gave its last frame; the queue holds the rest
  Status finalStatus;

  // Decodes until the queue holds `wanted` frames or the stream has ended.
  void fill(int wanted) {
    while (!ended && queue.size() < wanted) {
      int rc = reader.next();
      if (rc == 0) {
        rc = queue.append(reader.frame());
        av_frame_unref(&reader.frame());
        if (rc == 0) {
          reader.resetFailures();
        } else if (reader.countFailure()) {
          finish(avError("cannot decode the audio", rc));
        }
        continue;
      }
      finish(rc == AVERROR_EOF ? Status::ok() : avError("cannot read the audio", rc));
    }
  }

  void finish(Status status) {
    ended = true;
    int rc = queue.flush();
    if (status.isOk() && rc < 0) status = avError("cannot convert the audio", rc);
    finalStatus = std::move(status);
  }
};

namespace {

// The rate and channels of the first frame that decodes, which stays in reader.frame(); a
// stream without frames keeps what its header declares. Fails on a decoding error before it.
struct FirstFrame {
  int rate;
  int channels;
  bool decoded;
};

StatusOr<FirstFrame> firstFrame(FrameReader& reader) {
  while (true) {
    int rc = reader.next();
    if (rc == AVERROR_EOF)
      return FirstFrame{reader.declaredRate(), reader.declaredChannels(), false};
    if (rc < 0) return avError("cannot decode the audio", rc);
    const AVFrame& frame = reader.frame();
    if (frame.nb_samples > 0)
      return FirstFrame{frame.sample_rate, frame.ch_layout.nb_channels, true};
    av_frame_unref(&reader.frame());
  }
}

StatusOr<AVAudioFormat> processingFormatFor(const FirstFrame& first) {
  if (!isSupportedSampleRate(first.rate)) {
    return Status::error("unsupported sample rate: " + std::to_string(first.rate) + " Hz");
  }
  if (first.channels < 1 || first.channels > static_cast<int>(kMaxChannelCount)) {
    return Status::error("unsupported channel count: " + std::to_string(first.channels));
  }
  std::optional<AVAudioFormat> format =
      AVAudioFormat::make(AVAudioCommonFormat::pcmFormatFloat32, first.rate,
                          static_cast<std::uint32_t>(first.channels), /*interleaved=*/false);
  if (!format) return Status::error("unsupported audio format");
  return *format;
}

}  // namespace

AVAudioFile::AVAudioFile(std::unique_ptr<Decoder> decoder, const AVAudioFormat& format)
    : decoder_(std::move(decoder)), processingFormat_(format) {}

AVAudioFile::~AVAudioFile() = default;

StatusOr<std::unique_ptr<AVAudioFile>> AVAudioFile::openForReading(const std::string& path) {
  StatusOr<AudioInput> input = openAudioInput(path);
  if (!input) return input.status();
  FrameReader reader(std::move(input).value());
  if (!reader.ok()) return avError("cannot open the audio decoder", AVERROR(ENOMEM));
  StatusOr<FirstFrame> first = firstFrame(reader);
  if (!first) return first.status();
  StatusOr<AVAudioFormat> format = processingFormatFor(*first);
  if (!format) return format.status();

  auto decoder = std::make_unique<Decoder>(std::move(reader), first->rate, first->channels);
  if (!decoder->queue.ok()) return avError("cannot open the audio decoder", AVERROR(ENOMEM));
  if (first->decoded) {
    int rc = decoder->queue.append(decoder->reader.frame());
    av_frame_unref(&decoder->reader.frame());
    if (rc < 0) return avError("cannot decode the audio", rc);
  } else {
    decoder->finish(Status::ok());
  }
  return std::unique_ptr<AVAudioFile>(new AVAudioFile(std::move(decoder), *format));
}

Status AVAudioFile::read(AVAudioPCMBuffer& buffer, std::uint32_t frameCount) {
  buffer.setFrameLength(0);
  if (!(buffer.format() == processingFormat_)) {
    return Status::error("the buffer is not in the file's processing format");
  }
  const std::uint32_t limit = std::min({frameCount, buffer.frameCapacity(), 1u << 30});
  const int wanted = static_cast<int>(limit);
  Decoder& d = *decoder_;
  d.fill(wanted);
  const int available = std::min(wanted, d.queue.size());
  if (available == 0 && wanted > 0 && !d.finalStatus.isOk()) return d.finalStatus;
  std::vector<void*> planes(buffer.planeCount());
  for (std::uint32_t i = 0; i < buffer.planeCount(); ++i) planes[i] = buffer.planeBytes(i);
  int got = available > 0 ? d.queue.read(planes.data(), available) : 0;
  if (got < 0) return avError("cannot read the audio", got);
  buffer.setFrameLength(static_cast<std::uint32_t>(got));
  return Status::ok();
}

}  // namespace quillmor_speech
