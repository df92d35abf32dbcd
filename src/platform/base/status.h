// The error value of every layer: success, or a failure with a code and a readable message.
//
// Every function that can fail and is not documented as "throws" returns a Status (or a
// StatusOr<T> when it also gives a value). The code says what kind of failure it is, for callers
// that act on the kind (decode's error line, out-of-memory handling); the message is complete as
// it stands ("cannot open the file: No such file or directory"): callers pass it on unchanged or
// put their own context in front with withContext, which keeps the code.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quillmor_speech {

// The kinds of failure. The numbers cross module boundaries (program_module.h): never renumber.
enum class StatusCode : int {
  ok = 0,
  failed = 1,       // any failure with no kind of its own
  noMemory = 2,     // memory, or another resource of the process, could not be had
  unreadable = 3,   // the input cannot be opened or read as what it should be
  unsupported = 4,  // the input is readable, but what it asks for is not supported
};

class [[nodiscard]] Status {
 public:
  // Success.
  Status() = default;
  static Status ok() { return Status(); }
  static Status error(std::string message) {
    return Status(StatusCode::failed, std::move(message));
  }
  static Status noMemory(std::string message) {
    return Status(StatusCode::noMemory, std::move(message));
  }
  static Status unreadable(std::string message) {
    return Status(StatusCode::unreadable, std::move(message));
  }
  static Status unsupported(std::string message) {
    return Status(StatusCode::unsupported, std::move(message));
  }
  // A failure of the given code; StatusCode::ok, or a number that is no code, gives a failure of
  // code failed (a failure never turns into success).
  static Status withCode(StatusCode code, std::string message) {
    switch (code) {
      case StatusCode::noMemory:
      case StatusCode::unreadable:
      case StatusCode::unsupported:
        return Status(code, std::move(message));
      case StatusCode::ok:
      case StatusCode::failed:
        break;
    }
    return error(std::move(message));
  }

  bool isOk() const { return !message_.has_value(); }
  explicit operator bool() const { return isOk(); }
  StatusCode code() const { return code_; }

  // The failure's message; empty for success.
  const std::string& description() const {
    static const std::string kNone;
    return message_ ? *message_ : kNone;
  }

  // "<context>: <message>" for a failure, of the same code; success stays success.
  Status withContext(const std::string& context) const {
    return isOk() ? *this : Status(code_, context + ": " + *message_);
  }

  friend bool operator==(const Status&, const Status&) = default;

 private:
  Status(StatusCode code, std::string message) : code_(code), message_(std::move(message)) {}
  StatusCode code_ = StatusCode::ok;
  std::optional<std::string> message_;
};

// A value, or the Status of the failure that prevented it. Never holds a successful Status.
template <typename T>
class [[nodiscard]] StatusOr {
 public:
  StatusOr(T value) : state_(std::move(value)) {}           // NOLINT: implicit by design
  StatusOr(Status failure) : state_(std::move(failure)) {}  // NOLINT: implicit by design

  bool isOk() const { return std::holds_alternative<T>(state_); }
  explicit operator bool() const { return isOk(); }

  // The failure, or success when there is a value.
  Status status() const { return isOk() ? Status::ok() : std::get<Status>(state_); }

  // The value; only when isOk().
  T& value() & { return std::get<T>(state_); }
  const T& value() const& { return std::get<T>(state_); }
  T&& value() && { return std::get<T>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, Status> state_;
};

}  // namespace quillmor_speech
