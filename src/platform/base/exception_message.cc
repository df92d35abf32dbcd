#include "platform/base/exception_message.h"

#include <exception>
#include <new>

namespace quillmor_speech {

std::string currentExceptionMessage(const ExceptionTexts& texts) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return std::string(texts.outOfMemory);
  } catch (const std::exception& error) {
    std::string_view what = error.what();
    if (!what.empty()) return std::string(texts.prefix).append(what);
  } catch (...) {
  }
  return std::string(texts.unknown);
}

Status currentExceptionStatus(const ExceptionTexts& texts) {
  bool outOfMemory = false;
  try {
    throw;
  } catch (const std::bad_alloc&) {
    outOfMemory = true;
  } catch (...) {
  }
  std::string message = currentExceptionMessage(texts);
  return outOfMemory ? Status::noMemory(std::move(message)) : Status::error(std::move(message));
}

}  // namespace quillmor_speech
