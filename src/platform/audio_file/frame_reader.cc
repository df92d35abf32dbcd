#include "platform/audio_file/frame_reader.h"

#include <algorithm>
#include <cerrno>
#include <new>

namespace quillmor_speech {

FrameReader::FrameReader(AudioInput input, int workers)
    : input_(std::move(input)), packet_(av_packet_alloc()), frame_(av_frame_alloc()) {
  if (workers > 1 && decodesPacketsApart(input_)) batches_ = BatchDecoder::start(input_, workers);
}

int FrameReader::defaultWorkers() {
  return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
}

int FrameReader::declaredRate() const {
  return input_.format->streams[input_.streamIndex]->codecpar->sample_rate;
}

int FrameReader::declaredChannels() const {
  return input_.format->streams[input_.streamIndex]->codecpar->ch_layout.nb_channels;
}

int FrameReader::next() { return batches_ ? decodeInBatches() : decodeHere(); }

// The next packet of the stream into packet_: 0, or the end of the demuxing (the flush packet
// is then due; readError_ keeps a read failure).
int FrameReader::readPacket() {
  while (true) {
    int rc = av_read_frame(input_.format.get(), packet_.get());
    if (rc < 0) {
      if (rc != AVERROR_EOF) readError_ = rc;
      demuxEnded_ = true;
      return rc;
    }
    if (packet_->stream_index == input_.streamIndex) return 0;
    av_packet_unref(packet_.get());
  }
}

int FrameReader::decodeHere() {
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
    if (readPacket() < 0) {
      // The end, or a read failure: either way the decoder hands out what it holds first.
      avcodec_send_packet(codec, nullptr);
      continue;
    }
    rc = avcodec_send_packet(codec, packet_.get());
    av_packet_unref(packet_.get());
    if (rc < 0 && rc != AVERROR(EAGAIN) && (rc == AVERROR(ENOMEM) || countFailure())) return rc;
  }
}

void FrameReader::fillBatches() {
  while (!demuxEnded_ && batches_->hasRoom()) {
    std::vector<AVPacketPtr> batch;
    try {
      batch.reserve(kBatchPackets);
      std::int64_t frames = 0;
      std::size_t bytes = 0;
      while (batch.size() < kBatchPackets && frames < kBatchFrames && bytes < kBatchBytes &&
             readPacket() == 0) {
        frames += std::max<std::int64_t>(packet_->duration, 0);
        bytes += static_cast<std::size_t>(packet_->size);
        AVPacketPtr taken(av_packet_alloc());
        // The demuxer may lend its own memory; the worker needs the packet's for as long as it
        // decodes.
        int rc = taken ? av_packet_make_refcounted(packet_.get()) : AVERROR(ENOMEM);
        if (rc < 0) {
          av_packet_unref(packet_.get());
          endDemuxing(rc);
          break;
        }
        av_packet_move_ref(taken.get(), packet_.get());
        batch.push_back(std::move(taken));
      }
      if (!batch.empty()) batches_->submit(std::move(batch), monoRate_);
    } catch (const std::bad_alloc&) {
      endDemuxing(AVERROR(ENOMEM));
    }
  }
}

void FrameReader::endDemuxing(int error) {
  demuxEnded_ = true;
  if (!readError_) readError_ = error;
}

int FrameReader::decodeInBatches() {
  while (true) {
    while (nextItem_ < items_.size()) {
      DecodedItem& item = items_[nextItem_++];
      if (item.frame) {
        av_frame_move_ref(frame_.get(), item.frame.get());
        item.frame.reset();
        return 0;
      }
      if (item.error == AVERROR(ENOMEM) || countFailure()) return item.error;
    }
    items_.clear();
    nextItem_ = 0;
    fillBatches();
    if (batches_->idle()) return readError_ ? readError_ : AVERROR_EOF;
    try {
      items_ = batches_->takeOldest();
    } catch (const std::bad_alloc&) {
      return AVERROR(ENOMEM);
    }
  }
}

}  // namespace quillmor_speech
