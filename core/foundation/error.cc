#include "core/foundation/error.h"

#include <utility>

Error::Error(std::string operation, std::string message)
    : operation_(std::move(operation)), message_(std::move(message)) {}

Error::Error(std::string operation, std::string message, const Error& cause)
    : operation_(std::move(operation)),
      message_(std::move(message)),
      cause_(std::make_shared<const Error>(cause)) {}

std::string Error::FullDescription() const {
  std::string description = operation_ + ": " + message_;
  for (const Error* cause = cause_.get(); cause != nullptr; cause = cause->cause_.get()) {
    description += ": " + cause->operation_ + ": " + cause->message_;
  }
  return description;
}

bool operator==(const Error& left, const Error& right) {
  if (left.operation_ != right.operation_ || left.message_ != right.message_) return false;
  if (!left.cause_ || !right.cause_) return !left.cause_ && !right.cause_;
  return *left.cause_ == *right.cause_;
}
