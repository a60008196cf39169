#include "core/foundation/bundle.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/property_list.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace mcom::cf {
namespace {

using ::testing::IsNull;
using ::testing::NotNull;
using ::testing::Optional;

std::string InfoPlist(const std::vector<std::string>& keys,
                      const std::vector<Ref<Object>>& values) {
  return std::string(PropertyListToData(Dictionary::Create(keys, values), PropertyListFormat::kXML)
                         ->AsStringView());
}

// X.app/Contents/{Info.plist, MacOS/Runner, Resources/} in `folder`.
FilePath MakeApplication(const testing::TemporaryFolder& folder, const std::string& info) {
  folder.WriteFile("X.app/Contents/Info.plist", info);
  folder.WriteFile("X.app/Contents/MacOS/Runner", "#!/bin/sh\n");
  std::filesystem::create_directories(folder.Join("X.app/Contents/Resources").string());
  return folder.Join("X.app");
}

std::string ApplicationInfo() {
  return InfoPlist(
      {"CFBundleExecutable", "CFBundleIdentifier", "SMPrivilegedExecutables"},
      {String::Create("Runner"), String::Create("com.example.X"),
       Dictionary::Create({"com.example.X.helper"}, {String::Create("anchor apple generic")})});
}

TEST(BundleTest, ReadsAnApplicationBundle) {
  testing::TemporaryFolder folder;
  const FilePath application = MakeApplication(folder, ApplicationInfo());
  const Ref<Bundle> bundle = Bundle::Create(URLFromPath(application, true));
  ASSERT_THAT(bundle, NotNull());
  EXPECT_THAT(bundle->Identifier(), Optional(std::string("com.example.X")));
  EXPECT_THAT(GetString(As<Dictionary>(bundle->GetValue("SMPrivilegedExecutables")),
                        "com.example.X.helper"),
              Optional(std::string("anchor apple generic")));
  EXPECT_EQ(bundle->InfoDictionary()->Count(), 3u);
  EXPECT_EQ(bundle->BundleURL()->path(), application);
  EXPECT_TRUE(bundle->BundleURL()->is_directory());
  EXPECT_EQ(bundle->ExecutableURL()->path(), application.Join("Contents/MacOS/Runner"));
  EXPECT_FALSE(bundle->ExecutableURL()->is_directory());
  EXPECT_EQ(bundle->ResourcesURL()->path(), application.Join("Contents/Resources"));
}

TEST(BundleTest, FindsTheExecutableOnlyWhereItIs) {
  testing::TemporaryFolder folder;
  // Without CFBundleExecutable the folder's name stands in.
  const FilePath unnamed = MakeApplication(folder, InfoPlist({}, {}));
  EXPECT_THAT(Bundle::Create(URLFromPath(unnamed, true))->ExecutableURL(), IsNull());
  folder.WriteFile("X.app/Contents/MacOS/X", "");
  EXPECT_EQ(Bundle::Create(URLFromPath(unnamed, true))->ExecutableURL()->path(),
            unnamed.Join("Contents/MacOS/X"));

  // A name that would lead out of the bundle is not followed.
  folder.WriteFile(
      "Y.app/Contents/Info.plist",
      InfoPlist({"CFBundleExecutable"}, {String::Create("../../X.app/Contents/MacOS/X")}));
  EXPECT_THAT(Bundle::Create(URLFromPath(folder.Join("Y.app"), true))->ExecutableURL(), IsNull());
  folder.WriteFile("Z.app/Contents/Info.plist",
                   InfoPlist({"CFBundleExecutable"}, {String::Create("..")}));
  EXPECT_THAT(Bundle::Create(URLFromPath(folder.Join("Z.app"), true))->ExecutableURL(), IsNull());
}

TEST(BundleTest, FolderWithoutContentsIsAFlatBundle) {
  testing::TemporaryFolder folder;
  folder.WriteFile("Tool.bundle/Info.plist",
                   InfoPlist({"CFBundleExecutable"}, {String::Create("tool")}));
  folder.WriteFile("Tool.bundle/tool", "");
  const Ref<Bundle> bundle = Bundle::Create(URLFromPath(folder.Join("Tool.bundle"), true));
  ASSERT_THAT(bundle, NotNull());
  EXPECT_EQ(bundle->ExecutableURL()->path(), folder.Join("Tool.bundle/tool"));
  EXPECT_EQ(bundle->ResourcesURL()->path(), folder.Join("Tool.bundle"));
}

TEST(BundleTest, AFolderIsABundleEvenWithoutUsableInformation) {
  testing::TemporaryFolder folder;
  folder.WriteFile("Broken.app/Contents/Info.plist", "<plist><dict><key>cut");
  const Ref<Bundle> broken = Bundle::Create(URLFromPath(folder.Join("Broken.app"), true));
  ASSERT_THAT(broken, NotNull());
  ASSERT_THAT(broken->InfoDictionary(), NotNull());
  EXPECT_EQ(broken->InfoDictionary()->Count(), 0u);
  EXPECT_EQ(broken->Identifier(), std::nullopt);
  EXPECT_THAT(broken->GetValue("CFBundleIdentifier"), IsNull());

  EXPECT_THAT(Bundle::Create(URLFromPath(folder.Join("Missing.app"), true)), IsNull());
  EXPECT_THAT(Bundle::Create(URLFromPath(folder.WriteFile("file", ""), false)), IsNull());
  EXPECT_THAT(Bundle::Create(nullptr), IsNull());
}

TEST(BundleTest, TheBundleOfAnExecutableIsItsApplicationOrItsFolder) {
  testing::TemporaryFolder folder;
  const FilePath application = MakeApplication(folder, ApplicationInfo());
  const Ref<Bundle> in_application =
      Bundle::CreateForExecutable(application.Join("Contents/MacOS/Runner"));
  ASSERT_THAT(in_application, NotNull());
  EXPECT_EQ(in_application->BundleURL()->path(), application);
  EXPECT_THAT(in_application->Identifier(), Optional(std::string("com.example.X")));

  const FilePath tool = folder.WriteFile("usr/local/bin/tool", "");
  const Ref<Bundle> bare = Bundle::CreateForExecutable(tool);
  ASSERT_THAT(bare, NotNull());
  EXPECT_EQ(bare->BundleURL()->path(), folder.Join("usr/local/bin"));
  EXPECT_EQ(bare->ExecutableURL()->path(), tool);
  EXPECT_EQ(bare->InfoDictionary()->Count(), 0u);

  EXPECT_THAT(Bundle::CreateForExecutable(FilePath()), IsNull());
}

DORVANE_TEST_CHILD(print_main_bundle) {
  const Ref<Bundle> bundle = Bundle::MainBundle();
  if (!bundle) return 1;
  std::printf("%s\n%s\n%s\n", bundle->BundleURL()->path().c_str(),
              bundle->ExecutableURL()->path().c_str(), bundle->Identifier().value_or("").c_str());
  return 0;
}

TEST(BundleTest, TheMainBundleIsTheApplicationTheProcessRunsFrom) {
  testing::TemporaryFolder folder;
  const FilePath application = MakeApplication(folder, ApplicationInfo());
  const FilePath runner = application.Join("Contents/MacOS/Runner");
  std::filesystem::remove(runner.string());
  std::error_code error;
  std::filesystem::create_hard_link(testing::TestBinary(), runner.string(), error);
  if (error) std::filesystem::copy_file(testing::TestBinary(), runner.string());

  const testing::ChildRun run =
      testing::RunCapturing(runner.string(), testing::ChildArguments("print_main_bundle"));
  EXPECT_FALSE(run.status) << run.status.message();
  EXPECT_EQ(run.output, application.string() + "\n" + runner.string() + "\ncom.example.X\n");

  // The test binary itself is a bare tool: its folder, no identifier.
  const Ref<Bundle> main = Bundle::MainBundle();
  ASSERT_THAT(main, NotNull());
  EXPECT_EQ(main->BundleURL()->path(), FilePath(testing::TestBinary()).Parent());
  EXPECT_EQ(main->ExecutableURL()->path(), FilePath(testing::TestBinary()));
  EXPECT_EQ(main->Identifier(), std::nullopt);
  EXPECT_TRUE(main.SameObject(Bundle::MainBundle()));
}

}  // namespace
}  // namespace mcom::cf
