#pragma once

namespace mcom {

// Whether this process has Full Disk Access: it tries to read the attribute
// "com.apple.rootless" of "/Library/Application Support/com.apple.TCC" (under the machine
// root, without following links). Only a failure with EPERM means no access; success and
// every other error (a missing folder or attribute) count as access granted.
bool HasFullDiskAccess();

}  // namespace mcom
