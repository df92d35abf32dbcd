#include "platform/audio/audio_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <vector>

#include "platform/audio/audio_converter.h"
#include "platform/audio/ffmpeg_error.h"

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
}

namespace quillmor_speech {

namespace {

// Demuxers of audio files and of the common containers that carry audio, by the names FFmpeg
// gives them. None of them follows references to other files with FFmpeg's default options.
// Absent on purpose: playlists and indirections (hls, dash, concat), raw text (tty), images.
constexpr const char* kAudioDemuxers =
    "wav,w64,mp3,flac,ogg,mov,mp4,m4a,3gp,3g2,mj2,aac,matroska,webm,aiff,au,caf,amr,amrnb,amrwb,"
    "ac3,eac3,dts,dtshd,truehd,mlp,wv,ape,tta,mpc,mpc8,asf,voc,xwma,dsf,loas,gsm,sox,shn,tak,"
    "ircam,avi,flv,mpeg,mpegts,nut";

// Damaged packets or frames in a row after which the file counts as unreadable.
constexpr int kMaxConsecutiveFailures = 100;

// Decoder threads: FLAC keeps up only with frame threads; more than a few gain nothing.
int decoderThreads() {
  unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(cores, 1u, 4u));
}

bool sameLayout(const AVChannelLayout& a, const AVChannelLayout& b) {
  return av_channel_layout_compare(&a, &b) == 0;
}

}  // namespace

struct AVAudioFile::Decoder {
  // Declared before `format`, so the format context is closed before its I/O.
  AVIOContextPtr io;
  AVFormatContextPtr format;
  AVCodecContextPtr codec;
  int streamIndex = -1;
  AVPacketPtr packet;
  AVFramePtr frame;

  // The processing format's rate and channels, and the decoded samples in it not yet read.
  int rate = 0;
  int channels = 0;
  AVAudioFifoPtr fifo;

  // Conversion of frames that differ from the processing format, rebuilt when the frames'
  // sample type, rate or layout changes.
  SwrContextPtr swr;
  AVSampleFormat swrFormat = AV_SAMPLE_FMT_NONE;
  int swrRate = 0;
  AVChannelLayout swrLayout{};
  std::vector<std::vector<float>> scratch;

  bool demuxEnded = false;    // the flush packet was sent to the decoder
  bool decoderEnded = false;  // the decoder gave its last frame; the fifo holds the rest
  int readError = 0;          // a read failure that ended the demuxing early
  int failures = 0;           // damaged packets or frames in a row
  std::optional<NSError> finalError;

  ~Decoder() { av_channel_layout_uninit(&swrLayout); }

  // The next decoded frame into `frame`: 0, AVERROR_EOF at the end of the stream, or the error
  // that makes the file unreadable.
  int nextFrame() {
    while (true) {
      int rc = avcodec_receive_frame(codec.get(), frame.get());
      if (rc == 0) return 0;
      if (rc == AVERROR_EOF) return readError ? readError : AVERROR_EOF;
      if (rc != AVERROR(EAGAIN)) {
        if (++failures > kMaxConsecutiveFailures) return rc;
        continue;
      }
      if (demuxEnded) return readError ? readError : AVERROR_EOF;  // decoder wants input: none
      rc = av_read_frame(format.get(), packet.get());
      if (rc < 0) {
        // The end, or a read failure: either way the decoder hands out what it holds first.
        if (rc != AVERROR_EOF) readError = rc;
        demuxEnded = true;
        avcodec_send_packet(codec.get(), nullptr);
        continue;
      }
      if (packet->stream_index != streamIndex) {
        av_packet_unref(packet.get());
        continue;
      }
      rc = avcodec_send_packet(codec.get(), packet.get());
      av_packet_unref(packet.get());
      if (rc < 0 && rc != AVERROR(EAGAIN) && ++failures > kMaxConsecutiveFailures) return rc;
    }
  }

  // Hands what the converter still holds to the fifo and drops the converter.
  int flushConverter() {
    if (!swr) return 0;
    int rc = convertInto(nullptr, 0);
    swr.reset();
    av_channel_layout_uninit(&swrLayout);
    return rc;
  }

