// Events and their line encoding.
//
// An event is a map from keys to values, always with "type". On the wire it is one compact JSON
// object with keys in byte order at every level, non-ASCII text as raw UTF-8, "/" written as
// "\/", control characters escaped, followed by one 0x0A byte.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <variant>

namespace quillmor_speech {

using EventValue = std::variant<std::string, bool, double, std::map<std::string, std::string>>;
using Event = std::map<std::string, EventValue>;

// The bytes of one event line, newline included; nothing when the event cannot be serialised (a
// number that is not finite). A key or text that is not valid UTF-8 is written with each byte
// that is not part of a well-formed sequence replaced by U+FFFD, so no line is lost for its
// text. Pure.
std::optional<std::string> encodeEventLine(const Event& event);

}  // namespace quillmor_speech
