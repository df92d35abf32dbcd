// The body of an analyzer's worker thread, apart from the recognition it drives so that its
// handling of every failure can be tried with recognitions that fail on cue.
//
// runAnalyzerWorker takes every input of the sequence until the sequence ends and hands it to
// `analyze`, then calls `finish` and ends the results. If either throws anything (SpeechError,
// std::bad_alloc, any other exception), the results fail with a readable description and the
// rest of the input is taken and dropped; if `abandoned` is set, the rest of the input is
// dropped and the results fail as stopped. Nothing ever leaves the function by an exception,
// and the results always end (finish or fail), so their consumer never waits forever.
#pragma once

#include <atomic>
#include <functional>

#include "platform/speech/speech_engine.h"

namespace quillmor_speech {

struct RecognitionSteps {
  std::function<void(const AnalyzerInput&)> analyze;
  std::function<void()> finish;
};

void runAnalyzerWorker(AnalyzerInputSequence& input, ResultSequence& results,
                       const std::atomic<bool>& abandoned, const RecognitionSteps& steps);

// The readable description of the exception being handled (call inside a catch block).
std::string describeCurrentException();

}  // namespace quillmor_speech
