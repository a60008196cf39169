#include "platform/iokit/registry_file_linux.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/file.h"
#include "core/foundation/system_path.h"
#include "tests/support/registry_builder.h"
#include "tests/support/temporary_folder.h"

namespace {

using platform::iokit_internal::CurrentRegistry;
using platform::iokit_internal::RegistryParseCountForTesting;
using platform::iokit_internal::RegistrySnapshot;
using testing::HasSubstr;
using testing::RegistryBuilder;

constexpr const char* kRegistry = "private/var/db/macsim/registry.plist";

std::shared_ptr<const RegistrySnapshot> Current() {
  std::shared_ptr<const RegistrySnapshot> registry;
  EXPECT_EQ(CurrentRegistry(&registry), platform::kIOReturnSuccess);
  return registry;
}

// A registry of the root and `count` services.
void WriteRegistry(int count) {
  RegistryBuilder registry;
  for (int index = 0; index < count; ++index) {
    registry.Add(registry.root(), "IOService", std::string("s").append(std::to_string(index)));
  }
  ASSERT_TRUE(registry.WriteToMachine());
}

TEST(RegistryFile, ParsesABurstOfQueriesOnce) {
  testing::TemporaryMachineRoot root;
  WriteRegistry(3);
  const size_t before = RegistryParseCountForTesting();
  const auto first = Current();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->entries().size(), 4u);
  for (int query = 0; query < 20; ++query) EXPECT_EQ(Current(), first);
  EXPECT_EQ(RegistryParseCountForTesting(), before + 1);

  // A new version of the file (renamed into place) is read again, once.
  WriteRegistry(5);
  const auto second = Current();
  EXPECT_NE(second, first);
  EXPECT_EQ(second->entries().size(), 6u);
  EXPECT_EQ(Current(), second);
  EXPECT_EQ(RegistryParseCountForTesting(), before + 2);
  // The registry handed out before stays as it was.
  EXPECT_EQ(first->entries().size(), 4u);
}

TEST(RegistryFile, NoticesAFileRewrittenInPlace) {
  testing::TemporaryMachineRoot root;
  WriteRegistry(1);
  const auto first = Current();
  // Same inode, other size and time.
  RegistryBuilder registry;
  registry.Add(registry.root(), "IOService", "longer name than before");
  root.WriteFile(kRegistry, registry.ToXML());
  const auto second = Current();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->entries().back().name, "longer name than before");
}

TEST(RegistryFile, FollowsTheMachineRootAndIsEmptyWithoutAMachine) {
  testing::TemporaryMachineRoot first_root;
  WriteRegistry(1);
  EXPECT_EQ(Current()->entries().size(), 2u);
  {
    testing::TemporaryMachineRoot second_root;
    WriteRegistry(2);
    EXPECT_EQ(Current()->entries().size(), 3u);
  }
  EXPECT_EQ(Current()->entries().size(), 2u);

  // A root without a machine has an empty registry.
  testing::TemporaryMachineRoot root;
  EXPECT_TRUE(Current()->entries().empty());
  // A machine root that is not a folder at all is no machine either.
  const mcom::FilePath file = root.WriteFile("plain", "x");
  mcom::SetSystemRoot(file);
  EXPECT_TRUE(Current()->entries().empty());
}

TEST(RegistryFile, RefusesFilesThatAreNoRegistryAndSaysWhyOnce) {
  testing::TemporaryMachineRoot root;
  ASSERT_FALSE(mcom::MakePath(root.Join("private/var/log")));
  root.WriteFile(kRegistry, "<?xml version=\"1.0\"?><plist><string>x</string></plist>");
  const size_t before = RegistryParseCountForTesting();
  for (int query = 0; query < 3; ++query) {
    std::shared_ptr<const RegistrySnapshot> registry = RegistrySnapshot::Empty();
    EXPECT_EQ(CurrentRegistry(&registry), platform::kIOReturnError);
    EXPECT_EQ(registry, nullptr);
  }
  EXPECT_EQ(RegistryParseCountForTesting(), before + 1);
  const std::string log =
      testing::TemporaryFolder::ReadFile(root.Join("private/var/log/system.log"));
  std::string line = "<Error>: registry ";
  line += root.Join(kRegistry).string();
  line += " cannot be used: the top level is neither an entry nor an array of entries\n";
  EXPECT_THAT(log, HasSubstr(line));
  EXPECT_EQ(log.find(line), log.rfind(line));
}

TEST(RegistryFile, RefusesWhatIsNoRegularFileOrTooLarge) {
  testing::TemporaryMachineRoot root;
  ASSERT_FALSE(mcom::MakePath(root.Join(kRegistry)));  // a folder in its place
  std::shared_ptr<const RegistrySnapshot> registry;
  EXPECT_EQ(CurrentRegistry(&registry), platform::kIOReturnError);
  ASSERT_EQ(rmdir(root.Join(kRegistry).c_str()), 0);

  // A sparse file beyond the limit is refused before anything is read.
  const mcom::FilePath path = root.WriteFile(kRegistry, "");
  ASSERT_EQ(truncate(path.c_str(), (off_t{256} << 20) + 1), 0);
  EXPECT_EQ(CurrentRegistry(&registry), platform::kIOReturnError);
}

TEST(RegistryFile, ReadsWholeVersionsWhileTheMachineReplacesTheFile) {
  // One thread keeps replacing the registry (1 or 2 services, atomically); the readers must
  // only ever see one version or the other, never an error or a mixture.
  testing::TemporaryMachineRoot root;
  WriteRegistry(1);
  RegistryBuilder one;
  one.Add(one.root(), "IOService", "only");
  RegistryBuilder two;
  two.Add(two.root(), "IOService", "first");
  two.Add(two.root(), "IOService", "second");

  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int reader = 0; reader < 2; ++reader) {
    readers.emplace_back([&] {
      while (!done) {
        std::shared_ptr<const RegistrySnapshot> registry;
        if (CurrentRegistry(&registry) != 0 || registry == nullptr) {
          ++bad;
          continue;
        }
        const size_t size = registry->entries().size();
        if (size != 2 && size != 3) ++bad;
      }
    });
  }
  for (int change = 0; change < 200; ++change) {
    if (!(change % 2 == 0 ? two : one).WriteToMachine()) ++bad;
  }
  done = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