  int convertInto(const std::uint8_t** input, int frames) {
    int room = swr_get_out_samples(swr.get(), frames);
    if (room < 0) return room;
    if (room == 0) return 0;
    std::vector<void*> planes(static_cast<std::size_t>(channels));
    for (int c = 0; c < channels; ++c) {
      std::vector<float>& plane = scratch[static_cast<std::size_t>(c)];
      if (plane.size() < static_cast<std::size_t>(room))
        plane.resize(static_cast<std::size_t>(room));
      planes[static_cast<std::size_t>(c)] = plane.data();
    }
    int n = swr_convert(swr.get(), reinterpret_cast<std::uint8_t**>(planes.data()), room, input,
                        frames);
    if (n <= 0) return n;
    int written = av_audio_fifo_write(fifo.get(), planes.data(), n);
    return written < 0 ? written : 0;
  }

  int buildConverter(const AVFrame& f) {
    AVChannelLayout out{}, in{};
    av_channel_layout_default(&out, channels);
    int rc = av_channel_layout_copy(&in, &f.ch_layout);
    SwrContext* raw = nullptr;
    if (rc >= 0) {
      rc = swr_alloc_set_opts2(&raw, &out, AV_SAMPLE_FMT_FLTP, rate, &in,
                               static_cast<AVSampleFormat>(f.format), f.sample_rate, 0, nullptr);
    }
    av_channel_layout_uninit(&in);
    SwrContextPtr made(raw);
    if (rc >= 0) rc = swr_init(made.get());
    if (rc < 0 && made && f.ch_layout.nb_channels != channels) {
      // No default mix between these layouts: every output channel becomes the mean of the
      // input channels.
      const int in = f.ch_layout.nb_channels;
      std::vector<double> matrix(static_cast<std::size_t>(in * channels), 1.0 / in);
      rc = swr_set_matrix(made.get(), matrix.data(), in);
      if (rc >= 0) rc = swr_init(made.get());
    }
    av_channel_layout_uninit(&out);
    if (rc < 0) return rc;
    swr = std::move(made);
    swrFormat = static_cast<AVSampleFormat>(f.format);
    swrRate = f.sample_rate;
    av_channel_layout_uninit(&swrLayout);
    rc = av_channel_layout_copy(&swrLayout, &f.ch_layout);
    scratch.resize(static_cast<std::size_t>(channels));
    return rc;
  }

  // Appends the decoded frame to the fifo in the processing format.
  int append(const AVFrame& f) {
    const int frameChannels = f.ch_layout.nb_channels;
    if (!isSupportedSampleRate(f.sample_rate) || frameChannels < 1 ||
        frameChannels > static_cast<int>(kMaxChannelCount) || f.nb_samples <= 0) {
      return AVERROR_INVALIDDATA;
    }
    const bool planarFloat =
        f.format == AV_SAMPLE_FMT_FLTP || (f.format == AV_SAMPLE_FMT_FLT && frameChannels == 1);
    if (swr && (f.format != swrFormat || f.sample_rate != swrRate ||
                !sameLayout(f.ch_layout, swrLayout))) {
      int rc = flushConverter();
      if (rc < 0) return rc;
    }
    if (!swr && planarFloat && f.sample_rate == rate && frameChannels == channels) {
      int written =
          av_audio_fifo_write(fifo.get(), reinterpret_cast<void**>(f.extended_data), f.nb_samples);
      return written < 0 ? written : 0;
    }
    if (!swr) {
      int rc = buildConverter(f);
      if (rc < 0) return rc;
    }
    return convertInto(const_cast<const std::uint8_t**>(f.extended_data), f.nb_samples);
  }

  // Decodes until the fifo holds `wanted` frames or the stream has ended.
  void fill(int wanted) {
    while (!decoderEnded && av_audio_fifo_size(fifo.get()) < wanted) {
      int rc = nextFrame();
      if (rc == 0) {
        rc = append(*frame);
        av_frame_unref(frame.get());
        if (rc == 0) {
          failures = 0;
        } else if (++failures > kMaxConsecutiveFailures) {
          finish(avError("cannot decode the audio", rc));
        }
        continue;
      }
      finish(rc == AVERROR_EOF ? std::nullopt
                               : std::optional<NSError>(avError("cannot read the audio", rc)));
    }
  }

