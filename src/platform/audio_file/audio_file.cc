#include "platform/audio_file/audio_file.h"

#include <algorithm>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/audio_convert/audio_converter.h"
#include "platform/audio_convert/ffmpeg_error.h"
#include "platform/audio_file/frame_converter.h"
#include "platform/audio_file/frame_reader.h"
#include "platform/audio_file/sample_queue.h"

namespace quillmor_speech {

// Decoded frames flow from the reader through the converter into the queue. After opening, the
// reader and the converter belong to the decoding thread alone; the queue is shared.
struct AVAudioFile::Decoder {
  Decoder(FrameReader r, AVSampleFormat format, int rate, int channels)
      : reader(std::move(r)), converter(format, rate, channels), queue(format, channels) {}

  // Closes the queue first, so that a decoding thread waiting on it ends, then joins it.
  ~Decoder() {
    queue.close();
    if (thread.joinable()) thread.join();
  }

  FrameReader reader;
  FrameConverter converter;
  SampleQueue queue;
  std::thread thread;

  // The frame in reader.frame() into the queue. 0; AVERROR_EXIT when the reader left; another
  // AVERROR for a frame that cannot be used.
  int append() {
    const AVFrame& frame = reader.frame();
    ProcessingSamples samples;
    if (converter.changesConversion(frame)) {
      int rc = converter.flush(samples);
      if (rc == 0) rc = queue.push(samples.planes, samples.frames);
      if (rc < 0) return rc;
    }
    int rc = converter.convert(frame, samples);
    return rc < 0 ? rc : queue.push(samples.planes, samples.frames);
  }

  // Decodes to the end of the stream, a fatal error, or until the reader leaves.
  void decodeAll() {
    while (true) {
      int rc = reader.next();
      if (rc < 0) {
        finish(rc == AVERROR_EOF ? Status::ok() : avError("cannot read the audio", rc));
        return;
      }
      rc = append();
      av_frame_unref(&reader.frame());
      if (rc == AVERROR_EXIT) return;
      if (rc == 0) {
        reader.resetFailures();
      } else if (rc == AVERROR(ENOMEM) || reader.countFailure()) {
        finish(avError("cannot decode the audio", rc));
        return;
      }
    }
  }

  // The decoding thread's body: no exception leaves it. Only memory can fail by an exception,
  // and reporting it must not need any more.
  void run() noexcept {
    try {
      decodeAll();
    } catch (...) {
      queue.endOutOfMemory();
    }
  }

  void finish(Status status) {
    ProcessingSamples tail;
    int rc = converter.flush(tail);
    if (rc == 0) rc = queue.push(tail.planes, tail.frames);
    if (status.isOk() && rc < 0 && rc != AVERROR_EXIT) {
      status = avError("cannot convert the audio", rc);
    }
    queue.end(std::move(status));
  }
};

namespace {

// The rate and channels of the first frame that decodes, which stays in reader.frame(); a
// stream without frames keeps what its header declares. Fails on a decoding error before it.
struct FirstFrame {
  AVSampleFormat format;
  int rate;
  int channels;
  bool decoded;
};

StatusOr<FirstFrame> firstFrame(FrameReader& reader) {
  while (true) {
    int rc = reader.next();
    if (rc == AVERROR_EOF)
      return FirstFrame{AV_SAMPLE_FMT_FLTP, reader.declaredRate(), reader.declaredChannels(),
                        false};
    if (rc < 0) return avError("cannot decode the audio", rc);
    const AVFrame& frame = reader.frame();
    if (frame.nb_samples > 0)
      return FirstFrame{static_cast<AVSampleFormat>(frame.format), frame.sample_rate,
                        frame.ch_layout.nb_channels, true};
    av_frame_unref(&reader.frame());
  }
}

// The sample type of the processing format for a decoder's: its own where the converter takes
// it, so that its samples need no conversion before the one to the caller's format; 32-bit float
// otherwise.
AVSampleFormat processingSampleFormat(AVSampleFormat decoded) {
  switch (decoded) {
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S16P:
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_S32P:
    case AV_SAMPLE_FMT_FLT:
    case AV_SAMPLE_FMT_FLTP:
    case AV_SAMPLE_FMT_DBL:
    case AV_SAMPLE_FMT_DBLP:
      return decoded;
    default:
      return AV_SAMPLE_FMT_FLTP;
  }
}

AVAudioCommonFormat commonFormatOf(AVSampleFormat format) {
  switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_S16:
      return AVAudioCommonFormat::pcmFormatInt16;
    case AV_SAMPLE_FMT_S32:
      return AVAudioCommonFormat::pcmFormatInt32;
    case AV_SAMPLE_FMT_DBL:
      return AVAudioCommonFormat::pcmFormatFloat64;
    default:
      return AVAudioCommonFormat::pcmFormatFloat32;
  }
}

StatusOr<AVAudioFormat> processingFormatFor(const FirstFrame& first) {
  if (!isSupportedSampleRate(first.rate)) {
    return Status::error("unsupported sample rate: " + std::to_string(first.rate) + " Hz");
  }
  if (first.channels < 1 || first.channels > static_cast<int>(kMaxChannelCount)) {
    return Status::error("unsupported channel count: " + std::to_string(first.channels));
  }
  std::optional<AVAudioFormat> format = AVAudioFormat::make(
      commonFormatOf(first.format), first.rate, static_cast<std::uint32_t>(first.channels),
      /*interleaved=*/!av_sample_fmt_is_planar(first.format));
  if (!format) return Status::error("unsupported audio format");
  return *format;
}

}  // namespace

