#pragma once

// Extended attributes by their Mac names.
//
// Mac attribute names have no namespace ("com.apple.quarantine", "com.apple.FinderInfo",
// "com.apple.rootless"); Linux requires one, and only the "user." namespace is open to
// ordinary files and processes. So a Mac name N is stored as the Linux attribute "user.N",
// and listing returns the "user." attributes with the prefix removed. Attributes of Linux's
// other namespaces ("security.", "system.", "trusted.") have no Mac name and are not listed.
//
// Linux refuses "user." attributes on symbolic links (EPERM), where the Mac allows them;
// callers that copy trees treat that refusal on a link as nothing to copy.
//
// The functions follow the shape of the C calls (a null buffer asks for the size) and never
// follow a final symbolic link. Failures are errno values in the generic category.

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <system_error>
#include <vector>

namespace platform {

// The Linux attribute name of a Mac attribute name, and back (empty when the Linux name has
// no Mac name).
std::string HostAttributeName(const char* mac_name);
std::string MacAttributeName(const char* host_name);

// getxattr with XATTR_NOFOLLOW: the attribute's size when `buffer` is null, else the number
// of bytes read into it (ERANGE when it does not fit).
//
// Full Disk Access on the simulated Mac: a Mac refuses (EPERM) to read an attribute of the
// privacy database's folder, "/Library/Application Support/com.apple.TCC", to a process
// without Full Disk Access. The simulated machine keeps that fact in a file of its own,
// ROOT/private/var/db/macsim/facts/full-disk-access, holding "yes" or "no". So reading
// "com.apple.rootless" of a path ending in "/Library/Application Support/com.apple.TCC"
// answers EPERM, before the host is asked, when that file below the path's ROOT says "no".
// A missing or unreadable fact file means access (the Linux host has no such check).
std::error_code GetAttribute(const char* path, const char* mac_name, void* buffer, size_t size,
                             size_t* length);

// listxattr with XATTR_NOFOLLOW: the size of the Mac names (each followed by a zero byte)
// when `buffer` is null, else the number of bytes written.
std::error_code ListAttributes(const char* path, char* buffer, size_t size, size_t* length);

// setxattr with XATTR_NOFOLLOW.
std::error_code SetAttribute(const char* path, const char* mac_name, const void* value,
                             size_t size);

}  // namespace platform
