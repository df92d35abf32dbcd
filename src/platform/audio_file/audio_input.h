// Opening an untrusted local file as one decodable audio stream: the checks on the path, the
// demuxer whitelist, the stream choice and the decoder, and nothing of the decoding itself.
//
// Only the plain file at the given path is read: no other protocol, and no playlist or
// reference to another file is followed. Only audio demuxers are accepted (a misprobed text file
// is refused). Anything that is not a regular file is refused, so a FIFO or a device can neither
// block nor stream without end.
#pragma once

#include <string>

#include "platform/audio_convert/ffmpeg_handles.h"
#include "platform/base/status.h"

namespace quillmor_speech {

// Damaged packets or frames in a row after which the file counts as unreadable.
inline constexpr int kMaxConsecutiveFailures = 100;

// An opened file with its best audio stream and an opened decoder for it. Every other stream is
// discarded by the demuxer. Move-only.
struct AudioInput {
  // Declared before `format`, so the format context is closed before its I/O.
  AVIOContextPtr io;
  AVFormatContextPtr format;
  AVCodecContextPtr codec;
  int streamIndex = -1;
};

// Opens `path` (used unchanged; it may contain colons, spaces or any byte). The failure's
// description never contains the path, for example "cannot open the file: Is a directory" or
// "not an audio file format: tty". Sets FFmpeg's process-wide limit on one allocation
// (av_max_alloc) to the file's size and 64 MiB more, so that what the file's headers claim
// cannot size an allocation beyond that.
StatusOr<AudioInput> openAudioInput(const std::string& path);

// Another decoder for the input's stream, opened as its own, for decoding on another thread.
StatusOr<AVCodecContextPtr> openAnotherDecoder(const AudioInput& input);

// True when every packet of the input's stream decodes by itself, whatever came before it, so
// that packets may be decoded out of order by separate decoders and give the same frames.
bool decodesPacketsApart(const AudioInput& input);

}  // namespace quillmor_speech
