#pragma once

#include <exception>
#include <utility>

namespace mcom {

// Runs a function when the scope is left, on every path. Dismiss() cancels it.
//
//   mcom::ScopeExit close_pipe([&] { pipe.write.Close(); });
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F function) : function_(std::move(function)) {}
  ~ScopeExit() {
    if (active_) function_();
  }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

  void Dismiss() { active_ = false; }

 private:
  F function_;
  bool active_ = true;
};

// Runs a function only when the scope is left by an exception: the clean-up of a half-done
// step (a partial image file removed, a half-made folder deleted). Compares the count of
// uncaught exceptions at construction and destruction, so it works inside catch blocks and
// destructors too.
template <typename F>
class ScopeFail {
 public:
  explicit ScopeFail(F function)
      : function_(std::move(function)), exceptions_(std::uncaught_exceptions()) {}
  ~ScopeFail() {
    if (std::uncaught_exceptions() > exceptions_) function_();
  }
  ScopeFail(const ScopeFail&) = delete;
  ScopeFail& operator=(const ScopeFail&) = delete;

 private:
  F function_;
  int exceptions_;
};

}  // namespace mcom
