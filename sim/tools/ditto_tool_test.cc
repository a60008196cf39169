#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sim/machine/machine.h"
#include "sim/machine/test_machine.h"
#include "sim/tools/tool_test_run.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::RunProgram;
using testing::RunTool;
using ::testing::StartsWith;

constexpr const char* kDitto = "/usr/bin/ditto";

// Runs unzip's `program` ("unzip", "zipinfo") in a UTF-8 locale, where it shows and makes
// names outside ASCII as they are (in the "C" locale it escapes them).
testing::ProgramRun Unzip(const std::string& program, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"LC_ALL=C.UTF-8", "/usr/bin/" + program});
  return RunProgram(mcom::FilePath("/usr/bin/env"), arguments);
}

std::string Pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t index = 0; index < size; ++index) text[index] = static_cast<char>(index * 31 % 251);
  return text;
}

// A log bundle as the helper collects it: text files, an archive folder, an empty file, a
// file larger than one read, a private file, a link and a name outside ASCII.
class DittoTest : public ::testing::Test {
 protected:
  DittoTest() : machine_(testing::MakeTestMachineWithTools(root_.path())) {
    work_ = root_.Join("private/tmp/.work");
    logs_ = work_.Join("logs");
    std::filesystem::create_directories(logs_.Join("logs.logarchive").string());
    Write("ioreg.log", "+-o Root  <class IORegistryEntry>\n");
    Write("mount.log", "");
    Write("logs.logarchive/system.log", "a record\n");
    Write("logs.logarchive/Info.plist", "<plist/>\n");
    Write("system.log", Pattern(300 * 1024));
    Write("Übersicht.log", "ü\n");
    Write("private.log", "secret\n");
    ::chmod(logs_.Join("private.log").c_str(), 0600);
    std::filesystem::create_symlink("ioreg.log", logs_.Join("latest.log").string());
    archive_ = work_.Join("logs.zip");
  }

  void Write(const std::string& relative, const std::string& contents) {
    std::ofstream(logs_.Join(relative).string(), std::ios::binary) << contents;
  }

  std::vector<std::string> Entries(const mcom::FilePath& archive) {
    const testing::ProgramRun run = Unzip("zipinfo", {"-1", archive.string()});
    EXPECT_EQ(run.status, 0) << run.err;
    return testing::Lines(run.out);
  }

  std::vector<std::string> FilesIn(const mcom::FilePath& folder) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(folder.string())) {
      names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  ::testing::TemporaryMachineRoot root_;
  Machine machine_;
  mcom::FilePath work_;
  mcom::FilePath logs_;
  mcom::FilePath archive_;
};

