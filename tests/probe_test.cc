// The probe command as the host sees it: exact bytes on stdout, nothing on stderr, status 0.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "support/serve_harness.h"

namespace quillmor_speech {
namespace {

// The line with the "os" value replaced by OS: that text is the machine's, checked apart.
std::string withOsPlaceholder(const std::string& line) {
  const std::string key = "\"os\":\"";
  const std::size_t start = line.find(key);
  if (start == std::string::npos) return line;
  std::size_t at = start + key.size();
  while (at < line.size() && line[at] != '"') at += line[at] == '\\' ? 2 : 1;
  return line.substr(0, start + key.size()) + "OS" + line.substr(at);
}

// PRETTY_NAME of /etc/os-release, read independently of the program.
std::string distributionName() {
  std::ifstream file("/etc/os-release");
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
    std::string value = line.substr(12);
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    return value;
  }
  return {};
}

// Runs `probe` (or the arguments given) on the scripted engine with the scenario.
SessionResult runScriptedProbe(const nlohmann::json& scenario,
                               const std::vector<std::string>& arguments = {"probe"},
                               const RunOptions& options = {}) {
  return runScripted(scenario, "", arguments, options);
}

TEST(Probe, EveryModelStatusHasItsWord) {
  struct Case {
    std::string zh, en;   // the engine's statuses
    std::string locales;  // the "locales" value on the line
  };
  const std::vector<Case> cases = {
      {"installed", "installed", R"({"en-US":"installed","zh-CN":"installed"})"},
      {"supported", "downloading", R"({"en-US":"downloading","zh-CN":"downloadable"})"},
      {"downloading", "supported", R"({"en-US":"downloadable","zh-CN":"downloading"})"},
      {"unsupported", "installed", R"({"en-US":"installed","zh-CN":"unsupported"})"},
      {"other", "unsupported", R"({"en-US":"unsupported","zh-CN":"unknown"})"},
      {"installed", "other", R"({"en-US":"unknown","zh-CN":"installed"})"},
  };
  for (const Case& c : cases) {
    SessionResult probe = runScriptedProbe({{"statuses", {{"zh-CN", c.zh}, {"en-US", c.en}}}});
    expectEndedByItself(probe.run, 0);
    EXPECT_EQ(
        withOsPlaceholder(probe.run.out),
        "{\"locales\":" + c.locales + ",\"os\":\"OS\",\"supported\":true,\"type\":\"probe\"}\n")
        << c.zh << " " << c.en;
    // Asked once each, zh-CN first.
    EXPECT_EQ(probe.record["calls"],
              nlohmann::json({"isAvailable", "status zh-CN", "status en-US"}));
  }
}

TEST(Probe, UnavailableRecognitionGivesTheReasonAndAsksNoStatus) {
  SessionResult probe =
      runScriptedProbe({{"available", false}, {"statuses", {{"en-US", "installed"}}}});
  expectEndedByItself(probe.run, 0);
  EXPECT_EQ(withOsPlaceholder(probe.run.out),
            "{\"os\":\"OS\",\"reason\":\"此 Mac 不支持本机语音识别\",\"supported\":false,"
            "\"type\":\"probe\"}\n");
  EXPECT_EQ(probe.record["calls"], nlohmann::json({"isAvailable"}));
}

TEST(Probe, OsTextIsTheDistributionAndKernel) {
  SessionResult probe = runScriptedProbe(nlohmann::json::object());
  expectEndedByItself(probe.run, 0);
  const auto line = nlohmann::json::parse(probe.run.out);
  const std::string os = line.at("os").get<std::string>();
  const std::string distribution = distributionName();
  ASSERT_FALSE(distribution.empty());
  EXPECT_EQ(os.rfind(distribution + ", Linux ", 0), 0u) << os;
}

TEST(Probe, ExtraArgumentsChangeNothing) {
  const nlohmann::json scenario = {
      {"statuses", {{"zh-CN", "downloading"}, {"en-US", "installed"}}}};
  const SessionResult plain = runScriptedProbe(scenario);
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"probe", "extra"}, {"probe", "--json", "serve"}}) {
    const SessionResult extra = runScriptedProbe(scenario, arguments);
    expectEndedByItself(extra.run, 0);
    EXPECT_EQ(extra.run.out, plain.run.out) << arguments[1];
  }
}

TEST(Probe, StdinLeftOpenDoesNotBlock) {
  RunOptions options;
  options.keepStdinOpen = true;
  options.timeoutSeconds = 20;
  const SessionResult probe =
      runScriptedProbe({{"statuses", {{"zh-CN", "installed"}}}}, {"probe"}, options);
  expectEndedByItself(probe.run, 0);
  EXPECT_EQ(withOsPlaceholder(probe.run.out),
            "{\"locales\":{\"en-US\":\"unsupported\",\"zh-CN\":\"installed\"},\"os\":\"OS\","
            "\"supported\":true,\"type\":\"probe\"}\n");
}

TEST(Probe, SlowStatusQueriesAreAwaitedOneAfterTheOther) {
  const SessionResult probe = runScriptedProbe(
      {{"operations", {{"status", {{"waitMs", 300}}}}}, {"statuses", {{"en-US", "installed"}}}});
  expectEndedByItself(probe.run, 0);
  EXPECT_EQ(withOsPlaceholder(probe.run.out),
            "{\"locales\":{\"en-US\":\"installed\",\"zh-CN\":\"unsupported\"},\"os\":\"OS\","
            "\"supported\":true,\"type\":\"probe\"}\n");
  EXPECT_GE(probe.run.seconds, 0.6);  // two waits of 0.3 s in sequence
}

TEST(Probe, AFailureNoEnginePromisesIsOneErrorLineAndStatusOne) {
  struct Case {
    const char* operation;
    nlohmann::json behaviour;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"isAvailable",
       {{"do", "throwLogicError"}, {"description", "broken/invariant"}},
       "broken\\/invariant"},
      {"status", {{"do", "throwBadAlloc"}}, "申请不到内存"},
      {"status", {{"do", "throwInteger"}}, "发生了意外错误"},
  };
  for (const Case& c : cases) {
    SessionResult probe = runScriptedProbe({{"operations", {{c.operation, c.behaviour}}}});
    EXPECT_EQ(probe.run.out,
              "{\"code\":\"probe_failed\",\"message\":\"" + c.message + "\",\"type\":\"error\"}\n")
        << c.operation << " " << c.message;
    expectEndedByItself(probe.run, 1);
  }
}

TEST(Probe, RealEngineReportsTheSystemEnglishModel) {
  const RunResult run = runBinary(QUILLMOR_BINARY, {"probe"}, "");
  expectEndedByItself(run, 0);
  const auto line = nlohmann::json::parse(run.out);
  EXPECT_EQ(line.at("supported"), true);
  EXPECT_EQ(line.at("locales").at("en-US"), "installed");
  const std::vector<std::string> words = {"installed", "downloadable", "downloading", "unsupported",
                                          "unknown"};
  EXPECT_NE(
      std::find(words.begin(), words.end(), line.at("locales").at("zh-CN").get<std::string>()),
      words.end());
  EXPECT_EQ(line.size(), 4u);
}

}  // namespace
}  // namespace quillmor_speech
