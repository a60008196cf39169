#include "core/foundation/preferences.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_date.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/process.h"
#include "core/foundation/property_list.h"
#include "core/foundation/system_path.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace mcom::preferences {
namespace {

using ::testing::IsNull;
using ::testing::NotNull;
using ::testing::Optional;

constexpr char kApplication[] = "com.example.Prefs";

// Writes the any-user preferences of kApplication.
void WriteAnyUserFile(const testing::TemporaryFolder& root, const cf::Ref<cf::Dictionary>& values) {
  root.WriteFile(
      "Library/Preferences/" + std::string(kApplication) + ".plist",
      std::string(cf::PropertyListToData(values, cf::PropertyListFormat::kBinary)->AsStringView()));
}

TEST(PreferencesTest, FilesLiveInTheUsersLibraryUnderTheMachineRoot) {
  EXPECT_EQ(UserPreferencesFolder(0, "root"), FilePath("/private/var/root/Library/Preferences"));
  EXPECT_EQ(UserPreferencesFolder(501, "ada"), FilePath("/Users/ada/Library/Preferences"));

  testing::TemporaryMachineRoot root;
  EXPECT_THAT(AnyUserFile(kApplication),
              Optional(root.Join("Library/Preferences/com.example.Prefs.plist")));
  const std::optional<FilePath> user = CurrentUserFile(kApplication);
  ASSERT_TRUE(user);
  if (::geteuid() == 0) {
    EXPECT_EQ(*user, root.Join("private/var/root/Library/Preferences/com.example.Prefs.plist"));
  } else {
    EXPECT_THAT(user->string(), testing::StartsWith(root.Join("Users/").string()));
  }
  // The current application is this test program, a tool without a bundle identifier.
  EXPECT_EQ(CurrentUserFile(kCurrentApplication)->LastComponent(), "core_foundation_test.plist");
}

TEST(PreferencesTest, BooleansAcceptThePlatformsFormsAndNothingElse) {
  testing::TemporaryMachineRoot root;
  // A missing boolean is empty, not false.
  EXPECT_EQ(GetAppBooleanValue("FirstRunDone", kApplication), std::nullopt);
  EXPECT_THAT(CopyAppValue("FirstRunDone", kApplication), IsNull());
  WriteAnyUserFile(root, cf::Dictionary::Create({"Other"}, {cf::Boolean::True()}));
  EXPECT_EQ(GetAppBooleanValue("FirstRunDone", kApplication), std::nullopt);

  const auto boolean_of = [&](const cf::Ref<cf::Object>& value) {
    EXPECT_FALSE(SetAppValue("Flag", value, kApplication));
    return GetAppBooleanValue("Flag", kApplication);
  };
  EXPECT_THAT(boolean_of(cf::Boolean::True()), Optional(true));
  EXPECT_THAT(boolean_of(cf::Boolean::False()), Optional(false));
  EXPECT_THAT(boolean_of(cf::Number::CreateInteger(0)), Optional(false));
  EXPECT_THAT(boolean_of(cf::Number::CreateInteger(-3)), Optional(true));
  EXPECT_THAT(boolean_of(cf::Number::CreateReal(0.0)), Optional(false));
  EXPECT_THAT(boolean_of(cf::Number::CreateReal(0.25)), Optional(true));
  for (const char* yes : {"true", "YES", "yes", "True"}) {
    EXPECT_THAT(boolean_of(cf::String::Create(yes)), Optional(true)) << yes;
  }
  for (const char* no : {"false", "NO", "no", "FALSE"}) {
    EXPECT_THAT(boolean_of(cf::String::Create(no)), Optional(false)) << no;
  }
  for (const char* invalid : {"1", "0", "y", "maybe", ""}) {
    EXPECT_EQ(boolean_of(cf::String::Create(invalid)), std::nullopt) << invalid;
  }
  EXPECT_EQ(boolean_of(cf::Date::Create(0)), std::nullopt);
  EXPECT_EQ(boolean_of(cf::Array::Create({cf::Boolean::True()})), std::nullopt);
  EXPECT_EQ(boolean_of(cf::Data::Create(std::string("\1"))), std::nullopt);
}

TEST(PreferencesTest, ValuesRoundTripThroughTheUsersFile) {
  testing::TemporaryMachineRoot root;
  const cf::Ref<cf::Object> value = cf::Dictionary::Create(
      {"Size", "Names"},
      {cf::Number::CreateInteger(42),
       cf::Array::Create({cf::String::Create("disk0"), cf::String::Create("disk1")})});
  ASSERT_FALSE(SetAppValue("Recent", value, kApplication));
  ASSERT_FALSE(SetAppValue("Other", cf::Boolean::True(), kApplication));
  EXPECT_TRUE(cf::Equal(CopyAppValue("Recent", kApplication), value));
  EXPECT_TRUE(AppSynchronize(kApplication));

  // A property-list file the platform (and anyone) can read, private to its user.
  const FilePath file = *CurrentUserFile(kApplication);
  const cf::Ref<cf::Dictionary> contents = cf::As<cf::Dictionary>(cf::PropertyListFromFile(file));
  ASSERT_THAT(contents, NotNull());
  EXPECT_EQ(contents->Keys(), (std::vector<std::string>{"Other", "Recent"}));
  struct stat status;
  ASSERT_EQ(::stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  // Nothing else is left in the folder (no temporary files).
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.Parent().string()),
                          std::filesystem::directory_iterator()),
            1);

  // A null value removes the key and keeps the others.
  ASSERT_FALSE(SetAppValue("Recent", nullptr, kApplication));
  EXPECT_THAT(CopyAppValue("Recent", kApplication), IsNull());
  EXPECT_THAT(GetAppBooleanValue("Other", kApplication), Optional(true));
}