AVAudioFile::AVAudioFile(std::unique_ptr<Decoder> decoder, const AVAudioFormat& format)
    : decoder_(std::move(decoder)), processingFormat_(format) {}

AVAudioFile::~AVAudioFile() = default;

StatusOr<std::unique_ptr<AVAudioFile>> AVAudioFile::openForReading(const std::string& path,
                                                                   AVAudioFileChannels channels) {
  StatusOr<AudioInput> input = openAudioInput(path);
  if (!input) return input.status();
  FrameReader reader(std::move(input).value());
  if (!reader.ok()) return avError("cannot open the audio decoder", AVERROR(ENOMEM));
  StatusOr<FirstFrame> first = firstFrame(reader);
  if (!first) return first.status();
  first->format = processingSampleFormat(first->format);
  StatusOr<AVAudioFormat> format = processingFormatFor(*first);  // refuses absurd counts too
  if (!format) return format.status();
  if (channels == AVAudioFileChannels::meanMono && first->channels > 1) {
    first->format = AV_SAMPLE_FMT_FLT;
    first->channels = 1;
    format = processingFormatFor(*first);
    if (!format) return format.status();
    reader.mixToMonoAt(first->rate);  // as the converter mixes them, on the decoders' threads
  }

  auto decoder =
      std::make_unique<Decoder>(std::move(reader), first->format, first->rate, first->channels);
  if (!decoder->queue.ok()) return avError("cannot open the audio decoder", AVERROR(ENOMEM));
  if (!first->decoded) {
    decoder->finish(Status::ok());
  } else {
    int rc = decoder->append();
    av_frame_unref(&decoder->reader.frame());
    if (rc < 0) return avError("cannot decode the audio", rc);
    Decoder* d = decoder.get();
    try {
      d->thread = std::thread([d] { d->run(); });
    } catch (const std::system_error&) {
      return Status::error("cannot open the audio decoder: no thread for decoding");
    }
  }
  return std::unique_ptr<AVAudioFile>(new AVAudioFile(std::move(decoder), *format));
}

Status AVAudioFile::read(AVAudioPCMBuffer& buffer, std::uint32_t frameCount) {
  buffer.setFrameLength(0);
  if (!(buffer.format() == processingFormat_)) {
    return Status::error("the buffer is not in the file's processing format");
  }
  const std::uint32_t limit = std::min({frameCount, buffer.frameCapacity(), 1u << 30});
  std::vector<void*> planes(buffer.planeCount());
  for (std::uint32_t i = 0; i < buffer.planeCount(); ++i) planes[i] = buffer.planeBytes(i);
  StatusOr<int> got = decoder_->queue.pop(planes.data(), static_cast<int>(limit));
  if (!got) return got.status();
  buffer.setFrameLength(static_cast<std::uint32_t>(*got));
  return Status::ok();
}

}  // namespace quillmor_speech
