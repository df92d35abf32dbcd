// The analyzer's worker loop with recognitions that fail on cue: every failure ends the
// results with a readable description, and the input is still taken to its end.
#include "platform/pocketsphinx/analyzer_worker.h"

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


// A buffer of `format` holding `samples` (one channel's worth for each plane).
AnalyzerInput bufferOf(const AVAudioFormat& format, const std::vector<std::int16_t>& samples) {
  auto buffer = AVAudioPCMBuffer::make(format, static_cast<std::uint32_t>(samples.size()));
  buffer->setFrameLength(static_cast<std::uint32_t>(samples.size()));
  std::copy(samples.begin(), samples.end(), buffer->int16ChannelData()[0]);
  return AnalyzerInput(std::move(buffer));
}

TEST(AnalyzerInputSequence, WaitingBuffersAreJoinedWithTheirSamplesInOrder) {
  const AVAudioFormat mono16k = *AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, 16000,
                                                     1, false);
  const AVAudioFormat mono48k = *AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, 48000,
                                                     1, false);
  struct Yielded {
    const AVAudioFormat* format;  // nothing: an input without a buffer
    int count;                    // inputs of 320 samples each
  };
  struct Case {
    const char* name;
    std::vector<Yielded> yielded;
    std::size_t inputs;  // taken by the engine after all were yielded
  };
  // The first kJoinAfterWaiting inputs stay as they are; the rest are joined, 102 frames of
  // 640 bytes to a buffer.
  const std::size_t separate = kJoinAfterWaiting;
  const int perJoined = static_cast<int>(kJoinedBufferBytes / (320 * 2));
  const int waiting = static_cast<int>(separate);
  const std::vector<Case> cases = {
      {"few waiting: as yielded", {{&mono16k, waiting + 1}}, separate + 1},
      {"beyond the threshold: joined", {{&mono16k, waiting + perJoined}}, separate + 1},
      {"joined buffers hold at most the joined size",
       {{&mono16k, waiting + 3 * perJoined + 1}},
       separate + 4},
      {"never across formats",
       {{&mono16k, waiting + 6}, {&mono48k, 10}, {&mono16k, 10}},
       separate + 3},
      {"never with an input without a buffer",
       {{&mono16k, waiting + 6}, {nullptr, 1}, {&mono16k, 10}},
       separate + 3},
  };
  for (const Case& c : cases) {
    AnalyzerInputSequence sequence;
    std::vector<std::int16_t> expected;
    std::int16_t next = 0;
    for (const Yielded& y : c.yielded) {
      for (int i = 0; i < y.count; ++i) {
        if (!y.format) {
          sequence.yield(AnalyzerInput(nullptr));
          continue;
        }
        std::vector<std::int16_t> samples(320);
        for (std::int16_t& sample : samples) expected.push_back(sample = next++);
        sequence.yield(bufferOf(*y.format, samples));
      }
    }
    sequence.finish();
    std::vector<std::int16_t> taken;
    std::size_t inputs = 0;
    while (std::optional<AnalyzerInput> input = sequence.next()) {
      ++inputs;
      if (!input->buffer) continue;
      EXPECT_LE(input->buffer->frameLength() * 2, kJoinedBufferBytes) << c.name;
      const std::int16_t* samples = input->buffer->int16ChannelData()[0];
      taken.insert(taken.end(), samples, samples + input->buffer->frameLength());
    }
    EXPECT_EQ(inputs, c.inputs) << c.name;
    EXPECT_EQ(taken, expected) << c.name;
  }
}

}  // namespace
}  // namespace quillmor_speech
