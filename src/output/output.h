// Writing to standard output.
//
// The process never dies by SIGPIPE (main ignores it). When standard output cannot be written
// (the host closed the pipe, the disk is full, any other write error), there is nowhere left to
// report anything: the process ends at once with status 1 and writes nothing more.
#pragma once

#include <cstddef>
#include <string>

#include "output/event.h"
#include "platform/base/exception_message.h"

namespace quillmor_speech {

// Writes all bytes to the file descriptor, looping over short writes and EINTR. Ends the process
// with status 1 when the descriptor cannot take them.
void writeAllOrExit(int fd, const void* bytes, std::size_t count);

// Writes one event as one line on standard output: serialised first, then written whole under
// stdoutLock. An event that cannot be serialised writes nothing. Thread-safe.
void emitEvent(const Event& event);

// emitEvent to the file descriptor `fd` instead of standard output (still under stdoutLock).
void emitEventTo(int fd, const Event& event);

// Writes the error event {"code","message","type":"error"} like emitEvent, then ends the process
// with status 1 at once, without waiting for any other thread.
[[noreturn]] void fail(const std::string& code, const std::string& message);

// Ends the process with the status at once: nothing is flushed, no thread is joined.
[[noreturn]] void exitNow(int status);

// The message for a failure that reached a catch-all: kOutOfMemoryMessage for std::bad_alloc;
// what() of any other standard exception (the engine's SpeechError among them, so its
// description is quoted exactly; the line writer replaces bytes that are not UTF-8) when it is
// non-empty; kUnexpectedFailureMessage for anything else. Call only while an exception is being
// handled (inside a catch block). May throw std::bad_alloc.
std::string currentExceptionMessage();

// fail(code, currentExceptionMessage()): the error line for the exception being handled, then
// status 1. Call only inside a catch block. When not even that line can be made, the process
// ends with status 1 and no line.
[[noreturn]] void failFromCurrentException(const char* code) noexcept;

// The error line of `code` with kOutOfMemoryMessage, written without allocating, then status 1.
// `code` is a plain ASCII identifier.
[[noreturn]] void failOutOfMemory(const char* code) noexcept;

}  // namespace quillmor_speech
