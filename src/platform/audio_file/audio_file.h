// Reading an audio file, standing in for the platform's AVAudioFile: any local file whose
// container and codec this FFmpeg build reads (see audio_input.h for what is refused), decoded
// to PCM in the decoder's own sample type where AVAudioFormat has it (16-bit or 32-bit integer,
// 32-bit or 64-bit float, interleaved or not), 32-bit float deinterleaved otherwise.
//
// Damaged packets are skipped; a file that yields nothing but damage is an error. Memory does
// not grow with the file's length.
//
// The processing format is fixed at opening, from the first decoded frame: its sample type,
// rate and channel count. Frames whose rate, channel layout or sample type differ later in the
// stream are converted back into it (resampled, remixed by libswresample's defaults).
//
// Not thread-safe: one file is used by one thread at a time. Inside, a thread of the file's own
// decodes ahead of the reads (at most about a megabyte of samples); it is stopped and joined
// when the file is destroyed, and a decoding failure reaches the reader as read's failure once
// the frames decoded before it have been read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio/audio_format.h"
#include "platform/base/status.h"

namespace quillmor_speech {

// The channels that reads deliver.
enum class AVAudioFileChannels {
  file,      // the file's own
  meanMono,  // one: the mean of the file's channels (a mono file's samples stay as they are)
};

class AVAudioFile {
 public:
  // initForReading:error:. The path is used unchanged (it may contain colons, spaces or any
  // byte). The failure's description never contains the path. Sample rates that are not
  // integral or lie outside [kMinSampleRate, kMaxSampleRate] (audio_converter.h) are refused.
  // With meanMono, a file of several channels is read as 32-bit float mono: the channels are
  // mixed as they are taken from the decoder, before anything else touches them.
  static StatusOr<std::unique_ptr<AVAudioFile>> openForReading(
      const std::string& path, AVAudioFileChannels channels = AVAudioFileChannels::file);

  ~AVAudioFile();
  AVAudioFile(const AVAudioFile&) = delete;
  AVAudioFile& operator=(const AVAudioFile&) = delete;

  // The first frame's sample type as above, the file's sample rate and channel count (or one).
  const AVAudioFormat& processingFormat() const { return processingFormat_; }

  // readIntoBuffer:frameCount:error:. Reads up to frameCount frames (at most the buffer's
  // capacity) from the current position into `buffer`, which must be in the processing format,
  // and sets its frameLength; 0 means the end of the file. Fails when the file cannot be read
  // further; frames decoded before such a failure are delivered first.
  Status read(AVAudioPCMBuffer& buffer, std::uint32_t frameCount);

 private:
  struct Decoder;
  AVAudioFile(std::unique_ptr<Decoder> decoder, const AVAudioFormat& format);

  std::unique_ptr<Decoder> decoder_;
  AVAudioFormat processingFormat_;
};

}  // namespace quillmor_speech
