#include "platform/pocketsphinx/analyzer_worker.h"

#include <exception>
#include <new>
#include <optional>
#include <string>

#include "platform/base/exception_message.h"

namespace quillmor_speech {

namespace {

// Runs one step; a failure becomes its description.
std::optional<std::string> attempt(const std::function<void()>& step) {
  try {
    step();
    return std::nullopt;
  } catch (...) {
    return describeCurrentException();
  }
}

// Ends the results with the failure; if even that cannot be done (no memory for the
// description), they end without it rather than never.
void endResults(ResultSequence& results, const std::optional<std::string>& failure) {
  if (!failure) {
    results.finish();
    return;
  }
  try {
    results.fail(*failure);
  } catch (...) {
    results.finish();
  }
}

}  // namespace

std::string describeCurrentException() {
  try {
    throw;
  } catch (const SpeechError& error) {
    return error.what();
  } catch (...) {
    return currentExceptionMessage({"Speech recognition ran out of memory",
                                    "Speech recognition failed for an unknown reason",
                                    "Speech recognition failed: "});
  }
}

void runAnalyzerWorker(AnalyzerInputSequence& input, ResultSequence& results,
                       const std::atomic<bool>& abandoned, const RecognitionSteps& steps) {
  std::optional<std::string> failure;
  while (true) {
    std::optional<AnalyzerInput> next;
    if (auto problem = attempt([&] { next = input.next(); })) {
      failure = failure ? failure : problem;
      break;
    }
    if (!next || abandoned) break;
    if (failure) continue;
    failure = attempt([&] { steps.analyze(*next); });
  }
  if (abandoned) {
    endResults(results, "Speech recognition was stopped before the end of the audio");
    return;
  }
  if (!failure) failure = attempt(steps.finish);
  endResults(results, failure);
}

}  // namespace quillmor_speech
