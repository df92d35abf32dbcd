// Standard output that cannot be written from the start (a closed pipe, a full disk) or that the
// host closes part-way, for every command through the real binary and the scripted one: every
// run ends by itself, with status 1 and never a signal, and writes nothing to stderr.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "support/audio_fixtures.h"
#include "support/run_binary.h"
#include "support/serve_harness.h"
#include "support/temp_dir.h"

namespace quillmor_speech {
namespace {

using nlohmann::json;

// A scenario of the scripted engine that writes one partial line for every audio buffer.
json chattyScenario(const std::string& record) {
  json scenario = {{"statuses", {{"en-US", "installed"}}}, {"record", record}};
  scenario["results"] = json::array();
  for (int i = 1; i <= 5000; ++i) {
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

struct Command {
  const char* name;
  std::string binary;
  std::vector<std::string> arguments;
  std::string input;
};

class StdoutFaults : public ::testing::Test {
 protected:
  StdoutFaults() { writeFileBytes(dir_ / "scenario.json", chattyScenario(record()).dump()); }

  std::string path(const std::string& name) const { return dir_ / name; }
  std::string record() const { return dir_ / "record.json"; }

  RunOptions options(const Command& command) const {
    RunOptions options;
    options.env = {{"QUILLMOR_SCENARIO", dir_ / "scenario.json"}};
    options.timeoutSeconds = 30;
    // fail ends the process without joining decode's reading thread, by design: ThreadSanitizer
    // would report that thread, once finished, as a leak and exit with status 66.
    if (!command.arguments.empty() && command.arguments[0] == "decode") {
      const char* tsan = std::getenv("TSAN_OPTIONS");
      options.env.emplace_back("TSAN_OPTIONS",
                               std::string(tsan ? tsan : "") + ":report_thread_leaks=0");
    }
    return options;
  }

  TempDir dir_;
};

TEST_F(StdoutFaults, StdoutThatCannotBeWrittenGivesStatusOne) {
  writeFileBytes(path("tone.wav"), wavFile(8000, 1, 16, noiseBytes(16000, 9)));
  // Usage errors, probe, a good decode and serve would write and exit 0; the others fail anyway
  // but must not die by a signal either.
  const std::vector<Command> commands = {
      {"no command", QUILLMOR_BINARY, {}, ""},
      {"decode without a file", QUILLMOR_BINARY, {"decode"}, ""},
      {"probe", QUILLMOR_BINARY, {"probe"}, ""},
      {"decode", QUILLMOR_BINARY, {"decode", path("tone.wav")}, ""},
      {"decode of a missing file", QUILLMOR_BINARY, {"decode", path("missing.wav")}, ""},
      {"serve without input", QUILLMOR_BINARY, {"serve"}, ""},
      {"scripted probe", QUILLMOR_SCRIPTED_BINARY, {"probe"}, ""},
      {"scripted serve with results", QUILLMOR_SCRIPTED_BINARY, {"serve"}, audioStream(10)},
  };
  for (const Command& c : commands) {
    SCOPED_TRACE(c.name);
    {
      SCOPED_TRACE("/dev/full");
      std::vector<std::string> shell = {"-c", "exec \"$0\" \"$@\" >/dev/full", c.binary};
      shell.insert(shell.end(), c.arguments.begin(), c.arguments.end());
      expectEndedByItself(runBinary("/bin/sh", shell, c.input, options(c)), 1);
    }
    {
      SCOPED_TRACE("closed pipe");
      RunOptions closed = options(c);
      closed.stdoutClosed = true;
      expectEndedByItself(runBinary(c.binary, c.arguments, c.input, closed), 1);
    }
  }
}

TEST_F(StdoutFaults, HostClosingStdoutPartWayEndsTheCommandPromptly) {
  // Ten minutes of 8 kHz noise: 19 MB of output, far more than the pipe holds; and a session
  // with one partial line per audio frame.
  writeFileBytes(path("long.wav"), wavFile(8000, 1, 16, noiseBytes(10 * 60 * 8000 * 2, 5)));
  struct Case {
    Command command;
    std::size_t closeAfter;
  };
  const std::vector<Case> cases = {
      {{"decode", QUILLMOR_BINARY, {"decode", path("long.wav")}, ""}, 1},
      {{"decode", QUILLMOR_BINARY, {"decode", path("long.wav")}, ""}, 200000},
      {{"serve", QUILLMOR_SCRIPTED_BINARY, {"serve"}, audioStream(5000)}, 300},
  };
  // A sanitizer build runs several times slower.
  const double promptly = kSanitizedBuild ? 10.0 : 3.0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command.name) + " closed after " + std::to_string(c.closeAfter));
    RunOptions options = this->options(c.command);
    options.closeStdoutAfter = c.closeAfter;
    const RunResult r = runBinary(c.command.binary, c.command.arguments, c.command.input, options);
    expectEndedByItself(r, 1);  // a finished command would have status 0
    ASSERT_GE(r.stdoutClosedAt, 0);
    EXPECT_LT(r.seconds - r.stdoutClosedAt, promptly);
    if (c.command.binary != QUILLMOR_SCRIPTED_BINARY) continue;
    // Every whole line read before the close is a partial line, and the session stopped early.
    const std::string whole = r.out.substr(0, r.out.rfind('\n') + 1);
    ASSERT_FALSE(whole.empty());
    for (const std::string& line : outputLines(whole)) {
      EXPECT_EQ(json::parse(line)["type"], "partial") << line;
    }
    EXPECT_LT(json::parse(readFileBytes(record()))["buffers"].get<int>(), 5000);
  }
}

}  // namespace
}  // namespace quillmor_speech
