// Decoding a whole audio file to 16 kHz 16-bit mono PCM, apart from any process or stream.
//
// The file is opened with AVAudioFile (its channels mixed to their mean), read in chunks of
// kDecodeInputChunkFrames frames into one input buffer, and converted by one AVAudioConverter into
// one output buffer of decodeOutputCapacity(rate) frames. The samples of each conversion call go to
// the sink in one call, in order, as soon as they are produced; nothing is gathered in memory, so
// memory is bounded by the two buffers whatever the file's length.
//
// A read failure in mid-file ends the input like the end of the file does: what was decoded
// before it is converted and delivered, and the decode succeeds. A conversion failure ends the
// decode at once; the samples of earlier calls have already been delivered.
//
// Not thread-safe: one decode runs on the calling thread (the file reader may decode ahead on a
// thread of its own, which it joins before returning).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/audio/decoder_module.h"
#include "platform/base/status.h"

namespace quillmor_speech {

// Frames read from the file per input block call, and the input buffer's capacity.
inline constexpr std::uint32_t kDecodeInputChunkFrames = 16384;
// Frames added to the rate-scaled input chunk for the output buffer's capacity.
inline constexpr std::uint32_t kDecodeOutputSlackFrames = 4096;
inline constexpr double kDecodeTargetRate = 16000.0;

// The output buffer's capacity for a source rate: 16000 / rate × 16384, computed in double in
// that order and truncated toward zero, plus 4096. Nothing when that is not a finite count that
// fits 32 bits (a rate of 0, negative, or far too low).
std::optional<std::uint32_t> decodeOutputCapacity(double sourceRate);

// Decodes the file at `path` (used unchanged) and hands every converted sample to `sink`
// (decoder_module.h). Nothing reaches the sink unless the file opened and both buffers were made.
// Fails with code unreadable when the file cannot be opened as audio (the message says why),
// unsupported when there is no conversion from its format to the target or no output capacity,
// noMemory when a buffer cannot be had, and failed with the error of a conversion call or the
// sink's own message when either fails.
Status decodePcm(const std::string& path, const PcmSink& sink);

}  // namespace quillmor_speech
