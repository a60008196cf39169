#include "app/cli/log_archive.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "core/foundation/error.h"
#include "core/foundation/interruption.h"
#include "core/foundation/scope_guard.h"

namespace {

constexpr char kOperation[] = "SaveLogArchive";

[[noreturn]] void Fail(const std::string& what, int error) {
  throw Error(kOperation, what + ": " + std::generic_category().message(error));
}

// ".NAME.dorvane-partial-PID" beside `path`: hidden, and saying who writes it.
mcom::FilePath TemporaryPath(const mcom::FilePath& path) {
  std::string name(1, '.');
  name.append(path.LastComponent()).append(".dorvane-partial-").append(std::to_string(::getpid()));
  return path.Parent().Join(name);
}

[[noreturn]] void ThrowAppeared(const mcom::FilePath& path) {
  throw Error(kOperation, "'" + path.string() + "' appeared meanwhile; --force replaces it");
}

// Gives `temporary` the name `path` unless something has that name by now. A hard link does
// it in one step; volumes without hard links (FAT, exFAT) get an empty file made exclusively
// under the final name, which the rename then replaces.
void NameWithoutReplacing(const mcom::FilePath& temporary, const mcom::FilePath& path) {
  if (::link(temporary.c_str(), path.c_str()) == 0) {
    ::unlink(temporary.c_str());
    return;
  }
  const int error = errno;
  if (error == EEXIST) ThrowAppeared(path);
  // ENOTSUP and EOPNOTSUPP are one value here but two on the Mac.
  // NOLINTBEGIN(misc-redundant-expression)
  if (error != EPERM && error != ENOTSUP && error != EOPNOTSUPP && error != EMLINK) {
    Fail("cannot name the archive " + path.string(), error);
  }
  // NOLINTEND(misc-redundant-expression)
  mcom::Result<mcom::File> placeholder = mcom::Open(
      path, mcom::kOpenWrite | mcom::kOpenCreate | mcom::kOpenExclusive | mcom::OpenMode(0644));
  if (!placeholder) {
    if (placeholder.error() == std::errc::file_exists) ThrowAppeared(path);
    Fail("cannot create " + path.string(), placeholder.error().value());
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int rename_error = errno;
    ::unlink(path.c_str());  // our own empty file
    Fail("cannot rename the archive to " + path.string(), rename_error);
  }
}

}  // namespace

std::optional<std::string> WhyTheArchiveCannotGoTo(const std::string& path, bool replace) {
  struct stat status;
  if (path.empty() || path.back() == '/' ||
      (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))) {
    return "--to needs the path of the archive file to write, not a folder: '" + path + "'";
  }
  const mcom::FilePath folder = mcom::FilePath(path).Parent();
  if (::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    return "no folder '" + folder.string() + "' to write the archive into";
  }
  if (!replace && ::lstat(path.c_str(), &status) == 0) {
    return "'" + path + "' exists; --force replaces it";
  }
  return std::nullopt;
}

void SaveLogArchive(const mcom::File& archive, const mcom::FilePath& path, bool replace) {
  const mcom::FilePath temporary = TemporaryPath(path);
  mcom::Result<mcom::File> copy =
      mcom::Open(temporary, mcom::kOpenWrite | mcom::kOpenCreate | mcom::kOpenExclusive |
                                mcom::OpenMode(0644));
  if (!copy) Fail("cannot create " + temporary.string(), copy.error().value());
  mcom::ScopeExit remove_temporary([&] { ::unlink(temporary.c_str()); });

  if (::lseek(archive.get(), 0, SEEK_SET) < 0) Fail("cannot read the archive", errno);
  std::vector<char> buffer(1 << 20);
  for (;;) {
    mcom::ThrowIfInterrupted(kOperation);
    const mcom::Result<size_t> count = archive.Read(buffer.data(), buffer.size());
    if (!count) Fail("cannot read the archive", count.error().value());
    if (*count == 0) break;
    if (const std::error_code error = copy->WriteAll(buffer.data(), *count)) {
      Fail("cannot write " + temporary.string(), error.value());
    }
  }
  if (::fsync(copy->get()) != 0) Fail("cannot write " + temporary.string(), errno);
  if (const std::error_code error = copy->Close()) {
    Fail("cannot write " + temporary.string(), error.value());
  }
  mcom::ThrowIfInterrupted(kOperation);

  if (replace) {
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
      Fail("cannot rename the archive to " + path.string(), errno);
    }
  } else {
    NameWithoutReplacing(temporary, path);
  }
  remove_temporary.Dismiss();
}
