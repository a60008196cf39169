#include "core/foundation/error_category.h"

#include <gmock/gmock.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "tests/support/error_matchers.h"

namespace {

int Status(uint32_t bits) { return static_cast<int>(bits); }

TEST(ErrorCategory, Identity) {
  // Codes compare by category object, so each accessor must hand out one object.
  EXPECT_EQ(&mcom::iokit::category(), &mcom::iokit::category());
  EXPECT_NE(std::error_code(1, mcom::iokit::category()),
            std::error_code(1, mach::error_category()));
  EXPECT_NE(std::error_code(1, mcom::disk_arbitration::category()),
            std::error_code(1, mcom::security_category()));
}

TEST(ErrorCategory, DiskArbitrationMessages) {
  const auto message = [](uint32_t bits) {
    return std::error_code(Status(bits), mcom::disk_arbitration::category()).message();
  };
  // A dissenter's BSD status (unix_err) has the platform's text; DiskArbitration statuses,
  // which the platform leaves without one, have ours.
  EXPECT_EQ(message(0xC010), "(os/unix) mount device busy");
  EXPECT_EQ(message(0xC001), "(os/unix) no rights to object");
  EXPECT_EQ(message(0xF8DA0001), "(disk arbitration) error");
  EXPECT_EQ(message(0xF8DA0002), "(disk arbitration) busy");
  EXPECT_EQ(message(0xF8DA000C), "(disk arbitration) unsupported");
  EXPECT_EQ(message(0xF8DA000D), "unknown error code");
  EXPECT_EQ(message(0x14000000), "unknown error code");
  EXPECT_EQ(message(0), "(os/kern) successful");
}

TEST(ErrorCategory, MachAndIokitMessages) {
  const auto iokit = [](uint32_t bits) {
    return std::error_code(Status(bits), mcom::iokit::category()).message();
  };
  const auto mach = [](uint32_t bits) {
    return std::error_code(Status(bits), mach::error_category()).message();
  };
  EXPECT_EQ(iokit(0xe00002e2), "(iokit/common) not permitted");
  EXPECT_EQ(iokit(0xe0084000), "(iokit/?) unknown subsystem error");
  EXPECT_EQ(mach(0x10000003), "(ipc/send) invalid destination port");
  EXPECT_EQ(mach(static_cast<uint32_t>(-308)), "(ipc/mig) server died");
  // Where the platform has no text at all, neither category builds one from nothing.
  EXPECT_EQ(iokit(0xF8DA0001), "unknown error code");
  EXPECT_EQ(mach(0xF8DA0001), "unknown error code");
  EXPECT_EQ(mach(0xFC000000), "unknown error code");
}

TEST(ErrorCategory, SecurityMessages) {
  const auto message = [](int status) {
    return std::error_code(status, mcom::security_category()).message();
  };
  EXPECT_EQ(message(-67062), "code object is not signed at all");
  EXPECT_EQ(message(-67050), "code failed to satisfy specified code requirement(s)");
  EXPECT_EQ(message(-60005), "The authorization was denied.");
  EXPECT_EQ(message(-12345), "OSStatus -12345");
}

TEST(ErrorCategory, ZeroIsSuccessInEveryCategory) {
  for (const std::error_category* category :
       {&mcom::disk_arbitration::category(), &mcom::iokit::category(), &mcom::security_category(),
        &mach::error_category()}) {
    const std::error_code zero(0, *category);
    EXPECT_FALSE(zero) << category->name();
    EXPECT_NO_THROW(mcom::ThrowIfError(zero)) << category->name();
  }
  EXPECT_NO_THROW(mcom::ThrowIfError(std::error_code(0, std::system_category())));
  EXPECT_NO_THROW(mcom::ThrowIfError(std::error_code()));
}

TEST(ErrorCategory, ThrowIfErrorThrowsExactlyTheCode) {
  for (const std::error_code code :
       {std::error_code(Status(0xF8DA0002), mcom::disk_arbitration::category()),
        std::error_code(Status(0xe00002bc), mcom::iokit::category()),
        std::error_code(-67063, mcom::security_category()),
        std::error_code(Status(0x10004003), mach::error_category()),
        std::error_code(EACCES, std::generic_category()),
        std::error_code(-1, mach::error_category())}) {
    // Equal codes have the very same category object.
    EXPECT_THAT([&] { mcom::ThrowIfError(code); },
                AllOf(testing::ThrowsSystemError(code), testing::ThrowsMessage<std::system_error>(
                                                            testing::HasSubstr(code.message()))));
  }
}

TEST(ErrorCategory, PortableConditionsMatchOnlyGenericCodes) {
  const std::error_code missing(ENOENT, std::generic_category());
  EXPECT_EQ(missing, std::errc::no_such_file_or_directory);
  EXPECT_NE(missing, std::errc::permission_denied);
  // The platform categories keep the base class's equivalence: a status that happens to share
  // errno's number is not that errno.
  EXPECT_NE(std::error_code(ENOENT, mach::error_category()), std::errc::no_such_file_or_directory);
  EXPECT_NE(std::error_code(ENOENT, mcom::disk_arbitration::category()),
            std::errc::no_such_file_or_directory);
  EXPECT_NE(std::error_code(0xC000 | ENOENT, mcom::disk_arbitration::category()),
            std::errc::no_such_file_or_directory);
}

}  // namespace
