#pragma once

// Images for the image tests: descriptions over generated trees, and checks of what an image
// holds. Test code only.

#include <gmock/gmock.h>

#include <string>
#include <system_error>

#include "core/foundation/file_path.h"
#include "sim/image/image_description.h"

namespace sim_test {

inline constexpr char kContainerUUID[] = "7D2C1B0A-9E8F-4A6B-8C5D-4E3F2A1B0C13";
inline constexpr char kSystemUUID[] = "3B2A1908-7F6E-4D5C-8B4A-392817161514";
inline constexpr char kDataUUID[] = "8F7E6D5C-4B3A-4291-8F0E-1D2C3B4A5916";
inline constexpr char kGroupUUID[] = "6E5D4C3B-2A19-4F08-9E7D-6C5B4A392815";
inline constexpr char kHFSUUID[] = "11111111-2222-4333-8444-555555555555";
inline constexpr char kDiskUUID[] = "0A6C7B56-3D0F-4E6B-8E55-8E1C1F0B7A10";
inline constexpr char kEFIPartitionUUID[] = "5C9A2F61-0D7E-4A43-9A0B-5D0E6A7C2B11";
inline constexpr char kAPFSPartitionUUID[] = "1F4E8D2A-6B3C-4C59-8D7E-0A9B8C7D6E12";
inline constexpr char kHFSPartitionUUID[] = "2A3B4C5D-6E7F-4081-9283-A4B5C6D7E8F9";

// A GPT disk of `format`: an EFI partition holding nothing, an APFS container with a System
// volume (files at `system`) and a Data volume (files at `data`) in one group, and an HFS+
// partition (files at `hfs`). 1 GiB declared.
sim::ImageDescription MacDisk(sim::ImageFormat format, const mcom::FilePath& system,
                              const mcom::FilePath& data, const mcom::FilePath& hfs);

// A layout-NONE disk of `format` whose whole disk is an APFS container with the System and
// Data volumes.
sim::ImageDescription ContainerDisk(sim::ImageFormat format, const mcom::FilePath& system,
                                    const mcom::FilePath& data);

// The description without its volumes' files, to compare the rest.
sim::ImageDescription WithoutFiles(sim::ImageDescription description);

// Runs `call` and returns the std::system_error it throws; records a failure and returns a
// success code when it throws none.
template <typename Call>
std::system_error Thrown(Call call) {
  try {
    call();
  } catch (const std::system_error& error) {
    return error;
  }
  ADD_FAILURE() << "no std::system_error was thrown";
  return std::system_error(std::error_code());
}

// The names in `folder` that are not `kept` (temporary files left behind, for example).
std::vector<std::string> OtherNames(const mcom::FilePath& folder,
                                    const std::vector<std::string>& kept);

}  // namespace sim_test
