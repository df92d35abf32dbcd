// quillmor-speech-scripted: the program with the scripted test engine in place of the
// recognizer, for process-level tests. The scenario file is named by QUILLMOR_SCENARIO (unset:
// an empty scenario, every default). Test-only: never installed, and the shipped binary has no
// such variable.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/dispatch.h"
#include "output/process.h"
#include "support/scripted_engine.h"

int main(int argc, char** argv) {
  using namespace quillmor_speech;
  args.assign(argv, argv + argc);
  std::signal(SIGPIPE, SIG_IGN);
  std::unique_ptr<SpeechEngine> engine;
  try {
    const char* path = std::getenv("QUILLMOR_SCENARIO");
    engine = makeScriptedEngine(path ? readScenarioFile(path) : nlohmann::json::object());
  } catch (const std::exception& error) {
    // A broken test, not a program outcome: status 2, which the program itself never uses.
    std::fprintf(stderr, "quillmor-speech-scripted: %s\n", error.what());
    return 2;
  }
  runCommand([&] { return std::move(engine); });
}
