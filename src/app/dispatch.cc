#include "app/dispatch.h"

#include <optional>
#include <thread>

#include "decode/decode.h"
#include "output/output.h"
#include "output/process.h"
#include "output/termination_signals.h"
#include "probe/probe.h"
#include "serve/serve.h"

namespace quillmor_speech {

namespace {

// The codes of a failure that no lower layer turned into an error line. probe has none of its
// own in the protocol, so it gets one that names the command.
constexpr const char* kProbeFailed = "probe_failed";
constexpr const char* kServeFailed = "recognition_failed";
constexpr const char* kDecodeFailed = "decode_failed";

// Runs a piece of a command's main flow; whatever it throws ends the process with one error
// line of `code` and status 1, never by std::terminate.
template <typename Body>
void runGuarded(const char* code, Body&& body) {
  try {
    body();
  } catch (...) {
    failFromCurrentException(code);
  }
}

// probe and serve run on a worker thread while the main thread waits for them. Nothing leaves
// the worker by an exception, and a worker that cannot be started is a failure of the command.
void runOnWorker(const char* code, const std::function<void()>& body) {
  runGuarded(code, [&] {
    std::thread worker([&] { runGuarded(code, body); });
    worker.join();
  });
}

// SIGTERM or SIGINT ends probe and decode at once with their error line and status 1.
std::function<void(int)> endWithErrorLine(const char* code, const char* what) {
  return [code, what](int signal) {
    failWithLastLine(code, "收到 " + signalName(signal) + "，" + what);
  };
}

// The engine lives until the process ends; exitNow never destroys it. With `interrupted`, a
// signal ends the command with that error line; without, the command takes the signals itself.
[[noreturn]] void runWithEngine(const char* code,
                                const std::function<std::unique_ptr<SpeechEngine>()>& makeEngine,
                                void (*command)(SpeechEngine&), const char* interrupted) {
  std::optional<TerminationWatch> watch;
  std::unique_ptr<SpeechEngine> engine;
  runGuarded(code, [&] {
    if (interrupted) watch.emplace(endWithErrorLine(code, interrupted));
    engine = makeEngine();
  });
  runOnWorker(code, [&] { command(*engine); });
  watch.reset();
  exitNow(0);
}

}  // namespace

void runCommand(const std::function<std::unique_ptr<SpeechEngine>()>& makeEngine) {
  // Before any thread starts, so that every thread inherits the mask.
  blockTerminationSignals();
  const std::string command = args.size() >= 2 ? args[1] : std::string();
  if (command == "probe") runWithEngine(kProbeFailed, makeEngine, probe, "探测已中止");
  if (command == "serve") runWithEngine(kServeFailed, makeEngine, serve, nullptr);
  if (command == "decode") {
    if (args.size() <= 2) fail("usage", "decode 需要一个文件路径");
    runGuarded(kDecodeFailed, [] {
      TerminationWatch watch(endWithErrorLine(kDecodeFailed, "解码已中止"));
      decode(args[2]);
    });
    exitNow(0);
  }
  fail("usage", "用法：quillmor-speech probe | serve | decode <文件>");
}

}  // namespace quillmor_speech
