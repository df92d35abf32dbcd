// SIGTERM and SIGINT sent by the host while each command runs: the process ends by itself,
// promptly, with the output the README promises (never by the signal).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "support/model_fixtures.h"
#include "support/run_binary.h"
#include "support/serve_harness.h"
#include "support/temp_dir.h"

extern char** environ;

namespace quillmor_speech {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

struct SignalledRun {
  std::string out;
  bool signalSent = false;
  bool exitedNormally = false;
  int status = -1;
  int signal = 0;
  double secondsAfterSignal = -1;  // from the signal to the exit
};

double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Runs the program with `input` on a stdin that stays open, reads its stdout, and sends
// `signal` once `ready(stdout so far)` holds (checked after every read, and every 50 ms).
// Gives up (SIGKILL) 30 s after the start.
SignalledRun runAndSignal(const std::string& path, const std::vector<std::string>& arguments,
                          const std::vector<std::string>& env, const std::string& input,
                          const std::function<bool(const std::string&)>& ready, int signal) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC)) throw std::runtime_error("pipe");
  std::vector<std::string> argvStrings{path};
  argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : argvStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings(env);
  for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  SignalledRun run;
  Clock::time_point started = Clock::now(), signalled;
  std::size_t written = 0;
  int outFd = out[0];
  while (outFd >= 0) {
    if (since(started) > 30) break;
    if (!run.signalSent && ready(run.out)) {
      kill(pid, signal);
      run.signalSent = true;
      signalled = Clock::now();
    }
    std::vector<pollfd> fds{{outFd, POLLIN, 0}};
    if (written < input.size()) fds.push_back({in[1], POLLOUT, 0});
    if (poll(fds.data(), fds.size(), 50) < 0) continue;
    if (fds.size() > 1 && fds[1].revents) {
      ssize_t n = write(in[1], input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN) written = input.size();
    }
    if (fds[0].revents) {
      char buffer[65536];
      ssize_t n = read(outFd, buffer, sizeof buffer);
      if (n > 0) run.out.append(buffer, static_cast<std::size_t>(n));
      if (n == 0) outFd = -1;
    }
  }
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) != pid) {
    // stdout is still open after 30 s, or closed while the child lives on: wait 5 s more.
    for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) != pid; ++i) usleep(50000);
    if (kill(pid, 0) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
  }
  if (run.signalSent) run.secondsAfterSignal = since(signalled);
  close(in[1]);
  if (outFd >= 0) close(outFd);
  run.exitedNormally = WIFEXITED(status);
  run.status = run.exitedNormally ? WEXITSTATUS(status) : -1;
  run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return run;
}

std::function<bool(const std::string&)> onceOutputHas(std::string text) {
  return [text](const std::string& out) { return out.find(text) != std::string::npos; };
}

// The calls in the scripted engine's record (empty while it has none).
std::vector<std::string> recordedCalls(const std::string& record) {
  std::ifstream file(record);
  json parsed = json::parse(file, nullptr, false);
  if (!parsed.is_object() || !parsed.contains("calls")) return {};
  return parsed["calls"].get<std::vector<std::string>>();
}

// "call NAME": once the scripted engine has recorded the call NAME (it records a call before
// acting on it, and the program blocks the signals before it makes the engine); otherwise once
// stdout holds the text.
std::function<bool(const std::string&)> readyWhen(const std::string& condition,
                                                  const std::string& record) {
  if (condition.rfind("call ", 0) != 0) return onceOutputHas(condition);
  return [call = condition.substr(5), record](const std::string&) {
    std::vector<std::string> calls = recordedCalls(record);
    return std::find(calls.begin(), calls.end(), call) != calls.end();
  };
}

std::string scenarioFile(const std::string& dir, const json& scenario) {
  writeFileBytes(dir + "/scenario.json", scenario.dump());
  return "QUILLMOR_SCENARIO=" + dir + "/scenario.json";
}

std::string errorLine(const std::string& code, const std::string& message) {
  return json({{"code", code}, {"message", message}, {"type", "error"}}).dump() + "\n";
}

// A command that ignored the signal would run on until the runner gives up (stdin stays open);
// one that obeys ends in well under a second on an idle machine. The bound only tells the two
// apart, with room for sanitizers on a loaded machine.
constexpr double kEndsWithinSeconds = 10;

const std::vector<std::pair<int, std::string>> kSignals = {{SIGTERM, "SIGTERM"},
                                                           {SIGINT, "SIGINT"}};

