#include "platform/pocketsphinx/pocketsphinx_handles.h"

#include <sphinxbase/ckd_alloc.h>
#include <sphinxbase/err.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/pocketsphinx/pocketsphinx_engine.h"

namespace quillmor_speech {

namespace {

std::atomic<bool> fatalErrorLogged = false;
std::atomic<void (*)(bool) noexcept> exitHandler = nullptr;

std::atomic<bool> exitHandled = false;

// Run by exit(): the handler ends the process with its own status.
void callExitHandler() {
  if (auto handler = exitHandler.load()) {
    exitHandled = true;
    handler(fatalErrorLogged.load());
  }
}

// Run by exit() after callExitHandler, so only on a thread that called exit() while another
// runs the handler (two threads can fail at once): it waits for the handler to end the process,
// rather than let this exit() end it first with the library's status.
void waitForExitHandler() {
  while (exitHandled) pause();
}

void discardLogMessage(void*, err_lvl_t level, const char*, ...) noexcept {
  if (level == ERR_FATAL) fatalErrorLogged = true;
}

// The library's log callback. Nothing may unwind through the library's frames: a line that
// cannot be kept (no memory for it) is dropped, and the failure is then described without it.
void keepLogMessage(void* userData, err_lvl_t level, const char* format, ...) noexcept {
  if (level == ERR_FATAL) fatalErrorLogged = true;
  if (level != ERR_ERROR && level != ERR_FATAL) return;
  va_list arguments;
  va_start(arguments, format);
  std::string message = libraryMessageText(format, arguments);
  va_end(arguments);
  try {
    if (!message.empty()) static_cast<LibraryLog*>(userData)->keep(std::move(message));
  } catch (...) {
  }
}

}  // namespace

void silenceLibraryLog() {
  err_set_callback(discardLogMessage, nullptr);
  // The configuration table that ps_init prints bypasses the callback; -logfn /dev/null in the
  // decoder's configuration covers it, and this covers what comes before it.
  err_set_logfp(nullptr);
  static std::once_flag quietened;
  std::call_once(quietened, [] {
    // The allocator prints its failure on stderr before it ends the process; so can the code
    // that bypasses the log. Neither jumps nor aborts: exit() it is (see onPocketSphinxExit).
    ckd_set_jump(nullptr, 0);
    if (FILE* nowhere = std::fopen("/dev/null", "w")) stderr = nowhere;
    // Registered as late as can be, so that they run first among the handlers of exit().
    std::atexit(waitForExitHandler);
    std::atexit(callExitHandler);
  });
}

std::string libraryMessageText(const char* format, va_list arguments) noexcept {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, arguments);
  try {
    // The library formats "LEVEL: \"file.c\", line N: text"; keep the text.
    std::string message = text;
    const std::size_t line = message.find("\", line ");
    if (line != std::string::npos) {
      const std::size_t colon = message.find(": ", line);
      if (colon != std::string::npos) message.erase(0, colon + 2);
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
      message.pop_back();
    }
    return message;
  } catch (...) {
    return {};
  }
}

void onPocketSphinxExit(void (*handler)(bool fatalErrorLogged) noexcept) { exitHandler = handler; }

LibraryLog::LibraryLog() { err_set_callback(keepLogMessage, this); }

LibraryLog::~LibraryLog() { err_set_callback(discardLogMessage, nullptr); }

std::string describePocketSphinxFailure(const std::string& whatFailed, int returnCode,
                                        const std::string& libraryMessage) {
  if (!libraryMessage.empty()) return whatFailed + ": " + libraryMessage;
  if (returnCode != 0)
    return whatFailed + " (PocketSphinx error " + std::to_string(returnCode) + ")";
  return whatFailed;
}

}  // namespace quillmor_speech
