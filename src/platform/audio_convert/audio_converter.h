// Conversion of PCM between formats and sample rates, standing in for the platform's
// AVAudioConverter. The work is libswresample's (its native engine, whose output does not
// depend on how the input is cut into calls).
//
// What converts: 16-bit and 32-bit integer and 32-bit and 64-bit float samples, either layout,
// between integral sample rates in [kMinSampleRate, kMaxSampleRate]. Channels: the same count
// on both sides; any count down to one channel, where the mono sample is the mean of all input
// channels (stereo: (L + R) / 2, so a tone present equally in both channels keeps its level);
// one channel up to any count, copied into every channel. Nothing else.
//
// Not thread-safe: one converter is used by one thread at a time. The converter is linked into
// the program: libswresample and libavutil cost a session about 2 ms to map, too little to load
// them apart.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/audio/audio_format.h"
#include "platform/base/status.h"

namespace quillmor_speech {

// What the input block reports with the buffer it returns (or does not return).
enum class AVAudioConverterInputStatus {
  haveData = 0,    // a buffer in the converter's input format is returned
  noDataNow = 1,   // nothing now; the call returns what it has produced
  endOfStream = 2  // nothing, ever again; the converter hands out what it still holds
};

enum class AVAudioConverterOutputStatus {
  haveData = 0,     // frames were produced: the output buffer is full, or the tail after the
                    // end of the input was handed out
  inputRanDry = 1,  // the block reported noDataNow before the buffer was full (some frames may
                    // have been produced)
  endOfStream = 2,  // the input has ended and nothing is left: no frames
};

class AVAudioConverter {
 public:
  // initFromFormat:toFormat:. Nothing when the conversion is not supported (see above).
  static std::unique_ptr<AVAudioConverter> make(const AVAudioFormat& from, const AVAudioFormat& to);

  AVAudioConverter(const AVAudioConverter&) = delete;
  AVAudioConverter& operator=(const AVAudioConverter&) = delete;

  // The block is called with a requested packet count (a hint: the frames still missing from
  // the output, in input frames) and the status to set. A buffer it returns must be in the
  // input format and stay valid until the block is called again or convert returns.
  using InputBlock =
      std::function<AVAudioPCMBuffer*(std::uint32_t packetCount, AVAudioConverterInputStatus&)>;

  // convertToBuffer:error:withInputFromBlock:. Writes frames into `output` (which must be in
  // the output format) from its start and sets its frameLength to the frames produced. First
  // hands out what earlier calls left over, then calls the block until the output is full, the
  // block reports noDataNow, or it reports endOfStream (then the resampler is flushed; this
  // call and later ones hand out the rest, and once empty every call returns endOfStream).
  // On failure returns the error (the platform's status 3 with its error) and frameLength is 0.
  // The converter keeps its state (filter history, input not yet consumed) between calls.
  StatusOr<AVAudioConverterOutputStatus> convert(AVAudioPCMBuffer& output,
                                                 const InputBlock& inputBlock);

  ~AVAudioConverter();

 private:
  // libswresample's context and what the conversion keeps between calls; the header names no
  // FFmpeg type, so the commands that convert never compile FFmpeg's headers.
  struct State;
  explicit AVAudioConverter(std::unique_ptr<State> state);

  // One swr_convert into output from frame `offset` on; input nullptr with count 0 flushes,
  // a non-null input with count 0 hands out what is ready.
  int convertInto(AVAudioPCMBuffer& output, std::uint32_t offset, const std::uint8_t** input,
                  int inputFrames);

  std::unique_ptr<State> state_;
};

}  // namespace quillmor_speech
