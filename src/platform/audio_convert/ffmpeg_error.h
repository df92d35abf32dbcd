// FFmpeg's error codes and log output, translated in one place.
//
// Every AVERROR that the audio layer meets becomes a failed Status here, as "<context>: <FFmpeg's
// description>", for example "cannot open the file: No such file or directory". The texts are
// ASCII and never contain a path, so they can be passed on in an event line unchanged.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/status.h"

namespace quillmor_speech {

// FFmpeg's own text for an AVERROR code (av_strerror), or "error <code>" when it has none.
std::string describeAVError(int code);

// "<context>: <describeAVError(code)>", of code noMemory for AVERROR(ENOMEM).
Status avError(std::string_view context, int code);

// Routes FFmpeg's log messages nowhere, so that no library message ever reaches stderr.
// Idempotent; every entry point of the audio layer calls it before using the libraries.
void silenceAVLog();

}  // namespace quillmor_speech
