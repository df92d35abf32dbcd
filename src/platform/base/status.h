// The error value of the platform layers: success, or a failure with a readable description.
//
// Every platform function that can fail and is not documented as "throws" returns a Status (or
// a StatusOr<T> when it also gives a value). The description is complete as it stands ("cannot
// open the file: No such file or directory"): callers pass it on unchanged or put their own
// context in front with withContext.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quillmor_speech {

class [[nodiscard]] Status {
 public:
  // Success.
  Status() = default;
  static Status ok() { return Status(); }
  static Status error(std::string description) { return Status(std::move(description)); }

  bool isOk() const { return !description_.has_value(); }
  explicit operator bool() const { return isOk(); }

  // The failure's description; empty for success.
  const std::string& description() const {
    static const std::string kNone;
    return description_ ? *description_ : kNone;
  }

  // "<context>: <description>" for a failure; success stays success.
  Status withContext(const std::string& context) const {
    return isOk() ? *this : error(context + ": " + *description_);
  }

  friend bool operator==(const Status&, const Status&) = default;

 private:
  explicit Status(std::string description) : description_(std::move(description)) {}
  std::optional<std::string> description_;
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
