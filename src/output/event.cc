#include "output/event.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace quillmor_speech {

namespace {

// The length of the well-formed UTF-8 sequence at `at` (1 to 4), or 0 when the byte there does
// not start one: a continuation byte, C0, C1, F5 to FF, or a lead byte whose sequence is cut
// short, overlong, a surrogate or beyond U+10FFFF.
std::size_t sequenceLength(const std::string& text, std::size_t at) {
  auto byte = [&](std::size_t i) -> unsigned {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0x100;  // past the end
  };
  const unsigned lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned low = 0x80;  // the range of the second byte; later ones are 80 to BF
  unsigned high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong below
    if (lead == 0xED) high = 0x9F;  // surrogates above
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong below
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF above
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned next = byte(at + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// The text with each byte that is not part of a well-formed UTF-8 sequence replaced by U+FFFD.
std::string wellFormedUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = sequenceLength(text, at);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++at;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out;
}

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

// `"key":` for a key.
bool appendKey(const std::string& key, std::string& out) {
  std::optional<std::string> text = scalarText(nlohmann::json(wellFormedUtf8(key)));
  if (!text) return false;
  out += *text;
  out += ':';
  return true;
}

bool appendValue(const EventValue& value, std::string& out) {
  std::optional<std::string> text;
  if (const auto* string = std::get_if<std::string>(&value)) {
    text = scalarText(nlohmann::json(wellFormedUtf8(*string)));
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
