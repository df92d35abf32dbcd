// The start request: the JSON payload of serve's first frame.
#pragma once

#include <optional>
#include <string>

#include "serve/frames.h"

namespace quillmor_speech {

struct StartRequest {
  std::string locale;                // required JSON string, used exactly as received
  std::optional<double> sampleRate;  // JSON number (any form); absent or null: 16000 Hz is used
  std::optional<bool> install;       // JSON boolean; absent or null: installation allowed
};

// Decodes the payload, all or nothing: the whole payload must be one JSON object with nothing but
// JSON white space around it (a NUL or any other byte after it fails); keys are
// matched exactly ("Locale" is not "locale") and unknown keys are ignored whatever their value;
// null counts as absent; a value of the wrong type, a missing locale or text that is not JSON
// fails. Values under ignored keys are checked to be JSON and skipped, however deep they nest.
// The payload is validated while it is parsed, without recursion, and never copied into a
// document: memory beyond the payload is one bit per nesting level.
std::optional<StartRequest> decodeStartRequest(const Bytes& payload);

}  // namespace quillmor_speech
