// Memory running out, through the real binary under an address-space limit (RLIMIT_AS, set by
// the shell's ulimit -v): every run ends by itself, with an error line of the command's codes
// and never an abort. A sanitizer build cannot run under such a limit: these tests skip there.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "support/audio_fixtures.h"
#include "support/run_binary.h"
#include "support/serve_harness.h"
#include "support/temp_dir.h"

namespace quillmor_speech {
namespace {

using nlohmann::json;

// `binary args` under an address-space limit (RLIMIT_AS, set by the shell's ulimit -v).
RunResult underAddressLimit(long kib, const std::vector<std::string>& args) {
  std::vector<std::string> shellArgs = {
      "-c", "ulimit -v " + std::to_string(kib) + " && exec \"$0\" \"$@\"", QUILLMOR_BINARY};
  shellArgs.insert(shellArgs.end(), args.begin(), args.end());
  RunOptions options;
  options.timeoutSeconds = 20;
  return runBinary("/bin/sh", shellArgs, "", options);
}

// The lowest limit (to 256 KiB) at which the program itself runs, shown by its usage line.
// Below it the dynamic loader cannot map the libraries: its message and status 127, before any
// code of the program has run.
long programFloorKib() {
  const std::string usage =
      "{\"code\":\"usage\",\"message\":\"用法：quillmor-speech probe | serve | decode "
      "<文件>\",\"type\":\"error\"}\n";
  long failing = 16 * 1024, working = 2 * 1024 * 1024;
  while (working - failing > 256) {
    long middle = (failing + working) / 2;
    RunResult r = underAddressLimit(middle, {});
    (r.status == 1 && r.out == usage ? working : failing) = middle;
  }
  return working;
}

TEST(OutOfMemory, RunningOutOfAddressSpaceNeverAbortsACommand) {
  if (kSanitizedBuild) GTEST_SKIP() << "a sanitizer build cannot run under an address-space limit";
  // From the lowest limit at which the program runs upwards, in 1 MiB steps, until the command
  // succeeds, then again in 256 KiB steps over the last 16 MiB below that: every run ends by
  // itself with nothing on stderr, either exactly as without a limit or with one error line of
  // the command's codes. decode maps its decoder module, over a hundred libraries, only once it
  // runs, so it needs far more than the program's floor.
  const TempDir dir;
  writeFileBytes(dir / "tone.wav", wavFile(44100, 2, 16, noiseBytes(44100 * 4 * 2, 3)));
  struct Case {
    std::vector<std::string> args;
    std::set<std::string> codes;
  };
  const std::vector<Case> cases = {
      {{"decode", dir / "tone.wav"}, {"decode_failed", "decode_unsupported"}},
      {{"probe"}, {"probe_failed"}},
  };
  const long floor = programFloorKib();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const RunResult unlimited = runBinary(QUILLMOR_BINARY, c.args, "");
    ASSERT_EQ(unlimited.status, 0);
    // Whether the command succeeded under `kib`; any other ending is checked here.
    auto runUnder = [&](long kib) {
      SCOPED_TRACE(std::to_string(kib) + " KiB");
      RunResult r = underAddressLimit(kib, c.args);
      expectEndedByItself(r, r.status == 0 ? 0 : 1);
      if (r.status == 0) {
        EXPECT_EQ(r.out, unlimited.out);
        return true;
      }
      // decode may have written samples before the error line; the line itself is whole.
      const std::size_t start = r.out.rfind("{\"code\":");
      const nlohmann::json line = start == std::string::npos
                                      ? nlohmann::json()
                                      : nlohmann::json::parse(r.out.substr(start), nullptr, false);
      EXPECT_TRUE(line.is_object()) << r.out.substr(0, 200);
      if (!line.is_object()) return false;
      EXPECT_EQ(line.value("type", ""), "error");
      EXPECT_EQ(c.codes.count(line.value("code", "")), 1u) << r.out.substr(start);
      EXPECT_EQ(r.out.back(), '\n');
      return false;
    };
    long first = 0;
    for (long kib = floor; kib < floor + 256 * 1024 && first == 0; kib += 1024) {
      if (runUnder(kib)) first = kib;
    }
    const bool succeeded = first != 0;
    for (long kib = std::max(floor, first - 16 * 1024); succeeded && kib < first; kib += 256) {
      runUnder(kib);
    }
    EXPECT_TRUE(succeeded) << "no limit up to 256 MiB above the floor let the command finish";
  }
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

TEST(OutOfMemory, InTheMainFlowOfServeIsOneErrorLineAndStatusOne) {
  if (kSanitizedBuild) GTEST_SKIP() << "a sanitizer build cannot run under an address-space limit";
  // A 450 MiB audio frame under a 400 MiB address-space limit: the frame cannot be held.
  const TempDir dir;
  writeHugeAudioSession(dir / "input", 450);
  writeFileBytes(dir / "scenario.json", json({{"statuses", {{"en-US", "installed"}}}}).dump());
  struct Case {
    const char* name;
    std::string binary;
    std::vector<std::pair<std::string, std::string>> env;
  };
  const std::vector<Case> cases = {
      {"scripted engine", QUILLMOR_SCRIPTED_BINARY, {{"QUILLMOR_SCENARIO", dir / "scenario.json"}}},
      {"recognizer", QUILLMOR_BINARY, {{"XDG_DATA_HOME", dir.path()}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunOptions options;
    options.env = c.env;
    RunResult r = serveUnderMemoryLimit(c.binary, dir / "input", options);
    EXPECT_EQ(
        r.out,
        "{\"code\":\"recognition_failed\",\"message\":\"申请不到内存\",\"type\":\"error\"}\n");
    expectEndedByItself(r, 1);
  }
}

TEST(OutOfMemory, InTheResultTaskOfServeFailsTheResultsAndDoneFollows) {
  if (kSanitizedBuild) GTEST_SKIP() << "a sanitizer build cannot run under an address-space limit";
  // One final result of 64 MiB of text: the engine holds it once, and writing it as a line
  // takes more copies (plain text, trimmed text, event, JSON, line) than a 400 MiB address space
  // leaves room for.
  const TempDir dir;
  json scenario = {{"statuses", {{"en-US", "installed"}}}};
  scenario["results"] = {{{"runs", {{{"text", "word"}, {"repeat", 16u << 20}}}},
                          {"start", 0},
                          {"duration", 1},
                          {"isFinal", true},
                          {"afterBuffers", 0}}};
  writeFileBytes(dir / "scenario.json", scenario.dump());
  writeFileBytes(dir / "input", startFrame({{"locale", "en-US"}}) + frameBytes(3));
  RunOptions options;
  options.env = {{"QUILLMOR_SCENARIO", dir / "scenario.json"}};
  RunResult r = serveUnderMemoryLimit(QUILLMOR_SCRIPTED_BINARY, dir / "input", options);
  EXPECT_EQ(r.out,
            "{\"code\":\"recognition_failed\",\"message\":\"申请不到内存\",\"type\":\"error\"}\n"
            "{\"type\":\"done\"}\n");
  expectEndedByItself(r, 0);
}

}  // namespace
}  // namespace quillmor_speech