TEST_F(DittoTest, PacksTheFolderIntoAZipArchiveThatUnzipAccepts) {
  testing::ProgramRun run = RunTool(kDitto, {"-c", "-k", logs_.string(), archive_.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, IsEmpty());
  EXPECT_THAT(run.err, IsEmpty());

  run = Unzip("unzip", {"-t", archive_.string()});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("No errors detected"));

  // Named relative to the folder, without the folder's own name (no --keepParent).
  EXPECT_THAT(Entries(archive_),
              ElementsAre("ioreg.log", "latest.log", "logs.logarchive/",
                          "logs.logarchive/Info.plist", "logs.logarchive/system.log", "mount.log",
                          "private.log", "system.log", "Übersicht.log"));
  EXPECT_THAT(FilesIn(work_), ElementsAre("logs", "logs.zip"));

  // What comes out is what went in: contents, modes and the link.
  const mcom::FilePath out = work_.Join("out");
  run = Unzip("unzip", {"-q", archive_.string(), "-d", out.string()});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  for (const char* name : {"ioreg.log", "mount.log", "system.log", "Übersicht.log",
                           "logs.logarchive/system.log", "logs.logarchive/Info.plist"}) {
    EXPECT_EQ(::testing::TemporaryFolder::ReadFile(out.Join(name)),
              ::testing::TemporaryFolder::ReadFile(logs_.Join(name)))
        << name;
  }
  struct stat status {};
  ASSERT_EQ(::stat(out.Join("private.log").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(std::filesystem::read_symlink(out.Join("latest.log").string()), "ioreg.log");
}

TEST_F(DittoTest, ReplacesAnArchiveAndLeavesItselfOut) {
  std::ofstream(archive_.string()) << "an older archive";
  EXPECT_EQ(RunTool(kDitto, {"-c", "-k", logs_.string(), archive_.string()}).status, 0);
  EXPECT_EQ(Unzip("unzip", {"-tq", archive_.string()}).status, 0);

  // An archive written inside the folder holds everything but itself (and no half-written
  // copy of itself either).
  const mcom::FilePath inside = logs_.Join("logs.zip");
  const testing::ProgramRun run = RunTool(kDitto, {"-c", "-k", logs_.string(), inside.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> entries = Entries(inside);
  EXPECT_EQ(entries.size(), 9u);
  for (const std::string& entry : entries)
    EXPECT_THAT(entry, ::testing::Not(StartsWith("logs.zip")));
}

TEST_F(DittoTest, RefusesMissingFoldersAndUnwritableArchives) {
  const auto refused = [&](const std::vector<std::string>& arguments, const std::string& reason) {
    const testing::ProgramRun run = RunTool(kDitto, arguments);
    EXPECT_EQ(run.status, 1) << ::testing::PrintToString(arguments);
    EXPECT_THAT(run.err, StartsWith("ditto: "));
    EXPECT_THAT(run.err, HasSubstr(reason));
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
  };
  refused({"-c", "-k", work_.Join("missing").string(), archive_.string()},
          "missing: No such file or directory");
  refused({"-c", "-k", logs_.Join("ioreg.log").string(), archive_.string()}, "Not a directory");
  refused({"-c", "-k", logs_.string(), logs_.Join("logs.logarchive").string()}, "Is a directory");
  refused({"-c", "-k", logs_.string(), work_.Join("no/such/folder.zip").string()},
          "No such file or directory");
  if (::geteuid() != 0) {  // permissions do not stop root
    std::ofstream(archive_.string()) << "keep me";
    ::chmod(archive_.c_str(), 0444);
    refused({"-c", "-k", logs_.string(), archive_.string()}, "Permission denied");
    EXPECT_EQ(::testing::TemporaryFolder::ReadFile(archive_), "keep me");
    ::unlink(archive_.c_str());
  }
  // Nothing was left behind, not even a temporary file.
  EXPECT_THAT(FilesIn(work_), ElementsAre("logs"));
}

TEST_F(DittoTest, FailsWhereTheFaultHookSaysSo) {
  const std::vector<std::string> arguments = {"-c", "-k", logs_.string(), archive_.string()};
  const auto fault = [&](const std::string& value) {
    machine_.Change([&](Model& model) { model.faults["ditto.archive"] = value; });
  };
  fault("fail-at-start;status=5");
  testing::ProgramRun run = RunTool(kDitto, arguments);
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(run.err, "ditto: Cannot create " + archive_.string() + "\n");
  EXPECT_THAT(FilesIn(work_), ElementsAre("logs"));

  // Half way through the copy: the archive that was there stays as it was, and nothing
  // half made is left beside it.
  std::ofstream(archive_.string()) << "an older archive";
  for (const char* value : {"fail-after-percent:0", "fail-after-percent:50",
                            "fail-after-percent:99;status=7;message=No space left on device"}) {
    fault(value);
    run = RunTool(kDitto, arguments);
    EXPECT_NE(run.status, 0) << value;
    EXPECT_THAT(run.err, StartsWith("ditto: ")) << value;
    EXPECT_EQ(::testing::TemporaryFolder::ReadFile(archive_), "an older archive") << value;
    EXPECT_THAT(FilesIn(work_), ElementsAre("logs", "logs.zip")) << value;
  }
  EXPECT_EQ(run.status, 7);
  EXPECT_EQ(run.err, "ditto: No space left on device\n");

  // At exit the archive is whole and in place, and yet the tool fails.
  fault("fail-at-exit");
  run = RunTool(kDitto, arguments);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "ditto: Cannot create " + archive_.string() + "\n");
  EXPECT_EQ(Unzip("unzip", {"-tq", archive_.string()}).status, 0);

  // Before the start not even the command line is looked at; a mistyped hook fails too.
  fault("fail-before-start;message=killed");
  run = RunTool(kDitto, {"-x"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "ditto: killed\n");
  for (const char* value : {"fial", "fail-after-percent:100", "fail-at-exit;status=0",
                            "fail-at-exit;status=256", "fail-after-percent:"}) {
    fault(value);
    run = RunTool(kDitto, {"-c", "-k", logs_.string(), work_.Join("other.zip").string()});
    EXPECT_EQ(run.status, 1) << value;
    EXPECT_EQ(run.err, "ditto: Cannot create " + work_.Join("other.zip").string() + "\n") << value;
  }
  EXPECT_THAT(FilesIn(work_), ElementsAre("logs", "logs.zip"));
}

TEST_F(DittoTest, RefusesEveryOtherCommandLine) {
  const std::string folder = logs_.string();
  const std::string archive = archive_.string();
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {},
           {"-c", "-k", folder},
           {"-k", "-c", folder, archive},
           {"-c", folder, archive},
           {"-x", "-k", archive, folder},
           {"-c", "-k", "--keepParent", folder, archive},
           {"-c", "-k", folder, archive, "extra"},
           {"-c", "-k", "", archive},
           {folder, archive},
       }) {
    const testing::ProgramRun run = RunTool(kDitto, arguments);
    EXPECT_EQ(run.status, 1) << ::testing::PrintToString(arguments);
    EXPECT_THAT(run.err, StartsWith("Usage: ditto -c -k")) << ::testing::PrintToString(arguments);
  }
  EXPECT_THAT(FilesIn(work_), ElementsAre("logs"));
}

}  // namespace
}  // namespace sim
