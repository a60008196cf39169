#include "app/client/remote_operations.h"

#include <cstdio>
#include <string>
#include <variant>

#include "app/client/helper_session.h"
#include "core/backup/recovery_system_version.h"
#include "transport/call.h"
#include "transport/message_catalogue.h"
#include "transport/run_with_progress.h"

std::optional<Error> BuildRecovery(mcom::DiskName target, const ProgressCallback& progress) {
  if (const std::optional<RecoverySystemVersion> version = ReadRecoverySystemVersion();
      version && version->minor <= 14) {
    char text[40];
    std::snprintf(text, sizeof text, "%u.%u.%u", version->major, version->minor, version->patch);
    return Error("BuildRecovery",
                 std::string("Recovery volume upgrade required. Current Recovery volume "
                             "version: ") +
                     text);
  }
  try {
    mach::RunWithProgress(&GetHelperSession, "BuildRecovery", mach::kBuildRecoveryId, progress,
                          target);
  } catch (const Error& error) {
    return error;
  }
  return std::nullopt;
}

std::optional<mcom::File> CollectLogsFromHelper() {
  const mach::SessionResult session = GetHelperSession();
  if (!std::holds_alternative<std::shared_ptr<const mach::PortRight<mach::Send>>>(session)) {
    return std::nullopt;
  }
  mach::CallResult<mach::CollectLogsRequest> reply =
      mach::Call<mach::CollectLogsRequest>(mach::kCollectLogsId, *std::get<0>(session));
  if (!reply) return std::nullopt;
  return std::move(reply->value);
}
