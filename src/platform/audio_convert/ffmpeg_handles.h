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
#include <libavutil/buffer.h>
#include <libavutil/channel_layout.h>
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
struct AVBufferPoolDeleter {
  void operator()(AVBufferPool* p) const { av_buffer_pool_uninit(&p); }
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
// Buffers taken from a pool outlive it: each one returns to it, and the last frees it.
using AVBufferPoolPtr = std::unique_ptr<AVBufferPool, AVBufferPoolDeleter>;

// An AVChannelLayout that owns what it refers to (a custom order's channel map): uninitialised
// on destruction. Starts out empty (no channels); move-only.
class ChannelLayout {
 public:
  ChannelLayout() = default;
  ~ChannelLayout() { av_channel_layout_uninit(&layout_); }
  ChannelLayout(ChannelLayout&& other) noexcept : layout_(other.layout_) { other.layout_ = {}; }
  ChannelLayout& operator=(ChannelLayout&& other) noexcept {
    if (this != &other) {
      av_channel_layout_uninit(&layout_);
      layout_ = other.layout_;
      other.layout_ = {};
    }
    return *this;
  }
  ChannelLayout(const ChannelLayout&) = delete;
  ChannelLayout& operator=(const ChannelLayout&) = delete;

  // FFmpeg's default layout for the count (unspecified order beyond the known counts).
  static ChannelLayout defaultFor(int channels) {
    ChannelLayout made;
    av_channel_layout_default(&made.layout_, channels);
    return made;
  }
  // Replaces this layout with a copy of `source`; 0 or an AVERROR (this is then empty).
  int assign(const AVChannelLayout& source) {
    av_channel_layout_uninit(&layout_);
    return av_channel_layout_copy(&layout_, &source);
  }

  const AVChannelLayout& get() const { return layout_; }
  int channels() const { return layout_.nb_channels; }
  bool operator==(const AVChannelLayout& other) const {
    return av_channel_layout_compare(&layout_, &other) == 0;
  }

 private:
  AVChannelLayout layout_{};
};

}  // namespace quillmor_speech
