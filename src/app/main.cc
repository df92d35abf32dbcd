// quillmor-speech: on-device speech recognition and audio decoding for a host process.
#include <csignal>

#include "app/dispatch.h"
#include "output/output.h"
#include "output/process.h"
#include "platform/pocketsphinx/model_check.h"
#include "platform/pocketsphinx/pocketsphinx_engine.h"

int main(int argc, char** argv) {
  using namespace quillmor_speech;
  // This program run again to check that a model loads (model_check.h), and nothing else.
  if (isModelCheckRun(argc, argv)) runModelCheck(argv);
  // stdoutLock is constructed before main; args comes second.
  try {
    args.assign(argv, argv + argc);
  } catch (...) {
    exitNow(1);  // no memory even for the arguments: nothing can be written either
  }
  // A closed stdout must end the process through a failed write (status 1), never by a signal.
  std::signal(SIGPIPE, SIG_IGN);
  // PocketSphinx, which only serve runs, ends the process itself when its allocator fails or on
  // a fatal error of its own; the host gets serve's error line instead.
  onPocketSphinxExit([](bool fatalErrorLogged) noexcept {
    if (!fatalErrorLogged) failOutOfMemory("recognition_failed");
    try {
      fail("recognition_failed", "The speech library stopped on a fatal error");
    } catch (...) {
      failOutOfMemory("recognition_failed");
    }
  });
  runCommand([] { return makePocketSphinxEngine(); });
}
