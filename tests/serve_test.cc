// serve through the test binary with the scripted engine: exact output bytes and exit status as
// the host sees them.
#include <gtest/gtest.h>

#include "serve/audio_ingest.h"
#include "support/serve_harness.h"

namespace quillmor_speech {
namespace {

using nlohmann::json;

const std::string kDone = "{\"type\":\"done\"}\n";
const std::string kBadStart =
    "{\"code\":\"bad_start\",\"message\":\"第一帧必须是 start\",\"type\":\"error\"}\n";

std::string errorLine(const std::string& code, const std::string& message) {
  return "{\"code\":\"" + code + "\",\"message\":\"" + message + "\",\"type\":\"error\"}\n";
}

json installed(const std::string& locale = "en-US") {
  return {{"statuses", {{locale, "installed"}}}};
}

json withOperation(json scenario, const std::string& operation, json behaviour) {
  scenario["operations"][operation] = std::move(behaviour);
  return scenario;
}

const json kThrow = {{"do", "throw"}, {"description", "engine says no/never"}};
const std::string kThrownMessage = "engine says no\\/never";
// Failures that no engine promises: a broken invariant, memory running out, a foreign type.
const json kLogicError = {{"do", "throwLogicError"}, {"description", "engine says no/never"}};
const json kBadAlloc = {{"do", "throwBadAlloc"}};
const json kInteger = {{"do", "throwInteger"}};
const std::string kOutOfMemory = "申请不到内存";
const std::string kUnexpected = "发生了意外错误";

struct SessionCase {
  const char* name;
  json scenario;
  std::string input;
  std::string out;
  int status;
};

TEST(Serve, SetupTable) {
  const std::string startEn = startFrame({{"locale", "en-US"}});
  const std::string end = frameBytes(3);
  const std::vector<SessionCase> cases = {
      {"recognition unavailable, nothing read",
       {{"available", false}},
       startEn + end,
       errorLine("unsupported", "此 Mac 不支持本机语音识别"),
       1},
      {"unavailable with stdin closed at once",
       {{"available", false}},
       "",
       errorLine("unsupported", "此 Mac 不支持本机语音识别"),
       1},
      {"stdin closed at once", installed(), "", kBadStart, 1},
      {"first frame is audio", installed(), audioFrame({1, 2}) + startEn, kBadStart, 1},
      {"first frame of type 0", installed(), frameBytes(0, "{\"locale\":\"en-US\"}"), kBadStart, 1},
      {"first frame of type 3", installed(), end, kBadStart, 1},
      {"start payload not JSON", installed(), frameBytes(1, "locale=en-US"), kBadStart, 1},
      {"start payload, NUL, garbage", installed(),
       frameBytes(1, std::string("{\"locale\":\"en-US\"}\0{\"x\":1}", 26)) + end, kBadStart, 1},
      {"start payload, one NUL", installed(),
       frameBytes(1, std::string("{\"locale\":\"en-US\"}\0", 19)) + end, kBadStart, 1},
      {"start payload, a second value", installed(),
       frameBytes(1, "{\"locale\":\"en-US\"} {\"x\":1}") + end, kBadStart, 1},
      {"start payload, a control byte", installed(),
       frameBytes(1, "{\"locale\":\"en-US\"}\x01") + end, kBadStart, 1},
      {"start payload, white space around", installed(),
       frameBytes(1, " \t\r\n{\"locale\":\"en-US\"} \t\r\n") + end, kDone, 0},
      {"start payload without locale", installed(), startFrame({{"sampleRate", 16000}}), kBadStart,
       1},
      {"start frame truncated", installed(), startEn.substr(0, startEn.size() - 2), kBadStart, 1},
      {"sample rate zero", installed(), startFrame({{"locale", "en-US"}, {"sampleRate", 0}}) + end,
       kBadStart, 1},
      {"sample rate negative", installed(),
       startFrame({{"locale", "en-US"}, {"sampleRate", -16000}}) + end, kBadStart, 1},
      {"sample rate too small to convert", installed(),
       startFrame({{"locale", "en-US"}, {"sampleRate", 0.5}}) + end, kBadStart, 1},
      {"sample rate absurdly large", installed(),
       startFrame({{"locale", "en-US"}, {"sampleRate", 1e300}}) + end, kBadStart, 1},
      {"unsupported locale wins over install false",
       {{"statuses", {{"xx-YY", "unsupported"}}}},
       startFrame({{"locale", "xx-YY"}, {"install", false}}),
       errorLine("locale_unsupported", "本机不支持 xx-YY 识别"),
       1},
      {"installed with install false proceeds", installed(),
       startFrame({{"locale", "en-US"}, {"install", false}}) + end, kDone, 0},
      {"supported with install false",
       {{"statuses", {{"zh-CN", "supported"}}}},
       startFrame({{"locale", "zh-CN"}, {"install", false}}),
       errorLine("locale_not_installed", "zh-CN 语言包还没装"),
       1},
      {"downloading with install false",
       {{"statuses", {{"zh-CN", "downloading"}}}},
       startFrame({{"locale", "zh-CN"}, {"install", false}}),
       errorLine("locale_not_installed", "zh-CN 语言包还没装"),
       1},
      {"unknown status with install false",
       {{"statuses", {{"zh-CN", "other"}}}},
       startFrame({{"locale", "zh-CN"}, {"install", false}}),
       errorLine("locale_not_installed", "zh-CN 语言包还没装"),
       1},
      {"supported, install absent: status line then the session",
       {{"statuses", {{"zh-CN", "supported"}}}},
       startFrame({{"locale", "zh-CN"}}) + end,
       "{\"message\":\"正在下载 zh-CN 语音模型…\",\"type\":\"status\"}\n" + kDone,
       0},
      {"downloading, install true: status line",
       {{"statuses", {{"zh_CN", "downloading"}}}},
       startFrame({{"locale", "zh_CN"}, {"install", true}}) + end,
       "{\"message\":\"正在下载 zh_CN 语音模型…\",\"type\":\"status\"}\n" + kDone,
       0},
      {"no installation request: no status line",
       withOperation({{"statuses", {{"zh-CN", "supported"}}}}, "assetInstallationRequest",
                     {{"do", "none"}}),
       startFrame({{"locale", "zh-CN"}}) + end, kDone, 0},
      {"installation request throws",
       withOperation({{"statuses", {{"zh-CN", "supported"}}}}, "assetInstallationRequest", kThrow),
       startFrame({{"locale", "zh-CN"}}) + end, errorLine("recognition_failed", kThrownMessage), 1},
      {"download throws after the status line",
       withOperation({{"statuses", {{"zh-CN", "supported"}}}}, "downloadAndInstall", kThrow),
       startFrame({{"locale", "zh-CN"}}) + end,
       "{\"message\":\"正在下载 zh-CN 语音模型…\",\"type\":\"status\"}\n" +
           errorLine("recognition_failed", kThrownMessage),
       1},
      {"preparation throws", withOperation(installed(), "prepareToAnalyze", kThrow), startEn + end,
       errorLine("recognition_failed", kThrownMessage), 1},
      {"start throws", withOperation(installed(), "start", kThrow), startEn + end,
       errorLine("recognition_failed", kThrownMessage), 1},
      {"finalisation throws: no done", withOperation(installed(), "finalize", kThrow),
       startEn + audioFrame({1, 2, 3}) + end, errorLine("recognition_failed", kThrownMessage), 1},
      {"locale quoted as received, slash escaped",
       {{"statuses", {{"a/b", "unsupported"}}}},
       startFrame({{"locale", "a/b"}}),
       errorLine("locale_unsupported", "本机不支持 a\\/b 识别"),
       1},
      {"start then end of input", installed(), startEn, kDone, 0},
      {"availability check breaks an invariant",
       withOperation(installed(), "isAvailable", kLogicError), startEn + end,
       errorLine("recognition_failed", kThrownMessage), 1},
      {"status runs out of memory", withOperation(installed(), "status", kBadAlloc), startEn + end,
       errorLine("recognition_failed", kOutOfMemory), 1},
      {"installation request throws a foreign type",
       withOperation({{"statuses", {{"zh-CN", "supported"}}}}, "assetInstallationRequest",
                     kInteger),
       startFrame({{"locale", "zh-CN"}}) + end, errorLine("recognition_failed", kUnexpected), 1},
      {"download runs out of memory after the status line",
       withOperation({{"statuses", {{"zh-CN", "supported"}}}}, "downloadAndInstall", kBadAlloc),
       startFrame({{"locale", "zh-CN"}}) + end,
       "{\"message\":\"正在下载 zh-CN 语音模型…\",\"type\":\"status\"}\n" +
           errorLine("recognition_failed", kOutOfMemory),
       1},
      {"no preferred format breaks an invariant",
       withOperation(installed(), "bestAvailableAudioFormat", kLogicError), startEn + end,
       errorLine("recognition_failed", kThrownMessage), 1},
      {"preparation runs out of memory", withOperation(installed(), "prepareToAnalyze", kBadAlloc),
       startEn + end, errorLine("recognition_failed", kOutOfMemory), 1},
      {"start breaks an invariant while the result task runs",
       withOperation(installed(), "start", kLogicError), startEn + audioFrame({1}) + end,
       errorLine("recognition_failed", kThrownMessage), 1},
      {"finalisation runs out of memory: no done",
       withOperation(installed(), "finalize", kBadAlloc), startEn + audioFrame({1, 2}) + end,
       errorLine("recognition_failed", kOutOfMemory), 1},
      {"finalisation throws a foreign type: no done",
       withOperation(installed(), "finalize", kInteger), startEn + audioFrame({1, 2}) + end,
       errorLine("recognition_failed", kUnexpected), 1},
  };
  for (const SessionCase& c : cases) {
    SCOPED_TRACE(c.name);
    SessionResult r = runScripted(c.scenario, c.input);
    EXPECT_EQ(r.run.out, c.out);
    expectEndedByItself(r.run, c.status);
  }
}

TEST(Serve, StatusLineComesBeforeTheDownloadAndTheTranscriberAsksForEverything) {
  SessionResult r = runScripted({{"statuses", {{"zh-CN", "supported"}}}},
                                startFrame({{"locale", "zh-CN"}}) + frameBytes(3));
  ASSERT_EQ(r.run.status, 0);
  json calls = r.record["calls"];
  std::vector<std::string> expected = {"isAvailable",
                                       "status zh-CN",
                                       "assetInstallationRequest zh-CN",
                                       "downloadAndInstall",
                                       "bestAvailableAudioFormat zh-CN",
                                       "makeAnalyzer zh-CN",
                                       "prepareToAnalyze",
                                       "start",
                                       "finalize"};
  EXPECT_EQ(calls.get<std::vector<std::string>>(), expected);
  EXPECT_EQ(
      r.record["transcriber"],
      json({{"locale", "zh-CN"}, {"volatileResults", true}, {"transcriptionConfidence", true}}));
}

TEST(Serve, NoPreferredFormatFallsBackToSixteenKilohertzInt16MonoDeinterleaved) {
  json scenario = installed();
  scenario["format"] = nullptr;
  SessionResult r = runScripted(scenario, startFrame({{"locale", "en-US"}}) + frameBytes(3));
  ASSERT_EQ(r.run.out, kDone);
  EXPECT_EQ(
      r.record["preparedFormat"],
      json(
          {{"commonFormat", 3}, {"sampleRate", 16000.0}, {"channels", 1}, {"interleaved", false}}));
}

struct AudioCase {
  const char* name;
  std::string audio;  // frames between the start frame and the end
  int buffers;
  int frames;
  std::vector<std::int16_t> samples;
};

TEST(Serve, AudioFramesReachTheAnalyzerUnconvertedWhenFormatsMatch) {
  const std::vector<AudioCase> cases = {
      {"no audio", "", 0, 0, {}},
      {"three samples", audioFrame({1, -2, 300}), 1, 3, {1, -2, 300}},
      {"odd last byte dropped, not carried",
       frameBytes(2, std::string("\x05\x00\x07", 3)) + audioFrame({9}),
       2,
       2,
       {5, 9}},
      {"one byte: a frame of zero samples", frameBytes(2, "\x01"), 1, 0, {}},
      {"empty payload ignored", frameBytes(2) + audioFrame({4}), 1, 1, {4}},
      {"other frame types ignored",
       audioFrame({1}) + frameBytes(0, "x") + startFrame({{"locale", "zh-CN"}}) +
           frameBytes(4, "yy") + frameBytes(255, std::string(3, '\x02')) + audioFrame({2}),
       2,
       2,
       {1, 2}},
      {"little-endian samples", audioFrame({-32768, 32767, 256}), 1, 3, {-32768, 32767, 256}},
  };
  for (const AudioCase& c : cases) {
    SessionResult r =
        runScripted(installed(), startFrame({{"locale", "en-US"}}) + c.audio + frameBytes(3));
    EXPECT_EQ(r.run.out, kDone) << c.name;
    EXPECT_EQ(r.run.status, 0) << c.name;
    EXPECT_EQ(r.record["buffers"], c.buffers) << c.name;
    EXPECT_EQ(r.record["frames"], c.frames) << c.name;
    EXPECT_EQ(r.record["samples"].get<std::vector<std::int16_t>>(), c.samples) << c.name;
  }
}

TEST(Serve, NothingAfterTheEndFrameIsRead) {
  const std::string after = audioFrame({7, 7}) + "trailing bytes";
  SessionResult r =
      runScriptedLeavingInput(installed(), startFrame({{"locale", "en-US"}}) + audioFrame({1}) +
                                               frameBytes(3, "ignored") + after);
  EXPECT_EQ(r.run.out, kDone);
  EXPECT_EQ(r.unread, after);
  EXPECT_EQ(r.record["frames"], 1);
}

TEST(Serve, StdinEndingInsideAFrameEndsTheSessionNormally) {
  // The frames that arrived whole reach the analyzer; the cut one is dropped.
  const std::string start = startFrame({{"locale", "en-US"}});
  const std::string audio = audioFrame(std::vector<std::int16_t>(320, 100));
  struct Case {
    const char* name;
    std::size_t cut;
    int buffers;
  };
  const std::vector<Case> cases = {
      {"inside the first header", start.size() + 3, 0},
      {"inside the first payload", start.size() + 5 + 100, 0},
      {"inside the second header", start.size() + audio.size() + 4, 1},
      {"inside the second payload", start.size() + 2 * audio.size() - 3, 1},
  };
  for (const Case& c : cases) {
    SessionResult r = runScripted(installed(), (start + audio + audio).substr(0, c.cut));
    EXPECT_EQ(r.run.out, kDone) << c.name;
    EXPECT_EQ(r.run.status, 0) << c.name;
    EXPECT_EQ(r.record["buffers"], c.buffers) << c.name;
    EXPECT_EQ(r.record["frames"], 320 * c.buffers) << c.name;
  }
}

TEST(Serve, ConvertsWhenTheAnalyzerWantsAnotherFormat) {
  // 48 kHz host audio to a 16 kHz float analyzer: the same converter serves every frame, so the
  // frame count is a third of the input's, within the resampler's hold-back.
  json scenario = installed();
  scenario["format"] = {
      {"commonFormat", 1}, {"sampleRate", 16000}, {"channels", 1}, {"interleaved", false}};
  std::string audio;
  for (int f = 0; f < 50; ++f) {
    std::vector<std::int16_t> samples(480);
    for (int i = 0; i < 480; ++i)
      samples[i] = static_cast<std::int16_t>(((f * 480 + i) % 96) * 200);
    audio += audioFrame(samples);
  }
  SessionResult r = runScripted(
      scenario, startFrame({{"locale", "en-US"}, {"sampleRate", 48000}}) + audio + frameBytes(3));
  ASSERT_EQ(r.run.out, kDone);
  EXPECT_GT(r.record["buffers"].get<int>(), 40);
  EXPECT_LE(r.record["frames"].get<int>(), 8000);
  EXPECT_GT(r.record["frames"].get<int>(), 8000 - 200);
  ASSERT_EQ(r.record["formats"].size(), 1u);
  EXPECT_EQ(r.record["formats"][0]["commonFormat"], 1);
}

TEST(Serve, OutputCapacityRule) {
  EXPECT_EQ(convertedCapacity(16000, 320, 16000), 320u + 1024u);   // a 640-byte frame
  EXPECT_EQ(convertedCapacity(16000, 480, 48000), 160u + 1024u);   // a 960-byte frame
  EXPECT_EQ(convertedCapacity(16000, 1000, 44100), 362u + 1024u);  // 362.81 truncated
  EXPECT_EQ(convertedCapacity(16000, 0, 16000), 1024u);
  EXPECT_EQ(convertedCapacity(768000, 0xFFFFFFFFu, 1000), std::nullopt);
}

TEST(Serve, ResultLinesInOrderThenDone) {
  json scenario = installed();
  scenario["results"] = {
      {{"runs", {{{"text", "go"}}}},
       {"start", 0.25},
       {"duration", 0.5},
       {"isFinal", false},
       {"afterBuffers", 1}},
      {{"runs", {{{"text", "  \n"}}}},
       {"start", 0.25},
       {"duration", 0.5},
       {"isFinal", false},
       {"afterBuffers", 1}},
      {{"runs",
        {{{"text", "go"}, {"confidence", 0.5}},
         {{"text", " "}},
         {{"text", "forward"}, {"confidence", 1.0}}}},
       {"start", 1.5},
       {"duration", 0.75},
       {"isFinal", true}},
  };
  SessionResult r =
      runScripted(scenario, startFrame({{"locale", "en-US"}}) + audioFrame({1, 2}) + frameBytes(3));
  EXPECT_EQ(r.run.out,
            "{\"end\":0.75,\"start\":0.25,\"text\":\"go\",\"type\":\"partial\"}\n"
            "{\"confidence\":0.8888888888888888,\"end\":2.25,\"start\":1.5,\"text\":\"go forward\","
            "\"type\":\"final\"}\n" +
                kDone);
  EXPECT_EQ(r.run.status, 0);
}

TEST(Serve, ResultsFailureAfterTwoResultsIsNotFatal) {
  json scenario = installed();
  json result = {{"runs", {{{"text", "word"}}}}, {"start", 0}, {"duration", 1}, {"isFinal", true}};
  scenario["results"] = {result, result, result};
  scenario["failResults"] = {{"afterResults", 2}, {"description", "decoder lost/its way"}};
  SessionResult r =
      runScripted(scenario, startFrame({{"locale", "en-US"}}) + audioFrame({1, 2}) + frameBytes(3));
  const std::string final = "{\"end\":1.0,\"start\":0.0,\"text\":\"word\",\"type\":\"final\"}\n";
  EXPECT_EQ(r.run.out,
            final + final + errorLine("recognition_failed", "decoder lost\\/its way") + kDone);
  EXPECT_EQ(r.run.status, 0);
}

TEST(Serve, NonFiniteTimesAreDroppedNotWrittenAsInvalidNumbers) {
  json scenario = installed();
  scenario["results"] = {
      {{"runs", {{{"text", "bad"}}}}, {"start", "nan"}, {"duration", 1}, {"isFinal", true}},
      {{"runs", {{{"text", "worse"}}}}, {"start", 0}, {"duration", "inf"}, {"isFinal", false}},
      {{"runs", {{{"text", "good"}}}}, {"start", 0}, {"duration", 1}, {"isFinal", true}},
  };
  SessionResult r = runScripted(scenario, startFrame({{"locale", "en-US"}}) + frameBytes(3));
  EXPECT_EQ(r.run.out,
            "{\"end\":1.0,\"start\":0.0,\"text\":\"good\",\"type\":\"final\"}\n" + kDone);
}

TEST(Serve, SilentOpenStdinAfterStartWaitsAndEndsWhenClosed) {
  // The session does not end on its own while the host keeps stdin open and silent; it ends
  // with "done" once the host closes it.
  RunOptions options;
  options.keepStdinOpen = true;
  options.closeStdinAfterSeconds = 1;
  SessionResult r = runScripted(installed(), startFrame({{"locale", "en-US"}}), {"serve"}, options);
  EXPECT_EQ(r.run.out, kDone);
  EXPECT_EQ(r.run.status, 0);
  EXPECT_GE(r.run.seconds, 1.0);
}

}  // namespace
}  // namespace quillmor_speech
