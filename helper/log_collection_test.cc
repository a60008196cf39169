// The diagnostic bundle collected on a simulated Mac with its tools, read back with a zip
// reader of its own.

#include "helper/log_collection.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "core/foundation/log.h"
#include "core/foundation/system_path.h"
#include "sim/machine/machine_creation.h"
#include "sim/machine/machine_settings.h"
#include "sim/machine/test_machine.h"
#include "tests/support/temporary_folder.h"

namespace helper {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

const std::set<std::string> kItems = {"ioreg.log",         "diskutil_info_all.log",
                                      "diskutil_list.log", "diskutil_apfs_list.log",
                                      "hdiutil_info.log",  "dmesg.log",
                                      "mount.log",         "sw_vers.log",
                                      "system.log",        "logs.logarchive",
                                      "summary.log",       "summary-helper.log"};

// The top-level entries of a zip archive with the contents of its files.
std::map<std::string, std::string> ReadArchive(int fd) {
  std::map<std::string, std::string> entries;
  archive* reader = archive_read_new();
  archive_read_support_format_zip(reader);
  EXPECT_EQ(archive_read_open_fd(reader, fd, 64 * 1024), ARCHIVE_OK)
      << archive_error_string(reader);
  archive_entry* entry = nullptr;
  while (archive_read_next_header(reader, &entry) == ARCHIVE_OK) {
    const std::string name = archive_entry_pathname(entry);
    std::string contents;
    char buffer[8192];
    la_ssize_t count;
    while ((count = archive_read_data(reader, buffer, sizeof buffer)) > 0) {
      contents.append(buffer, static_cast<size_t>(count));
    }
    EXPECT_GE(count, 0) << name << ": " << archive_error_string(reader);
    entries[name.substr(0, name.find('/'))] += contents;
  }
  archive_read_free(reader);
  return entries;
}

class LogCollection : public ::testing::Test {
 protected:
  void SetUp() override { MakeMachine(sim::testing::TestFixture("intel-mac")); }
  void TearDown() override { mcom::SetSystemRoot(previous_root_); }

  void MakeMachine(const sim::Fixture& fixture) {
    const mcom::FilePath root = folder_.Join("mac-" + std::to_string(++machines_));
    machine_.emplace(sim::CreateMachine(root, fixture, 64 * 1024));
    sim::testing::InstallTestTools(root);
    mcom::SetSystemRoot(root);
  }

  void SetFault(const std::string& hook, const std::string& value) {
    machine_->Change([&](sim::Model& model) { sim::ApplySetting(model, "fault." + hook, value); });
  }

  // Runs a collection; the archive when the promise was set.
  std::optional<mcom::File> Collect() {
    std::optional<mcom::File> archive;
    CollectLogs(
        mach::Promise<mcom::File>([&archive](mcom::File file) { archive = std::move(file); }));
    return archive;
  }

  std::string SystemLog() const {
    return ::testing::TemporaryFolder::ReadFile(mcom::SystemPath("/private/var/log/system.log"));
  }

  std::vector<std::string> TemporaryNames() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(mcom::SystemPath("/tmp").string()))
      names.push_back(entry.path().filename().string());
    return names;
  }

  ::testing::TemporaryFolder folder_;
  mcom::FilePath previous_root_ = mcom::SystemRoot();
  std::optional<sim::Machine> machine_;
  int machines_ = 0;
};

std::set<std::string> NamesOf(const std::map<std::string, std::string>& entries) {
  std::set<std::string> names;
  for (const auto& [name, contents] : entries) names.insert(name);
  return names;
}

