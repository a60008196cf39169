// ditto: packs a folder into a zip archive.
//
//   ditto -c -k FOLDER ARCHIVE
//
// writes ARCHIVE, a zip archive of everything below FOLDER (zip_archive.h). As the real
// `ditto -c -k` without --keepParent, entries are named relative to FOLDER itself: packing
// ".../logs" gives "ioreg.log", "logs.logarchive/", ... and no "logs/" in front (only
// --keepParent, which the system does not use, would add the folder's own name).
//
// The archive is written beside ARCHIVE under a temporary name and renamed into place once
// complete, so a failure never leaves half an archive and never damages an existing file.
// An archive written inside FOLDER does not contain itself. Refusals (one line on standard
// error, status 1): FOLDER missing or not a folder, ARCHIVE existing and not writable or a
// folder. Nothing is printed on success. No other form is accepted.
//
// Fault-injection hook (injected_failure.h), with the usual message "Cannot create ARCHIVE":
//   ditto.archive   fail-before-start; fail-at-start (before anything is written);
//                   fail-after-percent:P (once P per cent of the files' data is packed: the
//                   half-written archive is removed, an existing ARCHIVE stays as it was);
//                   fail-at-exit (the archive is complete and in place, and yet the tool
//                   fails)

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/foundation/file.h"
#include "core/foundation/scope_guard.h"
#include "sim/tools/injected_failure.h"
#include "sim/tools/tools.h"
#include "sim/tools/zip_archive.h"

namespace sim::tools {
namespace {

constexpr const char* kUsage = "ditto -c -k FOLDER ARCHIVE";

std::string ErrnoText(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

}  // namespace

int RunDitto(ToolContext& context) {
  using Point = InjectedFailure::Point;
  const std::optional<InjectedFailure> failure = ReadInjectedFailure(context, "archive");
  if (auto status = FailIfAt(context, failure, Point::kBeforeStart, "Cannot create archive")) {
    return *status;
  }
  const std::vector<std::string>& arguments = context.arguments();
  if (arguments.size() != 4 || arguments[0] != "-c" || arguments[1] != "-k" ||
      arguments[2].empty() || arguments[3].empty()) {
    return context.UsageError(kUsage);
  }
  const std::string& folder = arguments[2];
  const std::string& destination = arguments[3];
  const std::string usual_failure = "Cannot create " + destination;
  if (auto status = FailIfAt(context, failure, Point::kAtStart, usual_failure)) return *status;

  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) return context.Fail(ErrnoText(folder, errno));
  if (!S_ISDIR(status.st_mode)) return context.Fail(ErrnoText(folder, ENOTDIR));

  std::vector<FileIdentity> skip;
  if (::stat(destination.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) return context.Fail(ErrnoText(destination, EISDIR));
    // An existing archive is replaced only where it could be written over.
    const int existing = ::open(destination.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (existing < 0) return context.Fail(ErrnoText(destination, errno));
    ::close(existing);
    skip.push_back({status.st_dev, status.st_ino});
  } else if (errno != ENOENT) {
    return context.Fail(ErrnoText(destination, errno));
  }

  std::string temporary = destination + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return context.Fail(ErrnoText(destination, errno));
  mcom::File output(fd);
  // Whatever goes wrong from here on, no half archive stays behind.
  mcom::ScopeExit remove_temporary([&] { ::unlink(temporary.c_str()); });
  ::fchmod(fd, 0644);
  if (::fstat(fd, &status) == 0) skip.push_back({status.st_dev, status.st_ino});

  bool stopped = false;
  const ZipProgress progress = [&](uint64_t archived, uint64_t total) {
    stopped = failure && failure->FailsAfter(archived, total);
    return !stopped;
  };
  std::string error;
  if (!WriteZipArchive(mcom::FilePath(folder), fd, skip, progress, &error)) {
    if (stopped) {
      return context.Fail(failure->message.value_or(usual_failure), failure->status);
    }
    return context.Fail(error);
  }
  if (::fsync(fd) != 0) return context.Fail(ErrnoText(destination, errno));
  if (const std::error_code closed = output.Close()) {
    return context.Fail(ErrnoText(destination, closed.value()));
  }
  if (::rename(temporary.c_str(), destination.c_str()) != 0) {
    return context.Fail(ErrnoText(destination, errno));
  }
  remove_temporary.Dismiss();
  if (auto failed = FailIfAt(context, failure, Point::kAtExit, usual_failure)) return *failed;
  return 0;
}

}  // namespace sim::tools