  void finish(std::optional<NSError> error) {
    decoderEnded = true;
    int rc = flushConverter();
    if (!error && rc < 0) error = avError("cannot convert the audio", rc);
    finalError = std::move(error);
  }
};

AVAudioFile::AVAudioFile(std::unique_ptr<Decoder> decoder, const AVAudioFormat& format)
    : decoder_(std::move(decoder)), processingFormat_(format) {}

AVAudioFile::~AVAudioFile() = default;

std::unique_ptr<AVAudioFile> AVAudioFile::openForReading(const std::string& path,
                                                         std::optional<NSError>& error) {
  silenceAVLog();
  auto refuse = [&](NSError e) -> std::unique_ptr<AVAudioFile> {
    error = std::move(e);
    return nullptr;
  };
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0)
    return refuse(avError("cannot open the file", AVERROR(errno)));
  if (S_ISDIR(info.st_mode)) return refuse(avError("cannot open the file", AVERROR(EISDIR)));
  if (!S_ISREG(info.st_mode)) return refuse(NSError{"cannot open the file: not a regular file"});

  // "file:" keeps a path with a colon from being read as another protocol; the whitelist also
  // binds every nested open of the demuxer.
  const std::string url = "file:" + path;
  auto options = [] {
    AVDictionary* raw = nullptr;
    av_dict_set(&raw, "protocol_whitelist", "file", 0);
    av_dict_set(&raw, "format_whitelist", kAudioDemuxers, 0);
    return AVDictionaryPtr(raw);
  };

  auto decoder = std::make_unique<Decoder>();
  AVIOContext* io = nullptr;
  AVDictionary* ioOptions = options().release();
  int rc = avio_open2(&io, url.c_str(), AVIO_FLAG_READ, nullptr, &ioOptions);
  AVDictionaryPtr ioLeft(ioOptions);
  decoder->io.reset(io);
  if (rc < 0) return refuse(avError("cannot open the file", rc));

  const AVInputFormat* demuxer = nullptr;
  rc = av_probe_input_buffer2(decoder->io.get(), &demuxer, url.c_str(), nullptr, 0, 0);
  if (rc < 0 || !demuxer) {
    return refuse(avError("unrecognised file format", rc < 0 ? rc : AVERROR_INVALIDDATA));
  }
  if (av_match_list(demuxer->name, kAudioDemuxers, ',') <= 0) {
    return refuse(NSError{std::string("not an audio file format: ") + demuxer->name});
  }

  AVFormatContext* format = avformat_alloc_context();
  if (!format) return refuse(avError("cannot read the file header", AVERROR(ENOMEM)));
  format->pb = decoder->io.get();
  AVDictionary* formatOptions = options().release();
  rc = avformat_open_input(&format, url.c_str(), demuxer, &formatOptions);
  AVDictionaryPtr formatLeft(formatOptions);
  decoder->format.reset(format);  // null after a failure: avformat_open_input freed it
  if (rc < 0) return refuse(avError("cannot read the file header", rc));
  rc = avformat_find_stream_info(decoder->format.get(), nullptr);
  if (rc < 0) return refuse(avError("cannot read the stream information", rc));

  const AVCodec* codec = nullptr;
  rc = av_find_best_stream(decoder->format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (rc == AVERROR_DECODER_NOT_FOUND || (rc >= 0 && !codec)) {
    return refuse(avError("no decoder for the audio stream", AVERROR_DECODER_NOT_FOUND));
  }
  if (rc < 0) return refuse(avError("no audio stream in the file", rc));
  decoder->streamIndex = rc;
  for (unsigned i = 0; i < decoder->format->nb_streams; ++i) {
    if (static_cast<int>(i) != decoder->streamIndex) {
      decoder->format->streams[i]->discard = AVDISCARD_ALL;
    }
  }
  AVStream* stream = decoder->format->streams[decoder->streamIndex];

  decoder->codec.reset(avcodec_alloc_context3(codec));
  decoder->packet.reset(av_packet_alloc());
  decoder->frame.reset(av_frame_alloc());
  if (!decoder->codec || !decoder->packet || !decoder->frame) {
    return refuse(avError("cannot open the audio decoder", AVERROR(ENOMEM)));
  }
  rc = avcodec_parameters_to_context(decoder->codec.get(), stream->codecpar);
  if (rc < 0) return refuse(avError("cannot open the audio decoder", rc));
  decoder->codec->pkt_timebase = stream->time_base;
  decoder->codec->thread_count = decoderThreads();
  decoder->codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  rc = avcodec_open2(decoder->codec.get(), codec, nullptr);
  if (rc < 0) return refuse(avError("cannot open the audio decoder", rc));

  // The processing format is that of the first frame that decodes; a stream without frames
  // keeps the rate and channels its header declares.
  int rate = stream->codecpar->sample_rate;
  int channels = stream->codecpar->ch_layout.nb_channels;
  bool primed = false;
  while (!primed) {
    rc = decoder->nextFrame();
    if (rc == AVERROR_EOF) break;
    if (rc < 0) return refuse(avError("cannot decode the audio", rc));
    if (decoder->frame->nb_samples > 0) {
      rate = decoder->frame->sample_rate;
      channels = decoder->frame->ch_layout.nb_channels;
      primed = true;
    } else {
      av_frame_unref(decoder->frame.get());
    }
  }
  if (!isSupportedSampleRate(rate)) {
    return refuse(NSError{"unsupported sample rate: " + std::to_string(rate) + " Hz"});
  }
  if (channels < 1 || channels > static_cast<int>(kMaxChannelCount)) {
    return refuse(NSError{"unsupported channel count: " + std::to_string(channels)});
  }
  std::optional<AVAudioFormat> processing =
      AVAudioFormat::make(AVAudioCommonFormat::pcmFormatFloat32, rate,
                          static_cast<std::uint32_t>(channels), /*interleaved=*/false);
  if (!processing) return refuse(NSError{"unsupported audio format"});
  decoder->rate = rate;
  decoder->channels = channels;
  decoder->fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, 1 << 14));
  if (!decoder->fifo) return refuse(avError("cannot open the audio decoder", AVERROR(ENOMEM)));
  if (primed) {
    rc = decoder->append(*decoder->frame);
    av_frame_unref(decoder->frame.get());
    if (rc < 0) return refuse(avError("cannot decode the audio", rc));
  } else {
    decoder->finish(std::nullopt);
  }
  return std::unique_ptr<AVAudioFile>(new AVAudioFile(std::move(decoder), *processing));
}

bool AVAudioFile::read(AVAudioPCMBuffer& buffer, std::uint32_t frameCount,
                       std::optional<NSError>& error) {
  buffer.setFrameLength(0);
  if (!(buffer.format() == processingFormat_)) {
    error = NSError{"the buffer is not in the file's processing format"};
    return false;
  }
  const std::uint32_t limit = std::min({frameCount, buffer.frameCapacity(), 1u << 30});
  const int wanted = static_cast<int>(limit);
  Decoder& d = *decoder_;
  d.fill(wanted);
  const int available = std::min(wanted, av_audio_fifo_size(d.fifo.get()));
  if (available == 0 && wanted > 0 && d.finalError) {
    error = d.finalError;
    return false;
  }
  std::vector<void*> planes(buffer.planeCount());
  for (std::uint32_t i = 0; i < buffer.planeCount(); ++i) planes[i] = buffer.planeBytes(i);
  int got = available > 0 ? av_audio_fifo_read(d.fifo.get(), planes.data(), available) : 0;
  if (got < 0) {
    error = avError("cannot read the audio", got);
    return false;
  }
  buffer.setFrameLength(static_cast<std::uint32_t>(got));
  return true;
}

}  // namespace quillmor_speech
