#pragma once

#include <cstdint>
#include <string>

#include "core/foundation/file_path.h"

// The commands of `macsim`. Each prints its result to standard output and throws
// sim::MachineError with a one-line message on failure; main() prints that and exits 1.
namespace macsim {

// macsim create ROOT [--machine NAME] [--data-size SIZE] [--machines DIR]
void CreateCommand(const mcom::FilePath& root, const std::string& machine,
                   const std::string& data_size, const std::string& machines);

// macsim show ROOT
void ShowCommand(const mcom::FilePath& root);

// macsim registry ROOT: the registry as `ioreg -a -l` would print it.
void RegistryCommand(const mcom::FilePath& root);

// macsim plug ROOT MEDIUM [--data-size SIZE] [--machines DIR]: prints the new disk's name.
void PlugCommand(const mcom::FilePath& root, const std::string& medium,
                 const std::string& data_size, const std::string& machines);

// macsim unplug ROOT diskN
void UnplugCommand(const mcom::FilePath& root, const std::string& disk);

// macsim set ROOT KEY VALUE
void SetCommand(const mcom::FilePath& root, const std::string& key, const std::string& value);

// macsim compare ROOT A B [--atime]: compares the files of B (the copy) with those of A (the
// original), two volumes or two APFS containers of the machine (volume_comparison.h). Prints
// one line per pair of volumes, "disk1s1 (Macintosh HD) = disk4s1 (Macintosh HD): identical,
// 1234 files" or "... != ...: N differences" followed by the differences, indented; a volume
// only one side has is a line of its own. Returns kCompareIdentical or kCompareDiffers.
// Throws sim::MachineError for a bad root or disk name, or disks that cannot be compared.
inline constexpr int kCompareIdentical = 0;
inline constexpr int kCompareDiffers = 1;
int CompareCommand(const mcom::FilePath& root, const std::string& original, const std::string& copy,
                   bool access_times);

// macsim fixtures [--machines DIR]: the fixtures with their kinds and descriptions.
// Copies the application bundle APP (X.app) into ROOT/Applications, replacing an earlier
// copy; prints its Mac path.
void InstallCommand(const mcom::FilePath& root, const mcom::FilePath& application);

void FixturesCommand(const std::string& machines);

// The absolute form of a root given on the command line (mount points are recorded as
// absolute paths, so the root must be one).
mcom::FilePath AbsoluteRoot(const std::string& root);

}  // namespace macsim
