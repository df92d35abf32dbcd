#include "platform/audio/frame_reader.h"

#include <cerrno>

namespace quillmor_speech {

FrameReader::FrameReader(AudioInput input)
    : input_(std::move(input)), packet_(av_packet_alloc()), frame_(av_frame_alloc()) {}

int FrameReader::declaredRate() const {
  return input_.format->streams[input_.streamIndex]->codecpar->sample_rate;
}

int FrameReader::declaredChannels() const {
  return input_.format->streams[input_.streamIndex]->codecpar->ch_layout.nb_channels;
}

int FrameReader::next() {
  AVCodecContext* codec = input_.codec.get();
  while (true) {
    int rc = avcodec_receive_frame(codec, frame_.get());
    if (rc == 0) return 0;
    if (rc == AVERROR_EOF) return readError_ ? readError_ : AVERROR_EOF;
    if (rc != AVERROR(EAGAIN)) {
      if (rc == AVERROR(ENOMEM) || countFailure()) return rc;
      continue;
    }
    if (demuxEnded_) return readError_ ? readError_ : AVERROR_EOF;  // wants input: none left
    rc = av_read_frame(input_.format.get(), packet_.get());
    if (rc < 0) {
      // The end, or a read failure: either way the decoder hands out what it holds first.
      if (rc != AVERROR_EOF) readError_ = rc;
      demuxEnded_ = true;
      avcodec_send_packet(codec, nullptr);
      continue;
    }
    if (packet_->stream_index != input_.streamIndex) {
      av_packet_unref(packet_.get());
      continue;
    }
    rc = avcodec_send_packet(codec, packet_.get());
    av_packet_unref(packet_.get());
    if (rc < 0 && rc != AVERROR(EAGAIN) && (rc == AVERROR(ENOMEM) || countFailure())) return rc;
  }
}

}  // namespace quillmor_speech
