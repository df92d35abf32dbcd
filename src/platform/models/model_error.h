// The failure of a model-store operation documented as "throws": a readable description.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/base/status.h"

namespace quillmor_speech {

class ModelError : public std::runtime_error {
 public:
  explicit ModelError(const std::string& description) : std::runtime_error(description) {}
  explicit ModelError(const Status& failure) : std::runtime_error(failure.description()) {}
};

}  // namespace quillmor_speech
