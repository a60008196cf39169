#pragma once

#include <memory>
#include <string>

// The failure value of the backup engine and of every reply that crosses to or from the
// helper. It names the step that failed ("AttachImage"), carries a human-readable message
// (often with the text a tool printed) and may hold the Error that caused it.
//
// Error is a plain value: copyable, movable and thrown by value. The engine's entry points
// catch it by reference and turn it into a std::optional<Error> result or reply; it is not a
// std::exception on purpose, so a handler that catches the standard family never swallows it.
class Error {
 public:
  Error(std::string operation, std::string message);
  // The cause is copied into shared storage, so it stays reachable after `cause` itself is
  // destroyed, and copies of this Error share it.
  Error(std::string operation, std::string message, const Error& cause);

  const std::string& operation() const { return operation_; }
  const std::string& message() const { return message_; }
  // Null when this Error has no cause.
  const std::shared_ptr<const Error>& cause() const { return cause_; }

  // "operation: message", followed by ": " and the description of the cause, recursively:
  // "PerformBackup: failed: CreateSparseImage: failed to run /usr/bin/hdiutil: ...".
  std::string FullDescription() const;

  // Equal when operation, message and the whole cause chain are equal.
  friend bool operator==(const Error& left, const Error& right);

 private:
  std::string operation_;
  std::string message_;
  std::shared_ptr<const Error> cause_;
};
