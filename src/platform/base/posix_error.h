// The one place where errno values become readable Status descriptions.
#pragma once

#include <cstring>
#include <string>

#include "platform/base/status.h"

namespace quillmor_speech {

// "context: No such file or directory" for the errno value `error`.
inline Status posixError(const std::string& context, int error) {
  return Status::error(context + ": " + std::strerror(error));
}

}  // namespace quillmor_speech
