// The event-line encoder on arbitrary texts: every output is one valid JSON line whose message
// reads back as the input, or nothing at all.
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "output/event.h"

using namespace quillmor_speech;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> line = encodeEventLine(
      {{"type", std::string("error")}, {"code", std::string("x")}, {"message", text}});
  if (!line) {
    // Only text that is not valid UTF-8 may be refused.
    try {
      (void)nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
      std::abort();
    } catch (const nlohmann::json::type_error&) {
    }
    return 0;
  }
  if (line->empty() || line->back() != '\n') std::abort();
  if (line->find('\n') != line->size() - 1) std::abort();  // exactly one line break, at the end
  if (line->find('\r') != std::string::npos) std::abort();
  nlohmann::json event = nlohmann::json::parse(line->substr(0, line->size() - 1));
  if (event.size() != 3 || event["message"].get<std::string>() != text) std::abort();
  // A raw slash never appears; only its escaped form does.
  for (std::size_t i = 0; i < line->size(); ++i) {
    if ((*line)[i] == '/' && (i == 0 || (*line)[i - 1] != '\\')) std::abort();
  }
  return 0;
}
