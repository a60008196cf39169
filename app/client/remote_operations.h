#pragma once

// The application's requests for the helper's other work.

#include <optional>

#include "core/backup/progress.h"
#include "core/foundation/disk_name.h"
#include "core/foundation/error.h"
#include "core/foundation/file.h"

// Builds recovery media on `target` through the helper (request 202). A recovery system
// older than 10.15 cannot be used: Error("BuildRecovery", "Recovery volume upgrade required.
// Current Recovery volume version: 10.14.6"), and nothing is sent. Otherwise the Error of the
// session, the exchange or the helper's own, or nothing on success.
std::optional<Error> BuildRecovery(mcom::DiskName target, const ProgressCallback& progress);

// The archive of diagnostic logs the helper made (request 201); nothing when the session,
// the exchange or the collection failed.
std::optional<mcom::File> CollectLogsFromHelper();
