// Faults around a serve session: the host going away, a full disk behind stdout, silence on
// stdin, and a model installation killed half-way.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/models/model_store.h"
#include "platform/pocketsphinx/model_assets.h"
#include "support/model_fixtures.h"
#include "support/serve_harness.h"

namespace quillmor_speech {
namespace {

using nlohmann::json;

// A scenario that writes one partial line for every audio buffer up to `lines`.
json chattyScenario(int lines) {
  json scenario = {{"statuses", {{"en-US", "installed"}}}};
  scenario["results"] = json::array();
  for (int i = 1; i <= lines; ++i) {
    scenario["results"].push_back({{"runs", {{{"text", "line " + std::to_string(i)}}}},
                                   {"start", i},
                                   {"duration", 1},
                                   {"isFinal", false},
                                   {"afterBuffers", i}});
  }
  return scenario;
}

std::string audioStream(int frames) {
  std::string input = startFrame({{"locale", "en-US"}});
  for (int i = 0; i < frames; ++i) input += audioFrame(std::vector<std::int16_t>(320, 100));
  return input + frameBytes(3);
}

TEST(ServeFaults, HostClosingStdoutMidSessionEndsWithStatusOneNotASignal) {
  RunOptions options;
  options.closeStdoutAfter = 300;
  options.timeoutSeconds = 30;
  SessionResult r = runScripted(chattyScenario(5000), audioStream(5000), {"serve"}, options);
  EXPECT_FALSE(r.run.timedOut);
  EXPECT_TRUE(r.run.exitedNormally) << "signal " << r.run.signal;
  EXPECT_EQ(r.run.status, 1);
  EXPECT_EQ(r.run.err, "");
  // Every whole line read before the close parses.
  std::string whole = r.run.out.substr(0, r.run.out.rfind('\n') + 1);
  ASSERT_FALSE(whole.empty());
  for (const std::string& line : outputLines(whole)) {
    EXPECT_EQ(json::parse(line)["type"], "partial") << line;
  }
  EXPECT_LT(r.record["buffers"].get<int>(), 5000) << "the session stopped early";
}

TEST(ServeFaults, StdoutOnAFullDiskEndsWithStatusOne) {
  std::string dir = makeTempDir();
  std::string scenario = dir + "/scenario.json";
  writeFileBytes(scenario, chattyScenario(3).dump());
  RunOptions options;
  options.env = {{"QUILLMOR_SCENARIO", scenario}};
  options.timeoutSeconds = 10;
  for (const char* command : {"serve", "probe"}) {
    RunResult r = runBinary(
        "/bin/sh",
        {"-c", std::string("exec \"$0\" ") + command + " >/dev/full", QUILLMOR_SCRIPTED_BINARY},
        audioStream(10), options);
    EXPECT_FALSE(r.timedOut) << command;
    EXPECT_TRUE(r.exitedNormally) << command;
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_EQ(r.err, "") << command;
  }
  removeTree(dir);
}

TEST(ServeFaults, StdinEndingInsideAHeaderOrPayloadEndsTheSessionNormally) {
  std::string stream = audioStream(2);
  std::string start = startFrame({{"locale", "en-US"}});
  std::string audio = audioFrame(std::vector<std::int16_t>(320, 100));
  for (std::size_t cut :
       {start.size() + 3, start.size() + 5 + 100, start.size() + audio.size() + 4}) {
    SessionResult r = runScripted({{"statuses", {{"en-US", "installed"}}}}, stream.substr(0, cut));
    EXPECT_EQ(r.run.out, "{\"type\":\"done\"}\n") << cut;
    EXPECT_EQ(r.run.status, 0) << cut;
    EXPECT_EQ(r.record["buffers"], cut > start.size() + audio.size() ? 1 : 0) << cut;
  }
}

TEST(ServeFaults, ProbeIgnoresSilentOpenStdin) {
  RunOptions options;
  options.keepStdinOpen = true;
  options.timeoutSeconds = 10;
  SessionResult r = runScripted({{"statuses", {{"en-US", "installed"}}}}, "", {"probe"}, options);
  EXPECT_FALSE(r.run.timedOut);
  EXPECT_EQ(r.run.status, 0);
}

// Runs `binary serve` under an address-space limit (the shell's ulimit -v sets RLIMIT_AS in the
// child before the program starts) with standard input from a file.
RunResult serveUnderMemoryLimit(const std::string& binary, const std::string& inputPath,
                                RunOptions options, int limitMiB = 400) {
  options.timeoutSeconds = 60;
  return runBinary(
      "/bin/sh",
      {"-c", "ulimit -v " + std::to_string(limitMiB * 1024) + " && exec \"$0\" serve <\"$1\"",
       binary, inputPath},
      "", options);
}

// A start frame, then one audio frame of `payloadMiB` MiB of silence (a sparse file: it costs
// no disk), then an end frame.
void writeHugeAudioSession(const std::string& path, std::size_t payloadMiB) {
  const std::size_t payload = payloadMiB << 20;
  std::string head = startFrame({{"locale", "en-US"}}) + frameBytes(2, "x").substr(0, 5);
  head[head.size() - 4] = static_cast<char>(payload >> 24);
  head[head.size() - 3] = static_cast<char>(payload >> 16);
  head[head.size() - 2] = static_cast<char>(payload >> 8);
  head[head.size() - 1] = static_cast<char>(payload);
  writeFileBytes(path, head);
  std::filesystem::resize_file(path, head.size() + payload);
  std::ofstream(path, std::ios::binary | std::ios::app) << frameBytes(3);
}

TEST(ServeFaults, OutOfMemoryInTheMainFlowIsOneErrorLineAndStatusOne) {
  if (kSanitizedBuild) GTEST_SKIP() << "a sanitizer build cannot run under an address-space limit";
  // A 450 MiB audio frame under a 400 MiB address-space limit: the frame cannot be held.
  const std::string dir = makeTempDir();
  writeHugeAudioSession(dir + "/input", 450);
  writeFileBytes(dir + "/scenario.json", json({{"statuses", {{"en-US", "installed"}}}}).dump());
  struct Case {
    const char* name;
    std::string binary;
    std::vector<std::pair<std::string, std::string>> env;
  };
  const std::vector<Case> cases = {
      {"scripted engine",
       QUILLMOR_SCRIPTED_BINARY,
       {{"QUILLMOR_SCENARIO", dir + "/scenario.json"}}},
      {"recognizer", QUILLMOR_BINARY, {{"XDG_DATA_HOME", dir}}},
  };
  for (const Case& c : cases) {
    RunOptions options;
    options.env = c.env;
    RunResult r = serveUnderMemoryLimit(c.binary, dir + "/input", options);
    EXPECT_EQ(r.out,
              "{\"code\":\"recognition_failed\",\"message\":\"申请不到内存\",\"type\":\"error\"}\n")
        << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_TRUE(r.exitedNormally) << c.name << ": signal " << r.signal;
    EXPECT_EQ(r.status, 1) << c.name;
  }
  removeTree(dir);
}

TEST(ServeFaults, OutOfMemoryInTheResultTaskFailsTheResultsAndDoneFollows) {
  if (kSanitizedBuild) GTEST_SKIP() << "a sanitizer build cannot run under an address-space limit";
  // One final result of 64 MiB of text: the engine holds it once, and writing it as a line
  // takes more copies (plain text, trimmed text, event, JSON, line) than a 400 MiB address space
  // leaves room for.
  const std::string dir = makeTempDir();
  json scenario = {{"statuses", {{"en-US", "installed"}}}};
  scenario["results"] = {{{"runs", {{{"text", "word"}, {"repeat", 16u << 20}}}},
                          {"start", 0},
                          {"duration", 1},
                          {"isFinal", true},
                          {"afterBuffers", 0}}};
  writeFileBytes(dir + "/scenario.json", scenario.dump());
  writeFileBytes(dir + "/input", startFrame({{"locale", "en-US"}}) + frameBytes(3));
  RunOptions options;
  options.env = {{"QUILLMOR_SCENARIO", dir + "/scenario.json"}};
  RunResult r = serveUnderMemoryLimit(QUILLMOR_SCRIPTED_BINARY, dir + "/input", options);
  EXPECT_EQ(r.out,
            "{\"code\":\"recognition_failed\",\"message\":\"申请不到内存\",\"type\":\"error\"}\n"
            "{\"type\":\"done\"}\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.exitedNormally) << "signal " << r.signal;
  EXPECT_EQ(r.status, 0);
  removeTree(dir);
}

TEST(ServeFaults, InstallKilledHalfWayLeavesNothingInstalledAndTheNextOneSucceeds) {
  EnGbModelSite site;
  const std::string& dataHome = site.dataHome;
  const std::string& store = site.store;
  ModelServer server(site.served);

  RunOptions options;
  options.env = {{"XDG_DATA_HOME", dataHome}};

  // Headers, then nothing: killed while downloading.
  writeEnGbCatalogue(store, server.url("stall", "en-gb.tar.gz"), site.served + "/en-gb.tar.gz");
  options.timeoutSeconds = 1.5;
  RunResult killed =
      runBinary(QUILLMOR_BINARY, {"serve"}, startFrame({{"locale", "en-GB"}}), options);
  EXPECT_TRUE(killed.timedOut);
  EXPECT_EQ(killed.out, "{\"message\":\"正在下载 en-GB 语音模型…\",\"type\":\"status\"}\n");
  {
    ScopedEnvironment env("XDG_DATA_HOME", dataHome);
    EXPECT_EQ(findInstalledModel("en-GB"), std::nullopt);
    EXPECT_EQ(modelStatus("en-GB"), AssetInventoryStatus::supported);
  }

  writeEnGbCatalogue(store, server.url("files", "en-gb.tar.gz"), site.served + "/en-gb.tar.gz");
  options.timeoutSeconds = 120;
  RunResult next =
      runBinary(QUILLMOR_BINARY, {"serve"},
                startFrame({{"locale", "en-GB"}}) +
                    frameBytes(2, readFileBytes("/usr/share/pocketsphinx/test/data/goforward.raw")),
                options);
  EXPECT_EQ(next.status, 0);
  std::vector<std::string> lines = outputLines(next.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), "{\"message\":\"正在下载 en-GB 语音模型…\",\"type\":\"status\"}");
  EXPECT_EQ(lines.back(), "{\"type\":\"done\"}");
  EXPECT_NE(next.out.find("forward"), std::string::npos) << next.out;
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(store)) {
    left.insert(entry.path().filename().string());
  }
  EXPECT_EQ(left, (std::set<std::string>{"catalogue.json", "en-GB", "en-GB.lock"}));
}

}  // namespace
}  // namespace quillmor_speech
