#include "platform/audio/audio_format.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace quillmor_speech {

namespace {

// Bytes of one sample of a common format; 0 for otherFormat.
std::size_t bytesPerSample(AVAudioCommonFormat format) {
  switch (format) {
    case AVAudioCommonFormat::pcmFormatFloat32:
    case AVAudioCommonFormat::pcmFormatInt32:
      return 4;
    case AVAudioCommonFormat::pcmFormatFloat64:
      return 8;
    case AVAudioCommonFormat::pcmFormatInt16:
      return 2;
    case AVAudioCommonFormat::otherFormat:
      break;
  }
  return 0;
}

}  // namespace

bool isSupportedSampleRate(double rate) {
  return std::isfinite(rate) && rate >= kMinSampleRate && rate <= kMaxSampleRate &&
         rate == std::floor(rate);
}

std::optional<AVAudioFormat> AVAudioFormat::make(AVAudioCommonFormat commonFormat,
                                                 double sampleRate, std::uint32_t channelCount,
                                                 bool interleaved) {
  if (bytesPerSample(commonFormat) == 0 || !std::isfinite(sampleRate) || sampleRate <= 0 ||
      channelCount == 0 || channelCount > kMaxChannelCount) {
    return std::nullopt;
  }
  return AVAudioFormat(commonFormat, sampleRate, channelCount, interleaved);
}

bool operator==(const AVAudioFormat& a, const AVAudioFormat& b) {
  return a.commonFormat_ == b.commonFormat_ && a.sampleRate_ == b.sampleRate_ &&
         a.channelCount_ == b.channelCount_ &&
         (a.channelCount_ == 1 || a.interleaved_ == b.interleaved_);
}

AVAudioPCMBuffer::AVAudioPCMBuffer(const AVAudioFormat& format, std::uint32_t capacity)
    : format_(format), frameCapacity_(capacity) {}

std::size_t AVAudioPCMBuffer::bytesPerFrameInPlane() const {
  std::size_t perPlane = format_.isInterleaved() ? format_.channelCount() : 1;
  return perPlane * bytesPerSample(format_.commonFormat());
}

std::unique_ptr<AVAudioPCMBuffer> AVAudioPCMBuffer::make(const AVAudioFormat& format,
                                                         std::uint32_t frameCapacity) {
  std::unique_ptr<AVAudioPCMBuffer> buffer(new (std::nothrow)
                                               AVAudioPCMBuffer(format, frameCapacity));
  if (!buffer) return nullptr;
  std::size_t planes = format.isInterleaved() ? 1 : format.channelCount();
  std::size_t planeBytes = buffer->bytesPerFrameInPlane();
  // capacity < 2^32, planeBytes ≤ 64 × 8 and planes ≤ 64: the product fits 64 bits.
  std::size_t total = std::size_t{frameCapacity} * planeBytes * planes;
  try {
    buffer->storage_.assign(total, 0);
    buffer->planes_.resize(planes);
  } catch (const std::bad_alloc&) {
    return nullptr;
  } catch (const std::length_error&) {
    return nullptr;
  }
  buffer->bindPlanes();
  return buffer;
}

void AVAudioPCMBuffer::bindPlanes() {
  std::size_t planeSize = std::size_t{frameCapacity_} * bytesPerFrameInPlane();
  int16Planes_.clear();
  floatPlanes_.clear();
  for (std::size_t i = 0; i < planes_.size(); ++i) {
    planes_[i] = storage_.data() + i * planeSize;
    if (format_.commonFormat() == AVAudioCommonFormat::pcmFormatInt16) {
      int16Planes_.push_back(reinterpret_cast<std::int16_t*>(planes_[i]));
    } else if (format_.commonFormat() == AVAudioCommonFormat::pcmFormatFloat32) {
      floatPlanes_.push_back(reinterpret_cast<float*>(planes_[i]));
    }
  }
}

void AVAudioPCMBuffer::setFrameLength(std::uint32_t frames) {
  frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_;
}

std::int16_t* const* AVAudioPCMBuffer::int16ChannelData() {
  if (format_.commonFormat() != AVAudioCommonFormat::pcmFormatInt16) return nullptr;
  return int16Planes_.data();
}

const std::int16_t* const* AVAudioPCMBuffer::int16ChannelData() const {
  if (format_.commonFormat() != AVAudioCommonFormat::pcmFormatInt16) return nullptr;
  return int16Planes_.data();
}

float* const* AVAudioPCMBuffer::floatChannelData() {
  if (format_.commonFormat() != AVAudioCommonFormat::pcmFormatFloat32) return nullptr;
  return floatPlanes_.data();
}

const float* const* AVAudioPCMBuffer::floatChannelData() const {
  if (format_.commonFormat() != AVAudioCommonFormat::pcmFormatFloat32) return nullptr;
  return floatPlanes_.data();
}

void AVAudioPCMBuffer::shrinkToFit() {
  if (frameLength_ == frameCapacity_) return;
  std::size_t oldPlane = std::size_t{frameCapacity_} * bytesPerFrameInPlane();
  std::size_t newPlane = std::size_t{frameLength_} * bytesPerFrameInPlane();
  std::vector<std::uint8_t> packed(newPlane * planes_.size());
  for (std::size_t i = 0; i < planes_.size(); ++i) {
    std::copy_n(storage_.data() + i * oldPlane, newPlane, packed.data() + i * newPlane);
  }
  storage_ = std::move(packed);
  frameCapacity_ = frameLength_;
  bindPlanes();
}

}  // namespace quillmor_speech
