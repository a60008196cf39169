#include "helper/log_collection.h"

#include <cstdio>
#include <exception>
#include <optional>
#include <system_error>
#include <utility>

#include "core/backup/recovery_system_version.h"
#include "core/foundation/directory_handle.h"
#include "core/foundation/error.h"
#include "core/foundation/file_tree.h"
#include "core/foundation/full_disk_access.h"
#include "core/foundation/log.h"
#include "core/foundation/process.h"
#include "core/foundation/system_path.h"
#include "core/foundation/temporary_directory.h"

namespace helper {
namespace {

// Both filter on the maker's name so that support sees what the application and its helper
// logged, whichever process wrote it.
constexpr char kProductPredicate[] =
    R"(eventMessage contains[cd] "halvex" or processImagePath contains[cd] "halvex")";
constexpr char kHelperPredicate[] = R"(process == "com.halvex-software.Dorvane.helper")";

std::string JoinWithSpaces(const std::vector<std::string>& arguments) {
  std::string joined;
  for (const std::string& argument : arguments) {
    if (!joined.empty()) joined += ' ';
    joined += argument;
  }
  return joined;
}

void LogRecoveryVersion() {
  std::optional<RecoverySystemVersion> version;
  try {
    version = ReadRecoverySystemVersion();
  } catch (const std::exception&) {
    // A disk service that fails while the volumes are searched: the bundle is wanted all
    // the more then, so the version is only missing from it.
  }
  std::string text = "not found";
  if (version) {
    char formatted[40];
    std::snprintf(formatted, sizeof formatted, "%u.%u.%u", version->major, version->minor,
                  version->patch);
    text = formatted;
  }
  mcom::log::Default("recovery BaseSystem version: %{public}s", text);
}

std::vector<std::string> LogShowArguments(const char* predicate) {
  return {"show",   "--predicate", predicate, "--style", "syslog",
          "--info", "--debug",     "--last",  "1d"};
}

// Everything up to the open archive; throws std::system_error or Error. The work directory
// is released (removing the bundle folder and the archive's name) before this returns, on
// every path.
mcom::File CollectIntoArchive() {
  mcom::Result<mcom::DirectoryHandle> work = mcom::MakeAndOpenTemporaryDirectory();
  if (!work) throw std::system_error(work.error(), "failed to create the work directory");
  const mcom::Result<mcom::FilePath> work_path = work->Path();
  if (!work_path) throw std::system_error(work_path.error(), "failed to get the work directory");

  const mcom::FilePath bundle = work_path->Join("logs");
  (void)work->MakeDirectory("logs");
  const mcom::FilePath archive(bundle.string() + ".zip");

  RunAndSaveOutput("/usr/sbin/ioreg", {"-litw0"}, bundle.Join("ioreg.log"));
  RunAndSaveOutput("/usr/sbin/diskutil", {"info", "-all"}, bundle.Join("diskutil_info_all.log"));
  RunAndSaveOutput("/usr/sbin/diskutil", {"list"}, bundle.Join("diskutil_list.log"));
  RunAndSaveOutput("/usr/sbin/diskutil", {"apfs", "list"}, bundle.Join("diskutil_apfs_list.log"));
  RunAndSaveOutput("/usr/bin/hdiutil", {"info"}, bundle.Join("hdiutil_info.log"));
  RunAndSaveOutput("/sbin/dmesg", {}, bundle.Join("dmesg.log"));
  RunAndSaveOutput("/sbin/mount", {}, bundle.Join("mount.log"));
  RunAndSaveOutput("/usr/bin/sw_vers", {}, bundle.Join("sw_vers.log"));
  // Not every Mac has both logs; a missing one is simply not in the bundle.
  (void)mcom::CopyTree(mcom::SystemPath("/private/var/log/system.log"), bundle.Join("system.log"));
  (void)mcom::CopyTree(mcom::SystemPath("/private/var/log/dm/dm.log"), bundle.Join("dm.log"));

  mcom::log::Default("full disk access: %{bool}d", mcom::HasFullDiskAccess());

  mcom::RunAndCheck("/usr/bin/log", {"collect", "--output", bundle.Join("logs.logarchive").string(),
                                     "--last", "30m"});
  RunAndSaveOutput("/usr/bin/log", LogShowArguments(kProductPredicate), bundle.Join("summary.log"));
  RunAndSaveOutput("/usr/bin/log", LogShowArguments(kHelperPredicate),
                   bundle.Join("summary-helper.log"));
  mcom::RunAndCheck("/usr/bin/ditto", {"-c", "-k", bundle.string(), archive.string()});

  mcom::Result<mcom::File> file = mcom::Open(archive, mcom::kOpenRead);
  if (!file) throw std::system_error(file.error(), "failed to open the archive");
  (void)work->Release();
  return std::move(*file);
}

}  // namespace

void RunAndSaveOutput(const char* program, const std::vector<std::string>& arguments,
                      const mcom::FilePath& output) {
  mcom::log::Default("run %{public}s %{public}s and save output to %{public}s", program,
                     JoinWithSpaces(arguments), output);
  mcom::Result<mcom::File> file =
      mcom::Open(output, mcom::kOpenWrite | mcom::kOpenCreate | mcom::OpenMode(0644));
  if (!file) {
    mcom::log::Error("failed to open log file for write: %{public}s", file.error().message());
    return;
  }
  mcom::FileActions actions;
  if (const std::error_code error = actions.AddDuplicate(file->get(), 1)) {
    mcom::log::Error("failed to spawn %{public}s: %{public}s", program, error.message());
    return;
  }
  const mcom::Result<pid_t> pid =
      mcom::SpawnProcess(mcom::SystemPath(program).c_str(), arguments, actions);
  if (!pid) {
    mcom::log::Error("failed to spawn %{public}s: %{public}s", program, pid.error().message());
    return;
  }
  if (const std::error_code status = mcom::WaitForProcess(*pid)) {
    mcom::log::Error("%{public}s did exit with error code %d", program, status.value());
  }
}

void CollectLogs(const mach::Promise<mcom::File>& promise) {
  mcom::log::Default("collect logs");
  LogRecoveryVersion();
  std::optional<mcom::File> archive;
  try {
    archive = CollectIntoArchive();
  } catch (const std::system_error& error) {
    mcom::log::Error("failed to collect logs: %{public}s", error.what());
  } catch (const Error& error) {
    mcom::log::Error("failed to collect logs: %{public}s", error.FullDescription());
  }
  if (archive) promise.SetValue(std::move(*archive));
}

}  // namespace helper