TEST_F(LogCollection, TheArchiveHoldsEveryItemAndNothingElse) {
  std::filesystem::remove(mcom::SystemPath("/private/var/log/dm/dm.log").string());
  mcom::log::Default("marker for halvex support");
  SetFault("sw_vers.run", "fail-at-start");  // prints nothing, still leaves its file

  std::optional<mcom::File> archive = Collect();
  ASSERT_TRUE(archive);
  // Read-only, and its name is gone with the work directory: the descriptor is all there is.
  EXPECT_EQ(::fcntl(archive->get(), F_GETFL) & O_ACCMODE, O_RDONLY);
  struct stat status;
  ASSERT_EQ(::fstat(archive->get(), &status), 0);
  EXPECT_EQ(status.st_nlink, 0u);
  EXPECT_THAT(TemporaryNames(), IsEmpty());

  const std::map<std::string, std::string> entries = ReadArchive(archive->get());
  EXPECT_THAT(NamesOf(entries), ElementsAreArray(kItems));
  EXPECT_THAT(entries.at("ioreg.log"), HasSubstr("IOMedia"));
  EXPECT_THAT(entries.at("diskutil_apfs_list.log"), HasSubstr("APFS Container"));
  EXPECT_THAT(entries.at("mount.log"), HasSubstr(" on / ("));
  EXPECT_EQ(entries.at("sw_vers.log"), "");
  EXPECT_THAT(entries.at("logs.logarchive"), HasSubstr("RecordCount"));
  // The product filter finds the line logged above; the helper's filter does not.
  EXPECT_THAT(entries.at("summary.log"), HasSubstr("marker for halvex support"));
  EXPECT_THAT(entries.at("summary-helper.log"), Not(HasSubstr("marker for halvex support")));

  const std::string log = SystemLog();
  EXPECT_THAT(log, HasSubstr("collect logs"));
  EXPECT_THAT(log, HasSubstr("recovery BaseSystem version: 10.15.7"));
  EXPECT_THAT(log, HasSubstr("full disk access: true"));
  EXPECT_THAT(log, HasSubstr("run /usr/sbin/diskutil apfs list and save output to "));
  EXPECT_THAT(log, HasSubstr("/usr/bin/sw_vers did exit with error code 1"));
  EXPECT_THAT(log, Not(HasSubstr("failed to collect logs")));

  // With the disk-management log present it is collected too, and a tool that a signal
  // ends is logged with the signal's number.
  SetFault("sw_vers.run", "");
  std::filesystem::create_directories(mcom::SystemPath("/private/var/log/dm").string());
  std::ofstream(mcom::SystemPath("/private/var/log/dm/dm.log").string()) << "disk management\n";
  const std::filesystem::path dmesg = mcom::SystemPath("/sbin/dmesg").string();
  std::filesystem::remove(dmesg);
  std::ofstream(dmesg) << "#!/bin/sh\nkill -KILL $$\n";
  std::filesystem::permissions(dmesg, std::filesystem::perms(0755));

  archive = Collect();
  ASSERT_TRUE(archive);
  const std::map<std::string, std::string> with_dm = ReadArchive(archive->get());
  std::set<std::string> expected = kItems;
  expected.insert("dm.log");
  EXPECT_THAT(NamesOf(with_dm), ElementsAreArray(expected));
  EXPECT_EQ(with_dm.at("dm.log"), "disk management\n");
  EXPECT_EQ(with_dm.at("dmesg.log"), "");
  EXPECT_THAT(with_dm.at("sw_vers.log"), HasSubstr("ProductVersion:"));
  EXPECT_THAT(SystemLog(), HasSubstr("/sbin/dmesg did exit with error code 9"));
}

TEST_F(LogCollection, WithoutARecoverySystemItRunsAndAFailedExportEndsIt) {
  sim::Fixture fixture = sim::testing::TestFixture("intel-mac");
  for (sim::FixtureContainer& container : fixture.containers) {
    std::erase_if(container.volumes, [](const sim::FixtureVolume& volume) {
      return std::find(volume.roles.begin(), volume.roles.end(), "Recovery") != volume.roles.end();
    });
  }
  MakeMachine(fixture);
  EXPECT_TRUE(Collect());
  EXPECT_THAT(SystemLog(), HasSubstr("recovery BaseSystem version: not found"));

  // The export and the packing are what the bundle is for: their failure ends the
  // collection with nothing left behind and no reply value.
  for (const auto& [hook, message] :
       {std::pair<std::string, std::string>{"log.collect",
                                            "failed to collect logs: /usr/bin/log: program did "
                                            "exit with error code 1"},
        {"ditto.archive",
         "failed to collect logs: /usr/bin/ditto: program did exit with error code 5"}}) {
    SCOPED_TRACE(hook);
    SetFault(hook, hook == "ditto.archive" ? "fail-after-percent:50;status=5" : "fail");
    EXPECT_FALSE(Collect());
    EXPECT_THAT(SystemLog(), HasSubstr(message));
    EXPECT_THAT(TemporaryNames(), IsEmpty());
    SetFault(hook, "");
  }
}

}  // namespace
}  // namespace helper
