#include "app/cli/log_archive.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <filesystem>

#include "core/foundation/error.h"
#include "core/foundation/interruption.h"
#include "tests/support/temporary_folder.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;

std::vector<std::string> Names(const testing::TemporaryFolder& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path().string())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The archive takes its name only whole: an interruption, or a file that appeared at the path
// meanwhile, leaves the folder as it was.
TEST(LogArchive, TakesItsNameOnlyWholeAndNeverOverAFileUnasked) {
  testing::TemporaryFolder folder;
  const mcom::FilePath source = folder.WriteFile("source", "PK archive");
  mcom::Result<mcom::File> archive = mcom::Open(source, mcom::kOpenRead);
  ASSERT_TRUE(archive);
  const mcom::FilePath path = folder.Join("Logs.zip");

  EXPECT_EQ(WhyTheArchiveCannotGoTo(folder.path().string(), false),
            "--to needs the path of the archive file to write, not a folder: '" +
                folder.path().string() + "'");
  EXPECT_THAT(WhyTheArchiveCannotGoTo(folder.Join("missing/Logs.zip").string(), true),
              testing::Optional(HasSubstr("no folder")));
  EXPECT_EQ(WhyTheArchiveCannotGoTo(path.string(), false), std::nullopt);

  mcom::SimulateInterruptionForTesting(SIGINT);
  EXPECT_THROW(SaveLogArchive(*archive, path, false), Error);
  mcom::ResetInterruptionForTesting();
  EXPECT_THAT(Names(folder), ElementsAre("source"));

  // Read from the start, wherever the descriptor stood.
  SaveLogArchive(*archive, path, false);
  SaveLogArchive(*archive, folder.Join("Copy.zip"), false);
  EXPECT_EQ(testing::TemporaryFolder::ReadFile(folder.Join("Copy.zip")), "PK archive");

  folder.WriteFile("Logs.zip", "earlier");
  EXPECT_THAT(WhyTheArchiveCannotGoTo(path.string(), false),
              testing::Optional(HasSubstr("exists; --force replaces it")));
  try {
    SaveLogArchive(*archive, path, false);
    ADD_FAILURE() << "an existing file was replaced";
  } catch (const Error& error) {
    EXPECT_THAT(error.message(), HasSubstr("appeared meanwhile"));
  }
  EXPECT_EQ(testing::TemporaryFolder::ReadFile(path), "earlier");
  SaveLogArchive(*archive, path, true);
  EXPECT_EQ(testing::TemporaryFolder::ReadFile(path), "PK archive");
  EXPECT_THAT(Names(folder), ElementsAre("Copy.zip", "Logs.zip", "source"));
}

}  // namespace