TEST(PreferencesTest, TheUsersValuesComeBeforeTheMachinesOnes) {
  testing::TemporaryMachineRoot root;
  WriteAnyUserFile(root, cf::Dictionary::Create({"Shared", "Flag"}, {cf::String::Create("machine"),
                                                                     cf::Boolean::True()}));
  EXPECT_THAT(GetAppBooleanValue("Flag", kApplication), Optional(true));
  ASSERT_FALSE(SetAppValue("Flag", cf::Boolean::False(), kApplication));
  EXPECT_THAT(GetAppBooleanValue("Flag", kApplication), Optional(false));
  EXPECT_EQ(cf::ToStdString(cf::As<cf::String>(CopyAppValue("Shared", kApplication))), "machine");

  // An unreadable user file hides nothing, and the next write replaces it.
  root.WriteFile(CurrentUserFile(kApplication)->string().substr(root.path().string().size() + 1),
                 "<plist><dict><key>cut");
  EXPECT_THAT(GetAppBooleanValue("Flag", kApplication), Optional(true));
  ASSERT_FALSE(SetAppValue("New", cf::Boolean::True(), kApplication));
  EXPECT_THAT(GetAppBooleanValue("New", kApplication), Optional(true));
}

TEST(PreferencesTest, RefusesIdentifiersKeysAndValuesItCannotStore) {
  testing::TemporaryMachineRoot root;
  for (const char* identifier : {"", ".", "..", "../evil", "a/b"}) {
    EXPECT_EQ(SetAppValue("Key", cf::Boolean::True(), identifier),
              std::make_error_code(std::errc::invalid_argument))
        << identifier;
    EXPECT_THAT(CopyAppValue("Key", identifier), IsNull());
    EXPECT_FALSE(AppSynchronize(identifier));
  }
  EXPECT_EQ(SetAppValue("\xFF", cf::Boolean::True(), kApplication),
            std::make_error_code(std::errc::invalid_argument));
  ASSERT_FALSE(SetAppValue("Kept", cf::Boolean::True(), kApplication));
  EXPECT_EQ(SetAppValue("URL", cf::URLFromPath(FilePath("/tmp"), true), kApplication),
            std::make_error_code(std::errc::invalid_argument));
  EXPECT_THAT(GetAppBooleanValue("Kept", kApplication), Optional(true));
  EXPECT_FALSE(std::filesystem::exists(root.Join("evil.plist").string()));
}

// Sets keys "<prefix>-0" ... "<prefix>-<count - 1>" under the machine root given first.
DORVANE_TEST_CHILD(set_preferences) {
  if (arguments.size() != 3) return 2;
  SetSystemRoot(FilePath(arguments[0]));
  const int count = std::stoi(arguments[2]);
  for (int index = 0; index < count; ++index) {
    const std::string key = arguments[1] + "-" + std::to_string(index);
    if (SetAppValue(key, cf::Number::CreateInteger(index), kApplication)) return 1;
  }
  return 0;
}

TEST(PreferencesTest, ConcurrentWritersInSeveralProcessesLoseNothing) {
  testing::TemporaryMachineRoot root;
  constexpr int kWriters = 4;
  constexpr int kKeys = 25;
  const std::string program = testing::TestBinary();
  std::vector<pid_t> children;
  for (int writer = 0; writer < kWriters; ++writer) {
    const Result<pid_t> child = SpawnProcess(
        program.c_str(),
        testing::ChildArguments(
            "set_preferences",
            {root.path().string(), "writer" + std::to_string(writer), std::to_string(kKeys)}),
        FileActions());
    ASSERT_TRUE(child);
    children.push_back(*child);
  }
  for (const pid_t child : children) EXPECT_FALSE(WaitForProcess(child));
  for (int writer = 0; writer < kWriters; ++writer) {
    for (int index = 0; index < kKeys; ++index) {
      const std::string key = "writer" + std::to_string(writer) + "-" + std::to_string(index);
      EXPECT_THAT(cf::As<cf::Number>(CopyAppValue(key, kApplication)), NotNull()) << key;
    }
  }
}

}  // namespace
}  // namespace mcom::preferences
