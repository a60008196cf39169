#pragma once

#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

namespace mcom {

// A value or the std::error_code that explains why there is none. The return type of the
// thin platform wrappers (files, pipes, processes), which never log and never throw.
//
// value() on a Result that holds an error throws std::system_error with that code, so
// callers that cannot go on may simply take the value.
template <typename T>
class Result {
 public:
  static_assert(!std::is_same_v<T, std::error_code>, "a Result of an error code is ambiguous");

  Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
  Result(std::error_code error) : storage_(std::in_place_index<1>, error) {}

  bool has_value() const { return storage_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & {
    ThrowIfError();
    return std::get<0>(storage_);
  }
  const T& value() const& {
    ThrowIfError();
    return std::get<0>(storage_);
  }
  T&& value() && {
    ThrowIfError();
    return std::get<0>(std::move(storage_));
  }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // The error; a default (success) code when a value is held.
  std::error_code error() const { return has_value() ? std::error_code() : std::get<1>(storage_); }

 private:
  void ThrowIfError() const {
    if (!has_value()) throw std::system_error(std::get<1>(storage_));
  }

  std::variant<T, std::error_code> storage_;
};

}  // namespace mcom
