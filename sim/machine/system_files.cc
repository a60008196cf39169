#include "sim/machine/system_files.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/file.h"
#include "core/foundation/file_tree.h"
#include "core/foundation/property_list.h"
#include "core/foundation/scope_guard.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/recovery_image.h"

namespace sim {
namespace {

namespace cf = mcom::cf;

// 2020-09-24 12:00:00 UTC, around when 10.15.7 came out.
constexpr timespec kSystemFileTime = {1600948800, 0};

void SetFixedTime(const mcom::FilePath& path) {
  const timespec times[2] = {kSystemFileTime, kSystemFileTime};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Makes the folders of `relative` below `base`, giving each new one the fixed time.
mcom::FilePath MakeFolders(const mcom::FilePath& base, const std::string& relative) {
  mcom::FilePath path = base;
  size_t start = 0;
  while (start < relative.size()) {
    const size_t end = relative.find('/', start);
    path = path.Join(relative.substr(start, end == std::string::npos ? end : end - start));
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
      throw MachineError("cannot make " + path.string() + ": " + std::strerror(errno));
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return path;
}

void WriteBytes(const mcom::FilePath& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw MachineError("cannot write " + path.string() + ": " + std::strerror(errno));
  mcom::File file(fd);
  std::error_code error = file.WriteAll(bytes.data(), bytes.size());
  if (std::error_code closed = file.Close(); !error) error = closed;
  if (error) throw MachineError("cannot write " + path.string() + ": " + error.message());
  SetFixedTime(path);
}

void WritePlist(const mcom::FilePath& path, const cf::Ref<cf::Object>& plist) {
  const cf::Ref<cf::Data> data = cf::PropertyListToData(plist, cf::PropertyListFormat::kXML);
  if (!data) throw MachineError("cannot encode " + path.string());
  WriteBytes(path, data->AsStringView());
}

cf::Ref<cf::Object> Strings(const std::vector<std::pair<std::string, std::string>>& entries) {
  cf::Ref<cf::MutableDictionary> dictionary = cf::MutableDictionary::Create();
  for (const auto& [key, value] : entries) dictionary->SetValue(key, cf::String::Create(value));
  return dictionary;
}

// Bytes that look like a firmware or kernel file: a recognisable start, then a fixed
// pattern, so that copies can be checked for exactness.
std::string FirmwareBytes(const char* start, size_t length) {
  std::string bytes(start);
  uint32_t value = 0x2545F491;
  while (bytes.size() < length) {
    value = value * 1664525 + 1013904223;
    bytes.push_back(static_cast<char>(value >> 24));
  }
  return bytes;
}

}  // namespace

void WriteSystemVersion(const mcom::FilePath& volume, const Facts& facts) {
  const mcom::FilePath folder = MakeFolders(volume, "System/Library/CoreServices");
  WritePlist(folder.Join("SystemVersion.plist"),
             Strings({{"ProductBuildVersion", facts.build_version},
                      {"ProductCopyright", "1983-2020 Apple Inc."},
                      {"ProductName", facts.product_name},
                      {"ProductUserVisibleVersion", facts.product_version},
                      {"ProductVersion", facts.product_version}}));
}

void WriteBaseSystemTree(const mcom::FilePath& folder, const Facts& facts) {
  WriteSystemVersion(folder, facts);
  const mcom::FilePath resources =
      MakeFolders(folder, "System/Installation/CDIS/macOS Utilities.app/Contents/Resources");
  const auto button = [](const std::string& app, const std::string& title,
                         const std::string& description) {
    return Strings({{"BundlePath", app},
                    {"DescriptionKey", description},
                    {"Path", app + "/Contents/MacOS/" + title},
                    {"TitleKey", title}});
  };
  cf::Ref<cf::MutableDictionary> utilities = cf::MutableDictionary::Create();
  utilities->SetValue("Buttons",
                      cf::Array::Create({button("/Install macOS Catalina.app", "Reinstall macOS",
                                                "Reinstall a new copy of macOS."),
                                         button("/Applications/Safari.app", "Browse The Web",
                                                "Browse the web for help or other information."),
                                         button("/System/Applications/Utilities/Disk Utility.app",
                                                "Disk Utility", "Repair or erase a volume.")}));
  WritePlist(resources.Join("Utilities.plist"), utilities);
  MakeFolders(folder, "Applications");
  for (const char* path : {"Applications", "System/Installation/CDIS/macOS Utilities.app",
                           "System/Library/CoreServices", "System/Library", "System", ""}) {
    SetFixedTime(*path == '\0' ? folder : folder.Join(path));
  }
}

void WriteRecoverySystem(const mcom::FilePath& volume, const std::string& folder_name,
                         const Facts& facts, const mcom::FilePath& scratch) {
  const mcom::FilePath folder = MakeFolders(volume, folder_name);
  {
    std::string base_system = scratch.Join("base-system.XXXXXX").string();
    if (::mkdtemp(base_system.data()) == nullptr) {
      throw MachineError("cannot make a folder in " + scratch.string() + ": " +
                         std::strerror(errno));
    }
    mcom::ScopeExit remove([&] { mcom::RemoveRecursively(mcom::FilePath(base_system)); });
    WriteBaseSystemTree(mcom::FilePath(base_system), facts);
    WriteRecoveryImage(folder.Join("BaseSystem.dmg"), mcom::FilePath(base_system));
  }
  WriteBytes(folder.Join("boot.efi"), FirmwareBytes("MZ boot.efi", 64 * 1024));
  WriteBytes(folder.Join("prelinkedkernel"), FirmwareBytes("prelinkedkernel", 256 * 1024));
  SetFixedTime(folder);
}

}  // namespace sim
