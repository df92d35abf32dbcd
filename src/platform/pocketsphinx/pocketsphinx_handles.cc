#include "platform/pocketsphinx/pocketsphinx_handles.h"

#include <sphinxbase/err.h>

#include <cstdarg>
#include <cstdio>

namespace quillmor_speech {

namespace {

void discardLogMessage(void*, err_lvl_t, const char*, ...) noexcept {}

// The library formats "LEVEL: \"file.c\", line N: text"; keep the text.
std::string withoutSourcePrefix(std::string message) {
  const std::size_t line = message.find("\", line ");
  if (line != std::string::npos) {
    const std::size_t colon = message.find(": ", line);
    if (colon != std::string::npos) message.erase(0, colon + 2);
  }
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return message;
}

// The library's log callback. Nothing may unwind through the library's frames: a line that
// cannot be kept (no memory for it) is dropped, and the failure is then described without it.
void keepLogMessage(void* userData, err_lvl_t level, const char* format, ...) noexcept {
  if (level != ERR_ERROR && level != ERR_FATAL) return;
  char text[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  try {
    std::string message = withoutSourcePrefix(text);
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
}

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