// Cases whose whole output is known: the scripted engine plays the session.
TEST(Signals, EachCommandEndsByItselfWithItsPromisedOutput) {
  const std::string audio = audioFrame(std::vector<std::int16_t>(1600, 200));
  const json partialOnFirstAudio = {{"runs", {{{"text", "so far"}}}},
                                    {"start", 0.5},
                                    {"duration", 1},
                                    {"isFinal", false},
                                    {"afterBuffers", 1}};
  const json finalAtTheEnd = {
      {"runs", {{{"text", "the last words"}}}}, {"start", 0.5}, {"duration", 2}, {"isFinal", true}};
  const std::string partialLine = R"({"end":1.5,"start":0.5,"text":"so far","type":"partial"})"
                                  "\n";
  const std::string finalLine = R"({"end":2.5,"start":0.5,"text":"the last words","type":"final"})"
                                "\n";
  const std::string downloading = R"({"message":"正在下载 en-US 语音模型…","type":"status"})"
                                  "\n";
  struct Case {
    std::string name;
    std::vector<std::string> arguments;
    json scenario;
    std::string input;
    std::string readyWhen;  // see readyWhen()
    std::string output;     // with SIG for the signal's name
    int status;
    std::string lastCall;  // the engine's last recorded call
  };
  const json installed = {{"statuses", {{"en-US", "installed"}}},
                          {"results", {partialOnFirstAudio, finalAtTheEnd}}};
  const json slowDownload = {
      {"statuses", {{"en-US", "downloadable"}}},
      {"operations", {{"downloadAndInstall", {{"do", "succeed"}, {"waitMs", 20000}}}}}};
  const json slowLoad = {{"statuses", {{"en-US", "installed"}}},
                         {"operations", {{"prepareToAnalyze", {{"waitMs", 20000}}}}}};
  const json slowProbe = {{"statuses", {{"en-US", "installed"}}},
                          {"operations", {{"status", {{"waitMs", 20000}}}}}};
  const std::string start = startFrame({{"locale", "en-US"}});
  const std::vector<Case> cases = {
      {"serve, audio read, stdin open and silent",
       {"serve"},
       installed,
       start + audio,
       "so far",
       partialLine + finalLine +
           R"({"type":"done"})"
           "\n",
       0,
       "finalize"},
      {"serve, inside an audio frame",
       {"serve"},
       installed,
       start + audio + audio.substr(0, 700),
       "so far",
       partialLine + finalLine +
           R"({"type":"done"})"
           "\n",
       0,
       "finalize"},
      {"serve, before the start frame",
       {"serve"},
       installed,
       "",
       "call isAvailable",
       errorLine("recognition_failed", "收到 SIG，识别已取消"),
       1,
       "isAvailable"},
      {"serve, during a model download",
       {"serve"},
       slowDownload,
       start + audio,
       "call downloadAndInstall",
       downloading + errorLine("recognition_failed", "收到 SIG，模型下载已取消"),
       1,
       "cancel"},
      {"serve, while the model loads",
       {"serve"},
       slowLoad,
       start + audio,
       "call prepareToAnalyze",
       errorLine("recognition_failed", "收到 SIG，识别已取消"),
       1,
       "prepareToAnalyze"},
      {"probe",
       {"probe"},
       slowProbe,
       "",
       "call status zh-CN",
       errorLine("probe_failed", "收到 SIG，探测已中止"),
       1,
       "status zh-CN"},
  };
  for (const Case& c : cases) {
    for (const auto& [signal, name] : kSignals) {
      SCOPED_TRACE(c.name + ", " + name);
      const TempDir temp;
      const std::string& dir = temp.path();
      json scenario = c.scenario;
      const std::string record = dir + "/record.json";
      scenario["record"] = record;
      SignalledRun run =
          runAndSignal(QUILLMOR_SCRIPTED_BINARY, c.arguments, {scenarioFile(dir, scenario)},
                       c.input, readyWhen(c.readyWhen, record), signal);
      std::vector<std::string> calls = recordedCalls(record);
      std::string expected = c.output;
      for (std::size_t at; (at = expected.find("SIG，")) != std::string::npos;) {
        expected.replace(at, 3, name);
      }
      ASSERT_TRUE(run.signalSent) << run.out;
      EXPECT_TRUE(run.exitedNormally) << "signal " << run.signal;
      EXPECT_EQ(run.status, c.status);
      EXPECT_EQ(run.out, expected);
      EXPECT_LT(run.secondsAfterSignal, kEndsWithinSeconds);
      ASSERT_FALSE(calls.empty());
      EXPECT_EQ(calls.back(), c.lastCall);
    }
  }
}

// The entries of the model store that an installation of en-GB made.
std::vector<std::string> enGbEntries(const std::string& store) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(store)) {
    std::string name = entry.path().filename().string();
    if (name.rfind(".en-GB.", 0) == 0 || name == "en-GB") found.push_back(name);
  }
  return found;
}

