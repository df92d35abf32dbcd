// The one place where a caught exception becomes a message. Every catch-all of the program
// (the commands' fatal lines, the recognizer's worker, a module's entry) reads the exception
// being handled through currentExceptionMessage, each with the texts of its own audience.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/status.h"

namespace quillmor_speech {

// The program's own texts for the two failures that carry no message of their own.
inline constexpr const char* kOutOfMemoryMessage = "申请不到内存";
inline constexpr const char* kUnexpectedFailureMessage = "发生了意外错误";

struct ExceptionTexts {
  std::string_view outOfMemory;  // for std::bad_alloc
  std::string_view unknown;      // for a non-standard exception, or an empty what()
  std::string_view prefix = {};  // put before what() of any other standard exception
};

// The message of the exception being handled: texts.outOfMemory for std::bad_alloc;
// texts.prefix + what() for any other standard exception (SpeechError among them) whose what()
// is not empty; texts.unknown for anything else. Call only inside a catch block. May throw
// std::bad_alloc.
std::string currentExceptionMessage(const ExceptionTexts& texts);

// The exception being handled as a failure: code noMemory for std::bad_alloc, failed for
// anything else, with currentExceptionMessage(texts). Call only inside a catch block. May
// throw std::bad_alloc.
Status currentExceptionStatus(const ExceptionTexts& texts);

}  // namespace quillmor_speech
