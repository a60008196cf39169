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

// macsim fixtures [--machines DIR]: the fixtures with their kinds and descriptions.
void FixturesCommand(const std::string& machines);

// The absolute form of a root given on the command line (mount points are recorded as
// absolute paths, so the root must be one).
mcom::FilePath AbsoluteRoot(const std::string& root);

}  // namespace macsim
