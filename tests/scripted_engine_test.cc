// The scripted engine, as far as the process-level tests rely on it: results on cue, failures
// on cue, and a record of the audio that reached the analyzer.
#include "support/scripted_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "support/run_binary.h"
#include "support/temp_dir.h"

namespace quillmor_speech {
namespace {

using nlohmann::json;

AVAudioFormat int16Mono() {
  return *AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, 16000, 1, false);
}

std::unique_ptr<AVAudioPCMBuffer> bufferOf(std::vector<std::int16_t> samples) {
  auto buffer = AVAudioPCMBuffer::make(int16Mono(), static_cast<std::uint32_t>(samples.size()));
  std::copy(samples.begin(), samples.end(), buffer->int16ChannelData()[0]);
  buffer->setFrameLength(static_cast<std::uint32_t>(samples.size()));
  return buffer;
}

struct Outcome {
  std::vector<SpeechTranscriptionResult> results;
  std::optional<std::string> failure;
};

// Feeds the buffers, finalises, then reads every result.
Outcome play(const json& scenario, const std::vector<std::vector<std::int16_t>>& buffers) {
  auto engine = makeScriptedEngine(scenario);
  auto transcriber = std::make_shared<SpeechTranscriber>(
      "en-US", TranscriptionOptions{}, ReportingOptions{true}, AttributeOptions{true});
  auto analyzer = engine->makeAnalyzer(transcriber);
  analyzer->prepareToAnalyze(int16Mono());
  auto input = std::make_shared<AnalyzerInputSequence>();
  analyzer->start(input);
  for (const auto& samples : buffers) input->yield(AnalyzerInput(bufferOf(samples)));
  input->finish();
  analyzer->finalizeAndFinishThroughEndOfInput();
  Outcome outcome;
  try {
    while (auto result = transcriber->results->next()) outcome.results.push_back(*result);
  } catch (const SpeechError& error) {
    outcome.failure = error.what();
  }
  return outcome;
}

TEST(ScriptedEngine, DeliversScriptedResultsThenEndsOrFails) {
  const json results = json::parse(R"([
    {"runs": [{"text": "he"}], "start": 0.5, "duration": 0.25, "isFinal": false, "afterBuffers": 1},
    {"runs": [{"text": "hello", "confidence": 0.5}, {"text": " "}], "start": "nan",
     "duration": "inf", "isFinal": true, "afterBuffers": 2},
    {"runs": [{"text": "end"}], "start": 3, "duration": 1}
  ])");
  struct Case {
    json failResults;
    std::size_t delivered;
    std::optional<std::string> failure;
  };
  const std::vector<Case> cases = {
      {nullptr, 3, std::nullopt},
      {{{"afterResults", 0}, {"description", "at once"}}, 0, "at once"},
      {{{"afterResults", 2}, {"description", "after two"}}, 2, "after two"},
  };
  for (const Case& c : cases) {
    json scenario = {{"results", results}};
    if (!c.failResults.is_null()) scenario["failResults"] = c.failResults;
    const Outcome outcome = play(scenario, {{1, 2}, {3}, {4}});
    ASSERT_EQ(outcome.results.size(), c.delivered);
    EXPECT_EQ(outcome.failure, c.failure);
    if (c.delivered < 2) continue;
    const SpeechTranscriptionResult& second = outcome.results[1];
    EXPECT_TRUE(second.isFinal);
    EXPECT_EQ(second.plainText(), "hello ");
    EXPECT_EQ(second.text[0].confidence, 0.5);
    EXPECT_FALSE(second.text[1].confidence);
    EXPECT_TRUE(std::isnan(second.range.start.seconds));
    EXPECT_TRUE(std::isinf(second.range.duration.seconds));
    EXPECT_FALSE(outcome.results[0].isFinal);
  }
}

TEST(ScriptedEngine, OperationsThrowReturnNothingOrSucceedOnCue) {
  const json scenario = json::parse(R"({
    "statuses": {"en-US": "downloading"},
    "operations": {
      "assetInstallationRequest": {"do": "succeed"},
      "downloadAndInstall": {"do": "throw", "description": "network down"},
      "bestAvailableAudioFormat": {"do": "none"},
      "prepareToAnalyze": {"do": "throw", "description": "model damaged", "waitMs": 10}
    }
  })");
  auto engine = makeScriptedEngine(scenario);
  auto transcriber = std::make_shared<SpeechTranscriber>("en-US", TranscriptionOptions{},
                                                         ReportingOptions{}, AttributeOptions{});
  EXPECT_TRUE(engine->isAvailable());
  EXPECT_EQ(engine->status(*transcriber), AssetInventoryStatus::downloading);
  EXPECT_EQ(engine->status(SpeechTranscriber("zh-CN", {}, {}, {})),
            AssetInventoryStatus::unsupported);
  auto request = engine->assetInstallationRequest(*transcriber);
  ASSERT_TRUE(request);
  try {
    request->downloadAndInstall();
    ADD_FAILURE() << "no error";
  } catch (const SpeechError& error) {
    EXPECT_EQ(error.localizedDescription(), "network down");
  }
  EXPECT_FALSE(engine->bestAvailableAudioFormat(*transcriber));
  auto analyzer = engine->makeAnalyzer(transcriber);
  EXPECT_THROW(analyzer->prepareToAnalyze(int16Mono()), SpeechError);
}

TEST(ScriptedEngine, RecordsWhatReachedTheAnalyzer) {
  const TempDir dir;
  play({{"record", dir / "record.json"}}, {{1, -2, 3}, {}, {32767, -32768}});
  const json record = json::parse(readFileBytes(dir / "record.json"));
  EXPECT_EQ(record["buffers"], 3);
  EXPECT_EQ(record["frames"], 5);
  EXPECT_EQ(record["samples"], json({1, -2, 3, 32767, -32768}));
  EXPECT_EQ(
      record["formats"],
      json::parse(R"([{"channels":1,"commonFormat":3,"interleaved":false,"sampleRate":16000.0}])"));
  EXPECT_EQ(
      record["transcriber"],
      json::parse(R"({"locale":"en-US","transcriptionConfidence":true,"volatileResults":true})"));
  EXPECT_EQ(record["calls"], json({"makeAnalyzer en-US", "prepareToAnalyze", "start", "finalize"}));
}

TEST(ScriptedEngine, MalformedScenariosAreRefused) {
  for (const char* text :
       {R"([])", R"({"statuses": {"en-US": "fine"}})",
        R"({"operations": {"start": {"do": "explode"}}})", R"({"results": [{"start": "soon"}]})",
        R"({"format": {"sampleRate": -1}})"}) {
    EXPECT_THROW(makeScriptedEngine(json::parse(text)), std::invalid_argument) << text;
  }
}

}  // namespace
}  // namespace quillmor_speech
