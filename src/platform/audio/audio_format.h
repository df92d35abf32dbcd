// PCM formats and sample buffers of the audio layer.
//
// These stand in for the platform's audio service types of the same names. A format describes
// samples (sample type, rate, channel count, layout); a buffer owns samples of one format.
// Neither type is thread-safe; a buffer may be moved to another thread and used there alone.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace quillmor_speech {

// The sample types the program uses, with the platform's numeric values.
enum class AVAudioCommonFormat : int {
  otherFormat = 0,
  pcmFormatFloat32 = 1,
  pcmFormatFloat64 = 2,
  pcmFormatInt16 = 3,
  pcmFormatInt32 = 4,
};

// The most channels a format may describe; more is refused as absurd.
inline constexpr std::uint32_t kMaxChannelCount = 64;

// Sample rates outside this range (and fractional rates) are refused by the converter and by
// AVAudioFile: a crafted rate of 1 Hz would otherwise ask for buffers of hundreds of millions of
// frames.
inline constexpr double kMinSampleRate = 1000;
inline constexpr double kMaxSampleRate = 768000;

// True for an integral rate within [kMinSampleRate, kMaxSampleRate].
bool isSupportedSampleRate(double rate);

class AVAudioFormat {
 public:
  // initWithCommonFormat:sampleRate:channels:interleaved:. Gives nothing when the description
  // is unusable: otherFormat, a rate that is not finite and positive, or a channel count of 0 or
  // above kMaxChannelCount.
  static std::optional<AVAudioFormat> make(AVAudioCommonFormat commonFormat, double sampleRate,
                                           std::uint32_t channelCount, bool interleaved);

  AVAudioCommonFormat commonFormat() const { return commonFormat_; }
  double sampleRate() const { return sampleRate_; }
  std::uint32_t channelCount() const { return channelCount_; }
  bool isInterleaved() const { return interleaved_; }

  // True exactly when no conversion is needed between the two: same sample type, rate and
  // channel count, and the same layout (one channel has only one layout, so the interleaved
  // flag does not matter for mono).
  friend bool operator==(const AVAudioFormat& a, const AVAudioFormat& b);

 private:
  AVAudioFormat(AVAudioCommonFormat f, double r, std::uint32_t c, bool i)
      : commonFormat_(f), sampleRate_(r), channelCount_(c), interleaved_(i) {}

  AVAudioCommonFormat commonFormat_;
  double sampleRate_;
  std::uint32_t channelCount_;
  bool interleaved_;
};

// A buffer of PCM frames in one format, with room for frameCapacity frames, of which the first
// frameLength are valid. Interleaved formats keep all channels in one plane (channel data 0);
// deinterleaved formats keep one plane per channel. Move-only.
class AVAudioPCMBuffer {
 public:
  // initWithPCMFormat:frameCapacity:. Gives nothing when the memory cannot be had (the caller
  // reports this as an allocation failure) or the byte size overflows.
  static std::unique_ptr<AVAudioPCMBuffer> make(const AVAudioFormat& format,
                                                std::uint32_t frameCapacity);

  AVAudioPCMBuffer(AVAudioPCMBuffer&&) = default;
  AVAudioPCMBuffer& operator=(AVAudioPCMBuffer&&) = default;
  AVAudioPCMBuffer(const AVAudioPCMBuffer&) = delete;
  AVAudioPCMBuffer& operator=(const AVAudioPCMBuffer&) = delete;

  const AVAudioFormat& format() const { return format_; }
  std::uint32_t frameCapacity() const { return frameCapacity_; }
  std::uint32_t frameLength() const { return frameLength_; }
  // Sets the valid frame count, clamped to the capacity.
  void setFrameLength(std::uint32_t frames);

  // Per-plane sample pointers, or nullptr when the samples are not of that type.
  std::int16_t* const* int16ChannelData();
  const std::int16_t* const* int16ChannelData() const;
  float* const* floatChannelData();
  const float* const* floatChannelData() const;

  // Planes and the bytes of one plane's valid frames (frameLength × samples per frame per plane
  // × bytes per sample).
  std::uint32_t planeCount() const { return static_cast<std::uint32_t>(planes_.size()); }
  std::uint8_t* planeBytes(std::uint32_t plane) { return planes_[plane]; }
  const std::uint8_t* planeBytes(std::uint32_t plane) const { return planes_[plane]; }
  std::size_t bytesPerFrameInPlane() const;

  // Releases the capacity beyond frameLength, so that a buffer that waits in a queue costs only
  // the samples it holds.
  void shrinkToFit();

 private:
  AVAudioPCMBuffer(const AVAudioFormat& format, std::uint32_t capacity);
  void bindPlanes();

  AVAudioFormat format_;
  std::uint32_t frameCapacity_;
  std::uint32_t frameLength_ = 0;
  std::vector<std::uint8_t> storage_;
  std::vector<std::uint8_t*> planes_;
  std::vector<std::int16_t*> int16Planes_;  // set for pcmFormatInt16 only
  std::vector<float*> floatPlanes_;         // set for pcmFormatFloat32 only
};

}  // namespace quillmor_speech
