// Errors as values: every operation returns its result or an Error, and only the
// calling frame turns an Error into a Python exception.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "common/buffer.hpp"

namespace quor {

// The operations fail only with ValueError, so an error is its message. Type and overflow
// errors come from argument conversion, memory exhaustion from std::bad_alloc; the frame
// raises those itself.
struct Error {
  std::string message;

  static Error value(std::string message) { return {std::move(message)}; }
};

// A result that the frame returns to Python as `bytes` rather than `str`.
struct Bytes {
  Buffer data;
};

// One vocabulary for every layer: the JSON layer fails with its own error type (message and
// position), every operation with an Error.
template <class T, class E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  T& operator*() { return std::get<0>(v_); }
  E& error() { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace quor
