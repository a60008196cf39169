#include <gmock/gmock.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "platform/mach_error.h"

namespace {

using ::testing::StartsWith;

platform::mach_error_t Status(uint32_t bits) { return static_cast<platform::mach_error_t>(bits); }

// Null pointers are compared as an absent text, never turned into a string.
std::optional<std::string> Text(uint32_t bits) {
  const char* text = platform::MachErrorString(Status(bits));
  return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

// Each row: the status's bits, as the platform's headers write them, and its text (null: the
// platform has none).
void ExpectTexts(std::initializer_list<std::pair<uint32_t, const char*>> cases) {
  for (const auto& [code, text] : cases) {
    const std::optional<std::string> expected =
        text != nullptr ? std::optional<std::string>(text) : std::nullopt;
    EXPECT_EQ(Text(code), expected) << "code 0x" << std::hex << code;
  }
}

// Every code from `first` to `last` has a text of its table, which starts with `prefix`.
void ExpectRun(uint32_t first, uint32_t last, const std::string& prefix) {
  for (uint32_t code = first; code <= last; ++code) {
    EXPECT_THAT(Text(code), ::testing::Optional(StartsWith(prefix))) << std::hex << code;
  }
}

constexpr uint32_t Negative(int32_t value) { return static_cast<uint32_t>(value); }

TEST(MachErrorString, KernelAndMessageStatusesToTheEndsOfTheirTables) {
  ExpectRun(1, 56, "(os/kern) ");
  ExpectRun(0x10000000, 0x10000016, "(ipc/send) ");
  ExpectRun(0x10004000, 0x10004010, "(ipc/rcv) ");
  ExpectTexts({
      {0, "(os/kern) successful"},
      {5, "(os/kern) failure"},
      {56, "(os/kern) result not found"},
      {57, "unknown error code"},
      {0x10000003, "(ipc/send) invalid destination port"},
      {0x10000016, "(ipc/send) destination does not accept OOL ports"},
      {0x10000017, "unknown error code"},
      {0x10004003, "(ipc/rcv) timed out"},
      {0x10004010, "(ipc/rcv) DIPC transport error"},
      {0x10004011, "unknown error code"},
      {0x10003fff, "unknown error code"},
      // Kernel subsystems 1 and 2 exist without texts; bootstrap statuses are plain kernel
      // codes past the kernel's table.
      {0x00004000, "unknown error code"},
      {0x00008000, "unknown error code"},
      {1100, "unknown error code"},
      {1106, "unknown error code"},
  });
}

TEST(MachErrorString, MigStatusesAreRemappedIntoTheirTable) {
  ExpectRun(0x10008000, 0x10008009, "(ipc/mig) ");
  ExpectTexts({
      {Negative(-300), "(ipc/mig) client type check failure"},
      {Negative(-308), "(ipc/mig) server died"},
      {Negative(-309), "(ipc/mig) unknown trailer format"},
      {Negative(-310), "unknown error code"},
      {Negative(-399), "unknown error code"},
      // The table is reached directly too: system 4, subsystem 2.
      {0x10008000, "(ipc/mig) client type check failure"},
      {0x1000800a, "unknown error code"},
  });
  for (int32_t mig = -309; mig <= -300; ++mig) {
    EXPECT_EQ(Text(Negative(mig)), Text(0x10008000 + static_cast<uint32_t>(-300 - mig))) << mig;
  }
}

TEST(MachErrorString, OtherRemappedRangesAndTheirEdges) {
  // Old ipc/send and ipc/rcv, server/netname, env_mgr and execd: their subsystems exist (so
  // the code is unknown rather than the subsystem).
  for (int32_t code : {-100, -199, -200, -299, 1000, 1099, 1600, 1699, 27600, 27699}) {
    EXPECT_EQ(Text(Negative(code)), "unknown error code") << code;
  }
  // Just outside: small negatives and -400 are system 0x3f, which has no table.
  ExpectTexts({{Negative(-99), nullptr}, {Negative(-400), nullptr}, {Negative(-1), nullptr}});
}

TEST(MachErrorString, UnixAndIokitCommonCodes) {
  ExpectRun(0xC001, 0xC045, "(os/unix) ");
  // The iokit table is sparse: a run of one, then 0x2bc to 0x2f0.
  ExpectRun(0xe00002bc, 0xe00002f0, "(iokit/common) ");
  ExpectTexts({
      {0xC000, "unknown error code"},
      {0xC001, "(os/unix) no rights to object"},
      {0xC010, "(os/unix) mount device busy"},
      {0xC02A, "(os/unix) protocol type is not availaible"},
      {0xC045, "(os/unix) quota on available disk space exceeded"},
      {0xC046, "unknown error code"},
      {0xe0000001, "(iokit/common) invalid - should never be seen"},
      {0xe00002bc, "(iokit/common) general error"},
      {0xe00002c2, "(iokit/common) invalid argument"},
      {0xe00002e2, "(iokit/common) not permitted"},
      {0xe00002f0, "(iokit/common) data was not found"},
      {0xe0000000, "unknown error code"},
      {0xe0000002, "unknown error code"},
      {0xe00002bb, "unknown error code"},
      {0xe00002f1, "unknown error code"},
      {0xe0003fff, "unknown error code"},
  });
}

TEST(MachErrorString, SubsystemsAndSystemsWithoutTexts) {
  ExpectTexts({
      // Known iokit subsystems without a table of their own, and unknown ones.
      {0xe0010000, "unknown error code"},  // (iokit/blkstorage)
      {0xe00102c2, "unknown error code"},
      {0xe0014000, "unknown error code"},                 // (iokit/graphics)
      {0xe0024000, "unknown error code"},                 // (iokit/pmu)
      {0xe3ff8000, "unknown error code"},                 // (iokit/vendor)
      {0xe3ffc000, "unknown error code"},                 // (iokit/reserved)
      {0xe0028000, "(iokit/?) unknown subsystem error"},  // 10, past pmu
      {0xe0084000, "(iokit/?) unknown subsystem error"},  // sub_iokit_apfs
      {0xe3ff4000, "(iokit/?) unknown subsystem error"},  // 0xffd, just below vendor
      // Unknown subsystems get their system's text.
      {0x00010000, "(operating system/?) unknown subsystem error"},
      {0x04000000, "(user space/?) unknown subsystem error"},
      {0x0800c000, "(server/?) unknown subsystem error"},
      {0x0c008000, "(ipc/?) unknown subsystem error"},
      {0x1000c000, "(ipc/?) unknown subsystem error"},
      {0x1c000000, "(vm/?) unknown subsystem error"},
      {0xdc000000, "(libkern/?) unknown subsystem error"},
      // err_vm of the headers (8) is not where the vm table sits (7); 0x3f, the old ipc
      // compatibility system, has none either.
      {0x20000000, nullptr},
      {0x14000000, nullptr},
      {0x18000000, nullptr},
      {0xD8000000, nullptr},
      {0xFC000000, nullptr},
      {0xFFFFFFFF, nullptr},
  });
  // Every DiskArbitration status: err_local (0x3e) has no table.
  for (uint32_t code = 0xF8DA0000; code <= 0xF8DA000C; ++code) {
    EXPECT_EQ(Text(code), std::nullopt) << std::hex << code;
  }
}

TEST(DiskArbitrationErrorString, NamesEachStatusAndNothingElse) {
  std::set<std::string> texts;
  for (uint32_t code = 0xF8DA0001; code <= 0xF8DA000C; ++code) {
    const char* text = platform::DiskArbitrationErrorString(Status(code));
    ASSERT_NE(text, nullptr) << std::hex << code;
    EXPECT_THAT(text, StartsWith("(disk arbitration) "));
    EXPECT_TRUE(texts.insert(text).second) << text;
  }
  EXPECT_STREQ(platform::DiskArbitrationErrorString(Status(0xF8DA0001)),
               "(disk arbitration) error");
  EXPECT_STREQ(platform::DiskArbitrationErrorString(Status(0xF8DA0007)),
               "(disk arbitration) not mounted");
  EXPECT_STREQ(platform::DiskArbitrationErrorString(Status(0xF8DA000C)),
               "(disk arbitration) unsupported");
  for (uint32_t code : {0u, 0xF8DA0000u, 0xF8DA000Du, 0xF8DB0001u, 0xF8D90001u, 0xC010u,
                        0xe00002bcu, 0x10000003u}) {
    EXPECT_EQ(platform::DiskArbitrationErrorString(Status(code)), nullptr) << std::hex << code;
  }
}

}  // namespace
