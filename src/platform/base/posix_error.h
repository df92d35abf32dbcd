// The one place where errno values become readable Status messages.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/base/status.h"

namespace quillmor_speech {

// "context: No such file or directory" for the errno value `error`; of code noMemory for ENOMEM.
inline Status posixError(const std::string& context, int error) {
  return Status::withCode(error == ENOMEM ? StatusCode::noMemory : StatusCode::failed,
                          context + ": " + std::strerror(error));
}

}  // namespace quillmor_speech
