// The analyzer's worker loop with recognitions that fail on cue: every failure ends the
// results with a readable description, and the input is still taken to its end.
#include "platform/speech/analyzer_worker.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace quillmor_speech {
namespace {

struct Outcome {
  int analysed = 0;
  bool finished = false;
  std::optional<std::string> failure;
  bool drained = false;  // nothing was left in the input sequence
};

enum class Step { analyze, finish };

// Runs the worker over three inputs with a recognition that throws `thrown` at the given step
// (on the second input for analyze).
Outcome runWith(Step failing, const std::function<void()>& thrown) {
  AnalyzerInputSequence input;
  for (int i = 0; i < 3; ++i) input.yield(AnalyzerInput(nullptr));
  input.finish();
  ResultSequence results;
  std::atomic<bool> abandoned = false;
  Outcome outcome;
  RecognitionSteps steps;
  steps.analyze = [&](const AnalyzerInput&) {
    ++outcome.analysed;
    if (failing == Step::analyze && outcome.analysed == 2) thrown();
  };
  steps.finish = [&] {
    outcome.finished = true;
    if (failing == Step::finish) thrown();
  };
  runAnalyzerWorker(input, results, abandoned, steps);
  outcome.drained = !input.next().has_value();
  try {
    EXPECT_FALSE(results.next());
  } catch (const SpeechError& error) {
    outcome.failure = error.what();
  }
  return outcome;
}

TEST(AnalyzerWorker, EveryKindOfFailureEndsTheResultsWithItsDescription) {
  struct Case {
    std::string name;
    std::function<void()> thrown;
    std::string description;
  };
  const std::vector<Case> cases = {
      {"engine error", [] { throw SpeechError("The decoder broke"); }, "The decoder broke"},
      {"out of memory", [] { throw std::bad_alloc(); }, "Speech recognition ran out of memory"},
      {"other exception", [] { throw std::logic_error("index 7 out of range"); },
       "Speech recognition failed: index 7 out of range"},
      {"not an exception", [] { throw 42; }, "Speech recognition failed for an unknown reason"},
  };
  for (const Case& c : cases) {
    const Outcome analysing = runWith(Step::analyze, c.thrown);
    EXPECT_EQ(analysing.failure, c.description) << c.name;
    EXPECT_EQ(analysing.analysed, 2) << c.name << ": the rest of the input is dropped";
    EXPECT_FALSE(analysing.finished) << c.name;
    EXPECT_TRUE(analysing.drained) << c.name;

    const Outcome finishing = runWith(Step::finish, c.thrown);
    EXPECT_EQ(finishing.failure, c.description) << c.name;
    EXPECT_EQ(finishing.analysed, 3) << c.name;
  }
}

TEST(AnalyzerWorker, WithoutFailureEveryInputIsAnalysedAndTheResultsEnd) {
  const Outcome outcome = runWith(Step::finish, [] {});
  EXPECT_EQ(outcome.analysed, 3);
  EXPECT_TRUE(outcome.finished);
  EXPECT_FALSE(outcome.failure);
}

}  // namespace
}  // namespace quillmor_speech
