// Audio ingestion of serve: from audio frames on standard input to the analyzer's input
// sequence, then the end of the session.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/audio/audio_format.h"
#include "platform/speech/speech_engine.h"
#include "serve/frames.h"
#include "serve/results.h"

namespace quillmor_speech {

// The format of the host's audio frames: 16-bit signed integer, the given rate, mono,
// interleaved. Nothing for a rate that the converter cannot serve (see isSupportedSampleRate):
// zero, negative, fractional, not a number, or outside 1000 to 768000 Hz.
std::optional<AVAudioFormat> hostInputFormat(double sampleRate);

// Frames of analyzer-format output to make room for when converting `frames` input frames:
// the rate-scaled count truncated toward zero, plus 1024. Nothing when that is not finite or
// does not fit 32 bits.
std::optional<std::uint32_t> convertedCapacity(double analyzerRate, std::uint32_t frames,
                                               double inputRate);

// Reads frames from `fd` until an end frame or the end of input, hands every audio frame to the
// analyzer through `input`, then finishes the input, waits for finalisation and for the result
// task, and writes "done". Audio of another format than the analyzer's is converted by a
// converter of the converter module, made before the first frame is read. A failing
// finalisation, or a converter module that cannot be loaded, ends the process through fail()
// ("recognition_failed"); any other failure (memory for a frame, for one) is thrown to the
// caller.
void streamAudio(int fd, const AVAudioFormat& inputFormat, const AVAudioFormat& analyzerFormat,
                 SpeechAnalyzer& analyzer, AnalyzerInputSequence& input, ResultTask& resultTask);

}  // namespace quillmor_speech
