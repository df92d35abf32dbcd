// Reading an audio file, standing in for the platform's AVAudioFile: any local file whose
// container and codec this FFmpeg build reads, decoded to 32-bit float deinterleaved samples.
//
// Files are untrusted. Only the plain file at the given path is ever read: no other protocol,
// and no playlist or reference to another file is followed. Only audio demuxers are accepted
// (a misprobed text file is refused). Anything that is not a regular file is refused, so a FIFO
// or a device can neither block nor stream without end. Damaged packets are skipped; a file
// that yields nothing but damage is an error. Memory does not grow with the file's length.
//
// The processing format is fixed at opening, from the first decoded frame: its sample rate and
// channel count. Frames whose rate, channel layout or sample type differ later in the stream are
// converted back into it (resampled, remixed by libswresample's defaults).
//
// Not thread-safe: one file is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio/audio_format.h"
#include "platform/audio/ffmpeg_handles.h"
#include "platform/audio/ns_error.h"

namespace quillmor_speech {

class AVAudioFile {
 public:
  // initForReading:error:. The path is used unchanged (it may contain colons, spaces or any
  // byte). On failure returns nothing and sets `error` to a readable description; the
  // description never contains the path. Sample rates that are not integral or lie outside
  // [kMinSampleRate, kMaxSampleRate] (audio_converter.h) are refused.
  static std::unique_ptr<AVAudioFile> openForReading(const std::string& path,
                                                     std::optional<NSError>& error);

  ~AVAudioFile();
  AVAudioFile(const AVAudioFile&) = delete;
  AVAudioFile& operator=(const AVAudioFile&) = delete;

  // 32-bit float, deinterleaved, the file's sample rate and channel count.
  const AVAudioFormat& processingFormat() const { return processingFormat_; }

  // readIntoBuffer:frameCount:error:. Reads up to frameCount frames (at most the buffer's
  // capacity) from the current position into `buffer`, which must be in the processing format,
  // and sets its frameLength; 0 means the end of the file. Returns false and sets `error` when
  // the file cannot be read further; frames decoded before such a failure are delivered first.
  bool read(AVAudioPCMBuffer& buffer, std::uint32_t frameCount, std::optional<NSError>& error);

 private:
  struct Decoder;
  AVAudioFile(std::unique_ptr<Decoder> decoder, const AVAudioFormat& format);

  std::unique_ptr<Decoder> decoder_;
  AVAudioFormat processingFormat_;
};

}  // namespace quillmor_speech