// A real download from the loopback server, which sends the headers and then nothing: the
// signal cancels it, and its work folder goes before the error line is written.
TEST(Signals, ServeCancelsARealDownloadAndRemovesItsWorkFolder) {
  for (const auto& [signal, name] : kSignals) {
    SCOPED_TRACE(name);
    EnGbModelSite site;
    ModelServer server(site.served);
    writeEnGbCatalogue(site.store, server.url("stall", "en-gb.tar.gz"),
                       site.served + "/en-gb.tar.gz");
    const std::string store = site.store;
    bool workSeen = false;
    SignalledRun run = runAndSignal(
        QUILLMOR_BINARY, {"serve"}, {"XDG_DATA_HOME=" + site.dataHome},
        startFrame({{"locale", "en-GB"}}),
        [&](const std::string& out) {
          workSeen = !enGbEntries(store).empty();
          return out.find("status") != std::string::npos && !server.requests().empty();
        },
        signal);
    ASSERT_TRUE(run.signalSent) << run.out;
    EXPECT_TRUE(workSeen) << "no work folder while downloading";
    EXPECT_TRUE(run.exitedNormally) << "signal " << run.signal;
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, R"({"message":"正在下载 en-GB 语音模型…","type":"status"})"
                       "\n" +
                           errorLine("recognition_failed", "收到 " + name + "，模型下载已取消"));
    EXPECT_LT(run.secondsAfterSignal, kEndsWithinSeconds);
    EXPECT_EQ(enGbEntries(store), std::vector<std::string>{});
    EXPECT_EQ(server.requests(), std::vector<std::string>{"/stall/en-gb.tar.gz"});
  }
}

// The real recognizer: the utterance under way when the signal comes is still finished.
TEST(Signals, ServeOnTheRealRecognizerGivesTheLastFinalThenDone) {
  RunResult decoded = runBinary(
      QUILLMOR_BINARY,
      {"decode", std::string(QUILLMOR_SOURCE_DIR) + "/samples/sense-and-sensibility.ogg"}, "");
  ASSERT_EQ(decoded.status, 0);
  // The first utterance (0.2 to 7.1 s) and the start of the second, in 20 ms frames.
  std::string input = startFrame({{"locale", "en-US"}});
  const std::string pcm = decoded.out.substr(0, 9 * 32000);
  for (std::size_t at = 0; at < pcm.size(); at += 640) {
    input += frameBytes(2, pcm.substr(at, 640));
  }
  for (const auto& [signal, name] : kSignals) {
    SCOPED_TRACE(name);
    SignalledRun run = runAndSignal(QUILLMOR_BINARY, {"serve"}, {}, input,
                                    onceOutputHas(R"("type":"final")"), signal);
    ASSERT_TRUE(run.signalSent) << run.out;
    EXPECT_TRUE(run.exitedNormally) << "signal " << run.signal;
    EXPECT_EQ(run.status, 0);
    std::vector<std::string> lines = outputLines(run.out);
    ASSERT_GE(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines.back(), R"({"type":"done"})");
    // The second utterance, cut by the signal, still ends in a final after the first one.
    json last = json::parse(lines[lines.size() - 2]);
    EXPECT_EQ(last["type"], "final") << lines[lines.size() - 2];
    EXPECT_GT(last["start"].get<double>(), 7.5);
    EXPECT_LE(last["end"].get<double>(), 9.0);
    EXPECT_LT(run.secondsAfterSignal, kEndsWithinSeconds);
  }
}

// decode ends with the samples written so far (whole samples), then its error line.
TEST(Signals, DecodeEndsWithTheSamplesSoFarThenItsErrorLine) {
  const std::string sample =
      std::string(QUILLMOR_SOURCE_DIR) + "/samples/sense-and-sensibility.ogg";
  for (const auto& [signal, name] : kSignals) {
    SCOPED_TRACE(name);
    // Its samples fill the pipe and it waits for this reader, which signals once it has some.
    SignalledRun run = runAndSignal(
        QUILLMOR_BINARY, {"decode", sample}, {}, "",
        [](const std::string& out) { return out.size() >= 4096; }, signal);
    ASSERT_TRUE(run.signalSent);
    EXPECT_TRUE(run.exitedNormally) << "signal " << run.signal;
    EXPECT_EQ(run.status, 1);
    const std::string line = errorLine("decode_failed", "收到 " + name + "，解码已中止");
    ASSERT_GT(run.out.size(), line.size());
    std::size_t samples = run.out.size() - line.size();
    EXPECT_EQ(run.out.substr(samples), line);
    EXPECT_EQ(samples % 2, 0u);
    EXPECT_LT(samples, 29u * 32000) << "decode ended before the signal";
    EXPECT_LT(run.secondsAfterSignal, kEndsWithinSeconds);
  }
}

}  // namespace
}  // namespace quillmor_speech
