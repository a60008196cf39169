#ifndef __linux__
#error "This file implements Mac-named extended attributes for Linux only."
#endif

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/extended_attributes.h"

namespace platform {
namespace {

constexpr std::string_view kUserPrefix = "user.";

std::error_code LastError() { return std::error_code(errno, std::generic_category()); }

// The host's raw attribute list of `path` ("user.a\0trusted.b\0"). Asks for the size first
// and asks again when the list grew between the two calls.
std::error_code HostAttributeList(const char* path, std::string* names) {
  for (;;) {
    const ssize_t size = ::llistxattr(path, nullptr, 0);
    if (size < 0) return LastError();
    // One spare byte so that a list that grew by less than a name still fits or reports
    // ERANGE; a zero-size buffer would turn the read into another size query.
    names->resize(static_cast<size_t>(size) + 1);
    const ssize_t length = ::llistxattr(path, names->data(), names->size());
    if (length < 0) {
      if (errno == ERANGE) continue;
      return LastError();
    }
    names->resize(static_cast<size_t>(length));
    return {};
  }
}

constexpr std::string_view kPrivacyFolder = "/Library/Application Support/com.apple.TCC";
constexpr std::string_view kFullDiskAccessFact = "/private/var/db/macsim/facts/full-disk-access";

// Whether the simulated machine that `path` belongs to refuses this process Full Disk Access
// for this read (see GetAttribute in the header).
bool SimulatedMachineRefusesAccess(const char* path, std::string_view mac_name) {
  if (mac_name != "com.apple.rootless" || path == nullptr) return false;
  std::string_view folder(path);
  while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
  if (!folder.ends_with(kPrivacyFolder)) return false;
  const std::string fact = std::string(folder.substr(0, folder.size() - kPrivacyFolder.size())) +
                           std::string(kFullDiskAccessFact);
  const int fd = ::open(fact.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  char value[4] = {};
  const ssize_t length = ::read(fd, value, sizeof(value));
  ::close(fd);
  return length >= 2 && value[0] == 'n' && value[1] == 'o';
}

}  // namespace

std::string HostAttributeName(const char* mac_name) {
  return std::string(kUserPrefix) + (mac_name != nullptr ? mac_name : "");
}

std::string MacAttributeName(const char* host_name) {
  if (host_name == nullptr) return {};
  const std::string_view name(host_name);
  if (!name.starts_with(kUserPrefix) || name.size() == kUserPrefix.size()) return {};
  return std::string(name.substr(kUserPrefix.size()));
}

std::error_code GetAttribute(const char* path, const char* mac_name, void* buffer, size_t size,
                             size_t* length) {
  if (mac_name == nullptr || mac_name[0] == '\0') {
    return std::make_error_code(std::errc::invalid_argument);
  }
  if (SimulatedMachineRefusesAccess(path, mac_name)) {
    return std::make_error_code(std::errc::operation_not_permitted);
  }
  const std::string host_name = HostAttributeName(mac_name);
  const ssize_t result = ::lgetxattr(path, host_name.c_str(), buffer, buffer == nullptr ? 0 : size);
  if (result < 0) return LastError();
  *length = static_cast<size_t>(result);
  return {};
}

std::error_code ListAttributes(const char* path, char* buffer, size_t size, size_t* length) {
  std::string host_names;
  if (std::error_code error = HostAttributeList(path, &host_names)) return error;

  // Keep the attributes that have a Mac name, in the host's order.
  std::string mac_names;
  for (size_t start = 0; start < host_names.size();) {
    const size_t end = host_names.find('\0', start);
    const std::string name =
        host_names.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const std::string mac_name = MacAttributeName(name.c_str());
    if (!mac_name.empty()) {
      mac_names += mac_name;
      mac_names += '\0';
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }

  if (buffer != nullptr) {
    if (size < mac_names.size()) return std::make_error_code(std::errc::result_out_of_range);
    std::copy(mac_names.begin(), mac_names.end(), buffer);
  }
  *length = mac_names.size();
  return {};
}

std::error_code SetAttribute(const char* path, const char* mac_name, const void* value,
                             size_t size) {
  if (mac_name == nullptr || mac_name[0] == '\0') {
    return std::make_error_code(std::errc::invalid_argument);
  }
  const std::string host_name = HostAttributeName(mac_name);
  if (::lsetxattr(path, host_name.c_str(), value, size, 0) != 0) return LastError();
  return {};
}

}  // namespace platform
