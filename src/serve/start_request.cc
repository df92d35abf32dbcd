#include "serve/start_request.h"

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>

namespace quillmor_speech {

namespace {

// Checks the request as the parser reads it. Returning false from any callback stops parsing
// and fails the decoding.
class StartRequestReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  StartRequest request;
  bool sawLocale = false;

  bool null() override { return scalar(Kind::null); }
  bool boolean(bool value) override {
    if (!atField()) return true;
    if (key_ == "install") {
      request.install = value;
      return true;
    }
    return key_ != "locale" && key_ != "sampleRate";
  }
  bool number_integer(number_integer_t value) override {
    return number(static_cast<double>(value));
  }
  bool number_unsigned(number_unsigned_t value) override {
    return number(static_cast<double>(value));
  }
  bool number_float(number_float_t value, const string_t&) override { return number(value); }
  bool string(string_t& value) override {
    if (!atField()) return true;
    if (key_ == "locale") {
      request.locale = value;
      sawLocale = true;
      return true;
    }
    return key_ != "sampleRate" && key_ != "install";
  }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override {
    if (depth_ == 0) {
      depth_ = 1;
      return true;
    }
    return enterNested();
  }
  bool key(string_t& value) override {
    if (depth_ == 1) key_ = value;
    return true;
  }
  bool end_object() override { return leave(); }
  bool start_array(std::size_t) override {
    if (depth_ == 0) return false;  // the top level must be an object
    return enterNested();
  }
  bool end_array() override { return leave(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  enum class Kind { null };

  // A value directly inside the top-level object (as opposed to the top level itself or deeper).
  bool atField() const { return depth_ == 1; }

  bool scalar(Kind) {
    if (depth_ == 0) return false;  // a bare scalar is not a request
    if (!atField()) return true;
    // null means absent for the optional fields and missing for the locale.
    if (key_ == "sampleRate") request.sampleRate.reset();
    if (key_ == "install") request.install.reset();
    if (key_ == "locale") {
      request.locale.clear();
      sawLocale = false;
    }
    return true;
  }

  bool number(double value) {
    if (depth_ == 0) return false;
    if (!atField()) return true;
    if (key_ == "sampleRate") {
      request.sampleRate = value;
      return true;
    }
    return key_ != "locale" && key_ != "install";
  }

  // Only the top-level object and its scalar fields are read; anything nested belongs to an
  // ignored key and is only counted, to whatever depth. The parser keeps one bit per open level,
  // so memory stays bounded by the payload.
  bool enterNested() {
    if (depth_ == 1 && (key_ == "locale" || key_ == "sampleRate" || key_ == "install")) {
      return false;  // a known field holding an object or array has the wrong type
    }
    ++depth_;
    return true;
  }

  bool leave() {
    --depth_;
    return true;
  }

  std::uint64_t depth_ = 0;
  std::string key_;
};

}  // namespace

std::optional<StartRequest> decodeStartRequest(const Bytes& payload) {
  // The parser takes a NUL byte for the end of the text and would ignore whatever follows it.
  // JSON text never holds a raw NUL (not between values, not inside a string), so a payload with
  // one is not a request.
  if (std::find(payload.begin(), payload.end(), std::uint8_t{0}) != payload.end()) {
    return std::nullopt;
  }
  StartRequestReader reader;
  bool ok = nlohmann::json::sax_parse(payload.begin(), payload.end(), &reader,
                                      nlohmann::json::input_format_t::json, /*strict=*/true);
  if (!ok || !reader.sawLocale) return std::nullopt;
  return reader.request;
}

}  // namespace quillmor_speech
