// The decode command: any audio file as raw 16-bit little-endian mono PCM at 16000 Hz.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

// Writes the samples to standard output, each conversion call's frames in one write and without
// stdoutLock (decode is the only writer of its process). Every fatal condition ends the process
// inside, through fail(); returning means success. Single-threaded; memory is bounded by the
// two buffers whatever the file's length.
void decode(const std::string& path);

}  // namespace quillmor_speech
