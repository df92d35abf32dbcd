#include "platform/speech/analyzer_worker.h"

#include <exception>
#include <new>
#include <optional>
#include <string>

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
  } catch (const std::bad_alloc&) {
    return "Speech recognition ran out of memory";
  } catch (const std::exception& error) {
    return std::string("Speech recognition failed: ") + error.what();
  } catch (...) {
    return "Speech recognition failed for an unknown reason";
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
