#include "output/event.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace quillmor_speech {

namespace {

// One JSON scalar as text; nothing for text that is not valid UTF-8. Each value is serialised on
// its own, never as a tree of nlohmann objects: destroying an object or array allocates, and an
// allocation failure in a destructor would end the process.
std::optional<std::string> scalarText(const nlohmann::json& scalar) {
  try {
    return scalar.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;  // invalid UTF-8
  }
}

// `"key":` for a key; nothing for a key that is not valid UTF-8.
bool appendKey(const std::string& key, std::string& out) {
  std::optional<std::string> text = scalarText(nlohmann::json(key));
  if (!text) return false;
  out += *text;
  out += ':';
  return true;
}

bool appendValue(const EventValue& value, std::string& out) {
  std::optional<std::string> text;
  if (const auto* string = std::get_if<std::string>(&value)) {
    text = scalarText(nlohmann::json(*string));
  } else if (const auto* flag = std::get_if<bool>(&value)) {
    text = *flag ? "true" : "false";
  } else if (const auto* number = std::get_if<double>(&value)) {
    // JSON has no form for NaN or infinity; such an event cannot be serialised.
    if (!std::isfinite(*number)) return false;
    text = scalarText(nlohmann::json(*number));
  } else {
    // std::map keeps keys in byte order, as the line needs at every level.
    out += '{';
    bool first = true;
    for (const auto& [key, member] : std::get<std::map<std::string, std::string>>(value)) {
      if (!first) out += ',';
      first = false;
      if (!appendKey(key, out) || !appendValue(member, out)) return false;
    }
    out += '}';
    return true;
  }
  if (!text) return false;
  out += *text;
  return true;
}

}  // namespace

std::optional<std::string> encodeEventLine(const Event& event) {
  std::string text = "{";
  bool first = true;
  for (const auto& [key, value] : event) {
    if (!first) text += ',';
    first = false;
    if (!appendKey(key, text) || !appendValue(value, text)) return std::nullopt;
  }
  text += '}';
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
