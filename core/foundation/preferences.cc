#include "core/foundation/preferences.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "core/foundation/bundle.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/file.h"
#include "core/foundation/log.h"
#include "core/foundation/property_list.h"
#include "core/foundation/scope_guard.h"
#include "core/foundation/system_path.h"
#include "platform/posix/posix_error.h"

namespace mcom::preferences {
namespace {

// A name that stays one path component: a file name built from it cannot leave its folder.
bool IsUsableComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::optional<std::string> ResolveApplication(std::string_view application_id) {
  if (application_id != kCurrentApplication) {
    if (!IsUsableComponent(application_id)) return std::nullopt;
    return std::string(application_id);
  }
  const cf::Ref<cf::Bundle> bundle = cf::Bundle::MainBundle();
  if (!bundle) return std::nullopt;
  if (std::optional<std::string> identifier = bundle->Identifier();
      identifier && IsUsableComponent(*identifier)) {
    return identifier;
  }
  const std::optional<FilePath> executable = cf::CopyPathOfURL(bundle->ExecutableURL());
  if (!executable) return std::nullopt;
  std::string name = executable->LastComponent();
  if (!IsUsableComponent(name)) return std::nullopt;
  return name;
}

std::optional<std::string> CurrentUserName() {
  const uid_t uid = ::geteuid();
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry;
  passwd* found = nullptr;
  while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr || found->pw_name == nullptr) return std::nullopt;
  return std::string(found->pw_name);
}

cf::Ref<cf::Dictionary> ReadDomain(const FilePath& path) {
  return cf::As<cf::Dictionary>(cf::PropertyListFromFile(path));
}

// Holds an exclusive flock on a folder for as long as it lives.
class FolderLock {
 public:
  std::error_code Lock(const FilePath& folder) {
    const int fd = RetryOnInterrupt(
        [&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return LastError();
    folder_ = File(fd);
    if (RetryOnInterrupt([&] { return ::flock(folder_.get(), LOCK_EX); }) != 0) {
      return LastError();
    }
    return {};
  }

 private:
  // Closing the descriptor releases the lock.
  File folder_;
};

// Writes `bytes` to `path` atomically: a temporary file in the same folder, flushed to
// disk, then renamed over `path`. The temporary file never outlives a failure.
std::error_code WriteAtomically(const FilePath& path, const cf::Data& bytes) {
  std::string temporary = path.Parent().string();
  temporary.append("/.").append(path.LastComponent()).append(".XXXXXX");
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return LastError();
  File file(fd);
  ScopeExit remove_temporary([&] { ::unlink(temporary.c_str()); });
  if (std::error_code error = file.WriteAll(bytes.bytes(), bytes.length())) return error;
  if (RetryOnInterrupt([&] { return ::fsync(file.get()); }) != 0) return LastError();
  if (std::error_code error = file.Close()) return error;
  if (::rename(temporary.c_str(), path.c_str()) != 0) return LastError();
  remove_temporary.Dismiss();
  return {};
}

bool EqualsIgnoringCase(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (size_t at = 0; at < text.size(); ++at) {
    if (std::tolower(static_cast<unsigned char>(text[at])) !=
        std::tolower(static_cast<unsigned char>(word[at]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

FilePath UserPreferencesFolder(uid_t uid, std::string_view user_name) {
  if (uid == 0) return FilePath("/private/var/root/Library/Preferences");
  return FilePath("/Users/" + std::string(user_name) + "/Library/Preferences");
}

std::optional<FilePath> CurrentUserFile(std::string_view application_id) {
  const std::optional<std::string> application = ResolveApplication(application_id);
  if (!application) return std::nullopt;
  const uid_t uid = ::geteuid();
  std::string name = "root";
  if (uid != 0) {
    std::optional<std::string> user = CurrentUserName();
    if (!user || !IsUsableComponent(*user)) return std::nullopt;
    name = std::move(*user);
  }
  return SystemPath(UserPreferencesFolder(uid, name).Join(*application + ".plist").string());
}

std::optional<FilePath> AnyUserFile(std::string_view application_id) {
  const std::optional<std::string> application = ResolveApplication(application_id);
  if (!application) return std::nullopt;
  return SystemPath("/Library/Preferences/" + *application + ".plist");
}

cf::Ref<cf::Object> CopyAppValue(std::string_view key, std::string_view application_id) {
  for (const std::optional<FilePath>& file :
       {CurrentUserFile(application_id), AnyUserFile(application_id)}) {
    if (!file) continue;
    if (const cf::Ref<cf::Dictionary> domain = ReadDomain(*file)) {
      if (cf::Ref<cf::Object> value = domain->GetValue(key)) return value;
    }
  }
  return nullptr;
}

std::optional<bool> GetAppBooleanValue(std::string_view key, std::string_view application_id) {
  const cf::Ref<cf::Object> value = CopyAppValue(key, application_id);
  if (const cf::Ref<cf::Boolean> boolean = cf::As<cf::Boolean>(value)) return boolean->value();
  if (const cf::Ref<cf::Number> number = cf::As<cf::Number>(value)) {
    return number->DoubleValue() != 0.0;  // NaN counts as non-zero, as there
  }
  if (const cf::Ref<cf::String> string = cf::As<cf::String>(value)) {
    const std::string& text = string->utf8();
    if (EqualsIgnoringCase(text, "true") || EqualsIgnoringCase(text, "YES")) return true;
    if (EqualsIgnoringCase(text, "false") || EqualsIgnoringCase(text, "NO")) return false;
  }
  return std::nullopt;
}

std::error_code SetAppValue(std::string_view key, const cf::Ref<cf::Object>& value,
                            std::string_view application_id) {
  if (!ResolveApplication(application_id) || !cf::IsValidUTF8(key)) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  const std::optional<FilePath> file = CurrentUserFile(application_id);
  if (!file) return std::make_error_code(std::errc::no_such_file_or_directory);
  const FilePath folder = file->Parent();
  if (std::error_code error = MakePath(folder)) return error;

  FolderLock lock;
  if (std::error_code error = lock.Lock(folder)) return error;

  const cf::Ref<cf::Dictionary> current = ReadDomain(*file);
  if (!current && ::access(file->c_str(), F_OK) == 0) {
    log::Error("replacing unreadable preferences file %{public}s", file->string());
  }
  const cf::Ref<cf::MutableDictionary> domain =
      current ? current->MutableCopy() : cf::MutableDictionary::Create();
  if (value) {
    domain->SetValue(key, value);
  } else {
    domain->RemoveValue(key);
  }
  const cf::Ref<cf::Data> bytes = cf::PropertyListToData(domain, cf::PropertyListFormat::kXML);
  if (!bytes) return std::make_error_code(std::errc::invalid_argument);
  return WriteAtomically(*file, *bytes);
}

bool AppSynchronize(std::string_view application_id) {
  return ResolveApplication(application_id).has_value();
}

}  // namespace mcom::preferences
