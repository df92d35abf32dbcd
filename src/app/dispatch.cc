#include "app/dispatch.h"

#include <thread>

#include "decode/decode.h"
#include "output/output.h"
#include "output/process.h"
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

// The engine lives until the process ends; exitNow never destroys it.
[[noreturn]] void runWithEngine(const char* code,
                                const std::function<std::unique_ptr<SpeechEngine>()>& makeEngine,
                                void (*command)(SpeechEngine&)) {
  std::unique_ptr<SpeechEngine> engine;
  runGuarded(code, [&] { engine = makeEngine(); });
  runOnWorker(code, [&] { command(*engine); });
  exitNow(0);
}

}  // namespace

void runCommand(const std::function<std::unique_ptr<SpeechEngine>()>& makeEngine) {
  const std::string command = args.size() >= 2 ? args[1] : std::string();
  if (command == "probe") runWithEngine(kProbeFailed, makeEngine, probe);
  if (command == "serve") runWithEngine(kServeFailed, makeEngine, serve);
  if (command == "decode") {
    if (args.size() <= 2) fail("usage", "decode 需要一个文件路径");
    runGuarded(kDecodeFailed, [] { decode(args[2]); });
    exitNow(0);
  }
  fail("usage", "用法：quillmor-speech probe | serve | decode <文件>");
}

}  // namespace quillmor_speech
