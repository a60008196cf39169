#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/mach_error.h"

namespace {

struct Case {
  uint32_t code;     // the status's bits, as the platform's headers write them
  const char* text;  // null: the platform has no text
};

platform::mach_error_t Status(uint32_t bits) { return static_cast<platform::mach_error_t>(bits); }

// Null pointers are compared as an absent text, never turned into a string.
std::optional<std::string> Text(uint32_t bits) {
  const char* text = platform::MachErrorString(Status(bits));
  return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

void ExpectTexts(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    const std::optional<std::string> expected =
        c.text != nullptr ? std::optional<std::string>(c.text) : std::nullopt;
    EXPECT_EQ(Text(c.code), expected)
        << "code 0x" << std::hex << c.code << " (" << std::dec << Status(c.code) << ")";
  }
}

constexpr uint32_t Negative(int32_t value) { return static_cast<uint32_t>(value); }

TEST(MachErrorString, MessageAndBootstrapStatuses) {
  ExpectTexts({
      {0, "(os/kern) successful"},
      {0x10000002, "(ipc/send) invalid data"},
      {0x10000003, "(ipc/send) invalid destination port"},
      {0x10000004, "(ipc/send) timed out"},
      {0x10000010, "(ipc/send) invalid msg-header"},
      {0x10004002, "(ipc/rcv) invalid name"},
      {0x10004003, "(ipc/rcv) timed out"},
      {0x10004004, "(ipc/rcv) msg too large"},
      {0x10004009, "(ipc/rcv) port died"},
      {0x10000013, "(ipc/send) unused error"},
      {0x10000017, "unknown error code"},
      {0x10004011, "unknown error code"},
      // Bootstrap statuses are plain kernel codes past the kernel's table.
      {1100, "unknown error code"},
      {1101, "unknown error code"},
      {1102, "unknown error code"},
      {1103, "unknown error code"},
      {1104, "unknown error code"},
      {1105, "unknown error code"},
      {1106, "unknown error code"},
  });
}

TEST(MachErrorString, TablesEndWhereThePlatformsDo) {
  ExpectTexts({
      {1, "(os/kern) invalid address"},
      {5, "(os/kern) failure"},
      {34, "(os/kern) invalid memory control"},
      {56, "(os/kern) result not found"},
      {57, "unknown error code"},
      {0x10000000, "(ipc/send) no error"},
      {0x10000015, "(ipc/send) out-of-line buffer too large"},
      {0x10000016, "(ipc/send) destination does not accept OOL ports"},
      {0x10004000, "(ipc/rcv) no error"},
      {0x10004010, "(ipc/rcv) DIPC transport error"},
      {0x10003fff, "unknown error code"},
      // Kernel subsystems 1 and 2 exist without texts.
      {0x00004000, "unknown error code"},
      {0x00008000, "unknown error code"},
  });
}

TEST(MachErrorString, MigStatusesAreRemappedIntoTheirTable) {
  ExpectTexts({
      {Negative(-300), "(ipc/mig) client type check failure"},
      {Negative(-301), "(ipc/mig) wrong reply message ID"},
      {Negative(-302), "(ipc/mig) server detected error"},
      {Negative(-303), "(ipc/mig) bad request message ID"},
      {Negative(-304), "(ipc/mig) server type check failure"},
      {Negative(-305), "(ipc/mig) no reply should be sent"},
      {Negative(-306), "(ipc/mig) server raised exception"},
      {Negative(-307), "(ipc/mig) array not large enough"},
      {Negative(-308), "(ipc/mig) server died"},
      {Negative(-309), "(ipc/mig) unknown trailer format"},
      {Negative(-310), "unknown error code"},
      {Negative(-399), "unknown error code"},
      // The table is reached directly too: system 4, subsystem 2.
      {0x10008000, "(ipc/mig) client type check failure"},
      {0x10008009, "(ipc/mig) unknown trailer format"},
      {0x1000800a, "unknown error code"},
  });
}

TEST(MachErrorString, OtherRemappedRangesAndTheirEdges) {
  ExpectTexts({
      // Old ipc/send and ipc/rcv, server/netname, env_mgr and execd: their subsystems exist
      // (so the code is unknown rather than the subsystem).
      {Negative(-100), "unknown error code"},
      {Negative(-199), "unknown error code"},
      {Negative(-200), "unknown error code"},
      {Negative(-299), "unknown error code"},
      {1000, "unknown error code"},
      {1099, "unknown error code"},
      {1600, "unknown error code"},
      {1699, "unknown error code"},
      {27600, "unknown error code"},
      {27699, "unknown error code"},
      // Just outside: small negatives and -400 are system 0x3f, which has no table.
      {Negative(-99), nullptr},
      {Negative(-400), nullptr},
      {Negative(-1), nullptr},
  });
}

TEST(MachErrorString, UnixErrCodes) {
  ExpectTexts({
      {0xC000, "unknown error code"},
      {0xC001, "(os/unix) no rights to object"},
      {0xC002, "(os/unix) file or directory does not exist"},
      {0xC00D, "(os/unix) access denied"},
      {0xC010, "(os/unix) mount device busy"},
      {0xC01E, "(os/unix) read-only file system"},
      {0xC023, "(os/unix) operation on device would block"},
      {0xC02A, "(os/unix) protocol type is not availaible"},
      {0xC03B, "(os/unix) too many references; can't splice"},
      {0xC045, "(os/unix) quota on available disk space exceeded"},
      {0xC046, "unknown error code"},
  });
}

TEST(MachErrorString, IokitCommonCodes) {
  ExpectTexts({
      {0xe0000001, "(iokit/common) invalid - should never be seen"},
      {0xe00002bc, "(iokit/common) general error"},
      {0xe00002bd, "(iokit/common) can't allocate memory"},
      {0xe00002be, "(iokit/common) resource shortage"},
      {0xe00002bf, "(iokit/common) error during IPC"},
      {0xe00002c0, "(iokit/common) no such device"},
      {0xe00002c1, "(iokit/common) privilege violation"},
      {0xe00002c2, "(iokit/common) invalid argument"},
      {0xe00002c3, "(iokit/common) device read locked"},
      {0xe00002c4, "(iokit/common) device write locked"},
      {0xe00002c5, "(iokit/common) exclusive access and device already open"},
      {0xe00002c6, "(iokit/common) sent/received messages had different msg_id"},
      {0xe00002c7, "(iokit/common) unsupported function"},
      {0xe00002c8, "(iokit/common) misc. VM failure"},
      {0xe00002c9, "(iokit/common) internal error"},
      {0xe00002ca, "(iokit/common) General I/O error"},
      {0xe00002cb, "(iokit/common) ???"},
      {0xe00002cc, "(iokit/common) can't acquire lock"},
      {0xe00002cd, "(iokit/common) device not open"},
      {0xe00002ce, "(iokit/common) read not supported"},
      {0xe00002cf, "(iokit/common) write not supported"},
      {0xe00002d0, "(iokit/common) alignment error"},
      {0xe00002d1, "(iokit/common) Media Error"},
      {0xe00002d2, "(iokit/common) device(s) still open"},
      {0xe00002d3, "(iokit/common) rld failure"},
      {0xe00002d4, "(iokit/common) DMA failure"},
      {0xe00002d5, "(iokit/common) Device Busy"},
      {0xe00002d6, "(iokit/common) I/O Timeout"},
      {0xe00002d7, "(iokit/common) device offline"},
      {0xe00002d8, "(iokit/common) not ready"},
      {0xe00002d9, "(iokit/common) device not attached"},
      {0xe00002da, "(iokit/common) no DMA channels left"},
      {0xe00002db, "(iokit/common) no space for data"},
      {0xe00002dd, "(iokit/common) port already exists"},
      {0xe00002de, "(iokit/common) can't wire down physical memory"},
      {0xe00002df, "(iokit/common) no interrupt attached"},
      {0xe00002e0, "(iokit/common) no DMA frames enqueued"},
      {0xe00002e1, "(iokit/common) oversized msg received on interrupt port"},
      {0xe00002e2, "(iokit/common) not permitted"},
      {0xe00002e3, "(iokit/common) no power to device"},
      {0xe00002e4, "(iokit/common) media not present"},
      {0xe00002e5, "(iokit/common) media not formatted"},
      {0xe00002e6, "(iokit/common) no such mode"},
      {0xe00002e7, "(iokit/common) data underrun"},
      {0xe00002e8, "(iokit/common) data overrun"},
      {0xe00002e9, "(iokit/common) the device is not working properly!"},
      {0xe00002ea, "(iokit/common) a completion routine is required"},
      {0xe00002eb, "(iokit/common) operation aborted"},
      {0xe00002ec, "(iokit/common) bus bandwidth would be exceeded"},
      {0xe00002ed, "(iokit/common) device not responding"},
      {0xe00002ee, "(iokit/common) isochronous I/O request for distant past!"},
      {0xe00002ef, "(iokit/common) isochronous I/O request for distant future"},
      {0xe00002f0, "(iokit/common) data was not found"},
      // Outside the two runs of the sparse table.
      {0xe0000000, "unknown error code"},
      {0xe0000002, "unknown error code"},
      {0xe00002bb, "unknown error code"},
      {0xe00002f1, "unknown error code"},
      {0xe0003fff, "unknown error code"},
  });
}

TEST(MachErrorString, IokitSubsystems) {
  ExpectTexts({
      {0xe0010000, "unknown error code"},  // (iokit/blkstorage)
      {0xe00102c2, "unknown error code"},
      {0xe0014000, "unknown error code"},                 // (iokit/graphics)
      {0xe0024000, "unknown error code"},                 // (iokit/pmu)
      {0xe3ff8000, "unknown error code"},                 // (iokit/vendor)
      {0xe3ffc000, "unknown error code"},                 // (iokit/reserved)
      {0xe0028000, "(iokit/?) unknown subsystem error"},  // 10, past pmu
      {0xe0084000, "(iokit/?) unknown subsystem error"},  // sub_iokit_apfs
      {0xe3ff4000, "(iokit/?) unknown subsystem error"},  // 0xffd, just below vendor
  });
}

TEST(MachErrorString, UnknownSubsystemsGetTheirSystemsText) {
  ExpectTexts({
      {0x00010000, "(operating system/?) unknown subsystem error"},
      {0x04000000, "(user space/?) unknown subsystem error"},
      {0x0800c000, "(server/?) unknown subsystem error"},
      {0x0c008000, "(ipc/?) unknown subsystem error"},
      {0x1000c000, "(ipc/?) unknown subsystem error"},
      {0x1c000000, "(vm/?) unknown subsystem error"},
      {0xdc000000, "(libkern/?) unknown subsystem error"},
  });
}

TEST(MachErrorString, SystemsWithoutTablesHaveNoText) {
  ExpectTexts({
      // Every DiskArbitration status: err_local (0x3e) has no table.
      {0xF8DA0001, nullptr},
      {0xF8DA0002, nullptr},
      {0xF8DA0003, nullptr},
      {0xF8DA0004, nullptr},
      {0xF8DA0005, nullptr},
      {0xF8DA0006, nullptr},
      {0xF8DA0007, nullptr},
      {0xF8DA0008, nullptr},
      {0xF8DA0009, nullptr},
      {0xF8DA000A, nullptr},
      {0xF8DA000B, nullptr},
      {0xF8DA000C, nullptr},
      {0xF8000000, nullptr},
      // err_vm of the headers (8) is not where the vm table sits (7).
      {0x20000000, nullptr},
      {0x14000000, nullptr},
      {0x18000000, nullptr},
      {0xD8000000, nullptr},
      // 0x3f, the old ipc compatibility system, also has none.
      {0xFC000000, nullptr},
      {0xFFFFFFFF, nullptr},
  });
}

TEST(DiskArbitrationErrorString, NamesEachStatusAndNothingElse) {
  const char* const expected[] = {
      "(disk arbitration) error",          "(disk arbitration) busy",
      "(disk arbitration) bad argument",   "(disk arbitration) exclusive access",
      "(disk arbitration) no resources",   "(disk arbitration) not found",
      "(disk arbitration) not mounted",    "(disk arbitration) not permitted",
      "(disk arbitration) not privileged", "(disk arbitration) not ready",
      "(disk arbitration) not writable",   "(disk arbitration) unsupported",
  };
  for (uint32_t i = 0; i < std::size(expected); ++i) {
    const char* text = platform::DiskArbitrationErrorString(Status(0xF8DA0001 + i));
    ASSERT_NE(text, nullptr) << i;
    EXPECT_STREQ(text, expected[i]);
  }
  for (uint32_t code : {0u, 0xF8DA0000u, 0xF8DA000Du, 0xF8DB0001u, 0xF8D90001u, 0xC010u,
                        0xe00002bcu, 0x10000003u}) {
    EXPECT_EQ(platform::DiskArbitrationErrorString(Status(code)), nullptr) << std::hex << code;
  }
}

}  // namespace
