#include "app/dispatch.h"

#include <thread>

#include "app/output.h"
#include "app/process.h"
#include "decode/decode.h"
#include "probe/probe.h"
#include "serve/serve.h"

namespace quillmor_speech {

namespace {

// probe and serve run on a worker thread while the main thread waits for them.
void runOnWorker(const std::function<void()>& body) {
  std::thread worker(body);
  worker.join();
}

}  // namespace

void runCommand(const std::function<std::unique_ptr<SpeechEngine>()>& makeEngine) {
  const std::string command = args.size() >= 2 ? args[1] : std::string();
  if (command == "probe") {
    std::unique_ptr<SpeechEngine> engine = makeEngine();
    runOnWorker([&] { probe(*engine); });
    exitNow(0);
  }
  if (command == "serve") {
    std::unique_ptr<SpeechEngine> engine = makeEngine();
    runOnWorker([&] { serve(*engine); });
    exitNow(0);
  }
  if (command == "decode") {
    if (args.size() <= 2) fail("usage", "decode 需要一个文件路径");
    decode(args[2]);
    exitNow(0);
  }
  fail("usage", "用法：quillmor-speech probe | serve | decode <文件>");
}

}  // namespace quillmor_speech
