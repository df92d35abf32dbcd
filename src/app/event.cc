#include "app/event.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace quillmor_speech {

namespace {

// nlohmann::json keeps object keys in a std::map, so dump() writes them in byte order.
bool toJson(const EventValue& value, nlohmann::json& out) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    out = *text;
  } else if (const auto* flag = std::get_if<bool>(&value)) {
    out = *flag;
  } else if (const auto* number = std::get_if<double>(&value)) {
    // JSON has no form for NaN or infinity; such an event cannot be serialised.
    if (!std::isfinite(*number)) return false;
    out = *number;
  } else {
    out = nlohmann::json::object();
    for (const auto& [key, text] : std::get<std::map<std::string, std::string>>(value)) {
      out[key] = text;
    }
  }
  return true;
}

}  // namespace

std::optional<std::string> encodeEventLine(const Event& event) {
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [key, value] : event) {
    if (!toJson(value, object[key])) return std::nullopt;
  }
  std::string text;
  try {
    text = object.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;  // invalid UTF-8 in a key or a text
  }
  // A 0x2F byte only ever stands for "/" inside a string (never part of a multi-byte UTF-8
  // sequence, never in a key, number or literal), so escaping every one is exact.
  std::string line;
  line.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '/') line += '\\';
    line += c;
  }
  line += '\n';
  return line;
}

}  // namespace quillmor_speech
