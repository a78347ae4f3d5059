// The outcome of an operation that can fail: a value, or an Error that says
// why in words a person can act on, with the errno when a system call was
// the reason, or the code of the error domain that defines it. Every
// fallible call of the program returns one; nothing is thrown.
#pragma once

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace helper {

struct Error {
  explicit Error(std::string text, int errorCode = 0, std::string errorDomain = {})
      : message(std::move(text)), code(errorCode), domain(std::move(errorDomain)) {}

  std::string message;
  // With no domain, the errno value when a system call failed (0 when none
  // did); otherwise the domain's own code.
  int code = 0;
  std::string domain;

  // "what: strerror(code)" for the errno left by a failed call.
  static Error fromErrno(const std::string& what, int error = errno) {
    return Error{what + ": " + std::strerror(error), error};
  }
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}  // NOLINT(google-explicit-constructor): returned as is
  Result(Error error) : state_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

// For operations with nothing to return.
struct Done {};
using Status = Result<Done>;
inline Status success() { return Done{}; }

}  // namespace helper
