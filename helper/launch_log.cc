#include "helper/launch_log.h"

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>
#include <system_error>

#include "core/foundation/file_tree.h"
#include "core/foundation/log.h"
#include "core/foundation/system_path.h"
#include "helper/code_signing.h"

namespace helper {
namespace {

// Earlier helpers kept their files here; nothing uses them any more.
constexpr char kOldSupportFolder[] =
    "/Library/Application Support/Halvex Software/com.halvex-software.Dorvane/"
    "com.halvex-software.Dorvane.helper";

}  // namespace

void CleanUpAndLogLaunch() {
  // RemoveRecursively logs its outcome; the helper goes on either way.
  (void)mcom::RemoveRecursively(mcom::SystemPath(kOldSupportFolder));

  SigningInformation information;
  try {
    information = CopySigningInformation(CopySelfCode().get());
  } catch (const std::system_error& failure) {
    mcom::log::Error("failed to get utility signing information: %d: %s", failure.code().value(),
                     failure.code().message());
    return;
  }
  const std::string version =
      information.info_plist->GetString("CFBundleShortVersionString").value_or("");
  const std::string build = information.info_plist->GetString("CFBundleVersion").value_or("");
  const long signed_at = information.signing_time
                             ? std::chrono::system_clock::to_time_t(*information.signing_time)
                             : 0;
  mcom::log::Info(
      "launched. version: %{public}@ (%{public}@), timestamp: %{time_t}ld, ppid: %d, euid/egid: "
      "%d:%d",
      version, build, signed_at, getppid(), geteuid(), getegid());
}

}  // namespace helper
