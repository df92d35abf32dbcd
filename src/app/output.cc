#include "app/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <new>

#include "app/process.h"

namespace quillmor_speech {

std::mutex stdoutLock;
std::vector<std::string> args;

void exitNow(int status) { _exit(status); }

void writeAll(int fd, const void* bytes, std::size_t count) {
  const char* p = static_cast<const char*>(bytes);
  while (count > 0) {
    ssize_t n = ::write(fd, p, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      exitNow(1);  // EPIPE, ENOSPC, EIO...: the host can no longer read us
    }
    p += n;
    count -= static_cast<std::size_t>(n);
  }
}

void emitEventTo(int fd, const Event& event) {
  std::optional<std::string> line = encodeEventLine(event);
  if (!line) return;
  std::lock_guard lock(stdoutLock);
  writeAll(fd, line->data(), line->size());
}

void emitEvent(const Event& event) { emitEventTo(STDOUT_FILENO, event); }

void fail(const std::string& code, const std::string& message) {
  emitEvent(Event{{"code", code}, {"message", message}, {"type", std::string("error")}});
  exitNow(1);
}

std::string currentExceptionMessage() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return kOutOfMemoryMessage;
  } catch (const std::exception& error) {
    std::string text = error.what();
    // A text that could not be written would leave the line empty.
    if (!text.empty() && encodeEventLine(Event{{"type", text}})) return text;
  } catch (...) {
  }
  return kUnexpectedFailureMessage;
}

void failFromCurrentException(const char* code) noexcept {
  try {
    fail(code, currentExceptionMessage());
  } catch (...) {
  }
  exitNow(1);
}

}  // namespace quillmor_speech
