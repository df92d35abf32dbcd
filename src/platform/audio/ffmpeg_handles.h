// Owners of FFmpeg's C handles. Each handle type has one named deleter calling the library's
// own free function (those taking T** are given the address of a local copy), and one
// unique_ptr alias. Owning types built from these are move-only and never throw on destruction.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

namespace quillmor_speech {

// An input AVFormatContext opened with avformat_open_input. Its AVIOContext, when supplied by
// the caller (custom I/O), is not closed here: own it with AVIOContextPtr.
struct AVFormatContextDeleter {
  void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
struct AVIOContextDeleter {
  void operator()(AVIOContext* p) const { avio_closep(&p); }
};
struct AVCodecContextDeleter {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct SwrContextDeleter {
  void operator()(SwrContext* p) const { swr_free(&p); }
};
struct AVFrameDeleter {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct AVPacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AVAudioFifoDeleter {
  void operator()(AVAudioFifo* p) const { av_audio_fifo_free(p); }
};
struct AVDictionaryDeleter {
  void operator()(AVDictionary* p) const { av_dict_free(&p); }
};

using AVFormatContextPtr = std::unique_ptr<AVFormatContext, AVFormatContextDeleter>;
using AVIOContextPtr = std::unique_ptr<AVIOContext, AVIOContextDeleter>;
using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextDeleter>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextDeleter>;
using AVFramePtr = std::unique_ptr<AVFrame, AVFrameDeleter>;
using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketDeleter>;
using AVAudioFifoPtr = std::unique_ptr<AVAudioFifo, AVAudioFifoDeleter>;
using AVDictionaryPtr = std::unique_ptr<AVDictionary, AVDictionaryDeleter>;

}  // namespace quillmor_speech
