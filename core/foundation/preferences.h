#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>
#include <system_error>

#include "core/foundation/cf_object.h"
#include "core/foundation/file_path.h"

// Application preferences (CFPreferences), kept as property-list files under the machine
// root, one per application identifier:
//
//   the current user:  /Users/<name>/Library/Preferences/<application id>.plist
//                      (/private/var/root/Library/Preferences/... for root)
//   any user:          /Library/Preferences/<application id>.plist
//
// Reads look at the current user's file first and fall back to the any-user file; writes go
// to the current user's file. The user is the one of the effective user id, named by the
// user database. The application's user defaults use the same files.
//
// There is no preferences daemon: every write goes to disk at once, as one transaction
// under an exclusive lock on the preferences folder (read the file, change one key, write a
// temporary file in the same folder, rename it over the old one). Concurrent writers in
// several processes therefore never tear the file or lose each other's keys, and readers
// always see a whole file, the old or the new. Reads are not cached; each one reads the
// files as they are.
//
// All functions are thread-safe.
namespace mcom::preferences {

// The platform's kCFPreferencesCurrentApplication: the main bundle's CFBundleIdentifier, or
// the executable's name for a tool without one.
inline constexpr char kCurrentApplication[] = "kCFPreferencesCurrentApplication";

// CFPreferencesCopyAppValue: the value of `key` for `application_id`, or null when neither
// file has it (or the identifier is not usable: empty, ".", "..", or holding "/"). The value
// is immutable.
cf::Ref<cf::Object> CopyAppValue(std::string_view key, std::string_view application_id);

// CFPreferencesGetAppBooleanValue, with its rules for what counts as a valid boolean:
//  - a Boolean;
//  - a Number: false when it is zero, true otherwise (reals too);
//  - a String equal, ignoring case, to "true" or "YES" (true), or "false" or "NO" (false).
// Empty (not false) when the key is missing or its value is anything else.
std::optional<bool> GetAppBooleanValue(std::string_view key, std::string_view application_id);

// CFPreferencesSetAppValue for the current user: stores `value` for `key`, or removes the
// key when `value` is null; written to disk before returning (folders are made as needed).
// Errors: EINVAL for an unusable identifier, an invalid key or a value that is not a
// property list; ENOENT when the current user has no name; the errno of the failed file
// operation otherwise. A current-user file that cannot be read as a dictionary is replaced.
std::error_code SetAppValue(std::string_view key, const cf::Ref<cf::Object>& value,
                            std::string_view application_id);

// CFPreferencesAppSynchronize: writes are never pending here, so this only answers whether
// `application_id` is usable.
bool AppSynchronize(std::string_view application_id);

// The preferences folder of a user, as a macOS path (not yet under the machine root):
// "/private/var/root/Library/Preferences" for uid 0, "/Users/<name>/Library/Preferences"
// otherwise.
FilePath UserPreferencesFolder(uid_t uid, std::string_view user_name);

// The current user's file for `application_id` under the machine root; empty when the
// identifier is unusable or the user has no usable name.
std::optional<FilePath> CurrentUserFile(std::string_view application_id);

// The any-user file for `application_id` under the machine root; empty when the identifier
// is unusable.
std::optional<FilePath> AnyUserFile(std::string_view application_id);

}  // namespace mcom::preferences
