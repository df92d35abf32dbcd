#include "output/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "output/process.h"

namespace quillmor_speech {

std::mutex stdoutLock;
std::vector<std::string> args;

void exitNow(int status) { _exit(status); }

void writeAllOrExit(int fd, const void* bytes, std::size_t count) {
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
  writeAllOrExit(fd, line->data(), line->size());
}

void emitEvent(const Event& event) { emitEventTo(STDOUT_FILENO, event); }

void fail(const std::string& code, const std::string& message) {
  emitEvent(Event{{"code", code}, {"message", message}, {"type", std::string("error")}});
  exitNow(1);
}

std::string currentExceptionMessage() {
  return currentExceptionMessage({kOutOfMemoryMessage, kUnexpectedFailureMessage});
}

namespace {

// The out-of-memory error line written without allocating: when even the line cannot be built,
// its pieces go out one after the other under the lock. `code` is a plain ASCII identifier.
void writeOutOfMemoryLine(const char* code) noexcept {
  static constexpr char kHead[] = "{\"code\":\"";
  static constexpr char kTail[] =
      "\",\"message\":\""
      "申请不到内存"
      "\",\"type\":\"error\"}\n";
  std::lock_guard lock(stdoutLock);
  writeAllOrExit(STDOUT_FILENO, kHead, sizeof kHead - 1);
  writeAllOrExit(STDOUT_FILENO, code, std::strlen(code));
  writeAllOrExit(STDOUT_FILENO, kTail, sizeof kTail - 1);
}

}  // namespace

void failFromCurrentException(const char* code) noexcept {
  try {
    fail(code, currentExceptionMessage());
  } catch (...) {
    // Only an allocation can fail on the way to the line (writing ends the process itself).
    writeOutOfMemoryLine(code);
  }
  exitNow(1);
}

void failOutOfMemory(const char* code) noexcept {
  writeOutOfMemoryLine(code);
  exitNow(1);
}

}  // namespace quillmor_speech
