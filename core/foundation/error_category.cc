#include "core/foundation/error_category.h"

#include <cstdint>
#include <string>

#include "core/foundation/log.h"
#include "platform/mach_error.h"
#include "platform/security_error.h"

namespace {

constexpr const char* kUnknownErrorCode = "unknown error code";

// The platform's text pointer is null for whole systems of codes; a std::string built from
// null is undefined, so those codes read as the platform's own words for an unknown code.
std::string TextOrUnknown(const char* text) { return text != nullptr ? text : kUnknownErrorCode; }

class da_category_impl final : public std::error_category {
 public:
  const char* name() const noexcept override { return "mcom::disk_arbitration"; }

  // A dissenter's status is either a BSD error encoded with unix_err(), which the platform
  // names ("(os/unix) mount device busy"), or a DiskArbitration status, which it leaves
  // without a text; those get the system's own words.
  std::string message(int code) const override {
    if (const char* text = platform::MachErrorString(code)) return text;
    return TextOrUnknown(platform::DiskArbitrationErrorString(code));
  }
};

class iokit_category_impl final : public std::error_category {
 public:
  const char* name() const noexcept override { return "mcom::iokit"; }
  std::string message(int code) const override {
    return TextOrUnknown(platform::MachErrorString(code));
  }
};

class error_category_impl final : public std::error_category {
 public:
  const char* name() const noexcept override { return "mach"; }
  std::string message(int code) const override {
    return TextOrUnknown(platform::MachErrorString(code));
  }
};

}  // namespace

namespace mcom {
namespace {

class security_category_impl final : public std::error_category {
 public:
  const char* name() const noexcept override { return "security"; }
  std::string message(int code) const override {
    return platform::SecurityErrorMessage(code).value_or(std::string());
  }
};

}  // namespace

namespace disk_arbitration {
const std::error_category& category() {
  static const da_category_impl instance;
  return instance;
}
}  // namespace disk_arbitration

namespace iokit {
const std::error_category& category() {
  static const iokit_category_impl instance;
  return instance;
}
}  // namespace iokit

const std::error_category& security_category() {
  static const security_category_impl instance;
  return instance;
}

void ThrowIfError(std::error_code error) {
  if (!error) return;
  if (log::IsEnabled(log::Level::kError)) {
    const int value = error.value();
    log::Error("error %d (0x%x): %s", value, static_cast<uint32_t>(value), error.message());
  }
  throw std::system_error(error);
}

}  // namespace mcom

namespace mach {
const std::error_category& error_category() {
  static const error_category_impl instance;
  return instance;
}
}  // namespace mach
