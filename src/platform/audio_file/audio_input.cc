#include "platform/audio_file/audio_input.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/audio_convert/ffmpeg_error.h"

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/mem.h>
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

// The whitelists bind every nested open of the demuxer too.
AVDictionaryPtr whitelists() {
  AVDictionary* raw = nullptr;
  av_dict_set(&raw, "protocol_whitelist", "file", 0);
  av_dict_set(&raw, "format_whitelist", kAudioDemuxers, 0);
  return AVDictionaryPtr(raw);
}

// Room beyond the file's size for one allocation: a decoded frame can be larger than the packet
// it came from (FLAC's largest is 2 MiB).
constexpr std::size_t kAllocationRoom = 64 << 20;

// The file's size; fails for anything that is not a regular file.
StatusOr<std::size_t> regularFileSize(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return avError("cannot open the file", AVERROR(errno));
  if (S_ISDIR(info.st_mode)) return avError("cannot open the file", AVERROR(EISDIR));
  if (!S_ISREG(info.st_mode)) return Status::error("cannot open the file: not a regular file");
  return static_cast<std::size_t>(info.st_size);
}

// The file's I/O and its demuxer, probed from the contents and held to the whitelist.
Status openContainer(const std::string& url, AudioInput& input) {
  AVIOContext* io = nullptr;
  AVDictionary* ioOptions = whitelists().release();
  int rc = avio_open2(&io, url.c_str(), AVIO_FLAG_READ, nullptr, &ioOptions);
  AVDictionaryPtr ioLeft(ioOptions);
  input.io.reset(io);
  if (rc < 0) return avError("cannot open the file", rc);

  const AVInputFormat* demuxer = nullptr;
  rc = av_probe_input_buffer2(input.io.get(), &demuxer, url.c_str(), nullptr, 0, 0);
  if (rc < 0 || !demuxer) {
    return avError("unrecognised file format", rc < 0 ? rc : AVERROR_INVALIDDATA);
  }
  if (av_match_list(demuxer->name, kAudioDemuxers, ',') <= 0) {
    return Status::error(std::string("not an audio file format: ") + demuxer->name);
  }
  AVFormatContext* format = avformat_alloc_context();
  if (!format) return avError("cannot read the file header", AVERROR(ENOMEM));
  format->pb = input.io.get();
  AVDictionary* formatOptions = whitelists().release();
  rc = avformat_open_input(&format, url.c_str(), demuxer, &formatOptions);
  AVDictionaryPtr formatLeft(formatOptions);
  input.format.reset(format);  // null after a failure: avformat_open_input freed it
  if (rc < 0) return avError("cannot read the file header", rc);
  rc = avformat_find_stream_info(input.format.get(), nullptr);
  if (rc < 0) return avError("cannot read the stream information", rc);
  return Status::ok();
}

// A decoder of `codec` for the stream, on the caller's thread alone.
StatusOr<AVCodecContextPtr> openCodec(const AVStream& stream, const AVCodec& codec) {
  AVCodecContextPtr context(avcodec_alloc_context3(&codec));
  if (!context) return avError("cannot open the audio decoder", AVERROR(ENOMEM));
  int rc = avcodec_parameters_to_context(context.get(), stream.codecpar);
  if (rc < 0) return avError("cannot open the audio decoder", rc);
  context->pkt_timebase = stream.time_base;
  // One thread per decoder: the file reader decodes on threads of its own (several decoders at
  // once where packets decode apart), and FFmpeg's frame threads hand over every packet, which
  // costs about as much as decoding an audio packet.
  context->thread_count = 1;
  rc = avcodec_open2(context.get(), &codec, nullptr);
  if (rc < 0) return avError("cannot open the audio decoder", rc);
  return context;
}

// The best audio stream, every other stream discarded, and its decoder opened.
Status openDecoder(AudioInput& input) {
  const AVCodec* codec = nullptr;
  int rc = av_find_best_stream(input.format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (rc == AVERROR_DECODER_NOT_FOUND || (rc >= 0 && !codec)) {
    return avError("no decoder for the audio stream", AVERROR_DECODER_NOT_FOUND);
  }
  if (rc < 0) return avError("no audio stream in the file", rc);
  input.streamIndex = rc;
  for (unsigned i = 0; i < input.format->nb_streams; ++i) {
    if (static_cast<int>(i) != input.streamIndex) {
      input.format->streams[i]->discard = AVDISCARD_ALL;
    }
  }
  StatusOr<AVCodecContextPtr> opened = openCodec(*input.format->streams[input.streamIndex], *codec);
  if (!opened) return opened.status();
  input.codec = std::move(opened).value();
  return Status::ok();
}

}  // namespace

StatusOr<AVCodecContextPtr> openAnotherDecoder(const AudioInput& input) {
  return openCodec(*input.format->streams[input.streamIndex], *input.codec->codec);
}

bool decodesPacketsApart(const AudioInput& input) {
  // Each frame of these formats is complete in itself: its header carries or refers to the
  // stream's parameters, and nothing of one frame is needed to decode another. A decoder with
  // a delay holds frames back, so it is never taken, whatever its format.
  switch (input.codec->codec_id) {
    case AV_CODEC_ID_FLAC:
    case AV_CODEC_ID_ALAC:
    case AV_CODEC_ID_TTA:
      return !(input.codec->codec->capabilities & AV_CODEC_CAP_DELAY);
    default:
      return false;
  }
}

StatusOr<AudioInput> openAudioInput(const std::string& path) {
  silenceAVLog();
  StatusOr<std::size_t> size = regularFileSize(path);
  if (!size) return size.status();
  // FFmpeg's limit on any one allocation, for the whole process: a header field that claims more
  // than the file holds (a chunk, a tag, extradata) then fails as a bad file instead of taking
  // the memory it names.
  av_max_alloc(std::min<std::size_t>(*size, INT_MAX - kAllocationRoom) + kAllocationRoom);
  // "file:" keeps a path with a colon from being read as another protocol.
  const std::string url = "file:" + path;
  AudioInput input;
  if (Status opened = openContainer(url, input); !opened) return opened;
  if (Status decoding = openDecoder(input); !decoding) return decoding;
  return input;
}

}  // namespace quillmor_speech
