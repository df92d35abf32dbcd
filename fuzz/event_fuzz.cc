// The event-line encoder on arbitrary texts: every output is one valid JSON line whose message
// reads back as the input, with U+FFFD in place of the bytes that are not UTF-8.
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "output/event.h"

using namespace quillmor_speech;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> line = encodeEventLine(
      {{"type", std::string("error")}, {"code", std::string("x")}, {"message", text}});
  if (!line) std::abort();  // a text never costs its line
  bool valid = true;
  try {
    (void)nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::type_error&) {
    valid = false;
  }
  if (line->empty() || line->back() != '\n') std::abort();
  if (line->find('\n') != line->size() - 1) std::abort();  // exactly one line break, at the end
  if (line->find('\r') != std::string::npos) std::abort();
  nlohmann::json event = nlohmann::json::parse(line->substr(0, line->size() - 1));
  if (event.size() != 3) std::abort();
  // Valid text reads back as it was; in other text each bad byte becomes U+FFFD (3 bytes).
  const std::string message = event["message"].get<std::string>();
  if (valid ? message != text
            : message.find("\xEF\xBF\xBD") == std::string::npos || message.size() <= text.size()) {
    std::abort();
  }
  // A raw slash never appears; only its escaped form does.
  for (std::size_t i = 0; i < line->size(); ++i) {
    if ((*line)[i] == '/' && (i == 0 || (*line)[i - 1] != '\\')) std::abort();
  }
  return 0;
}
