#pragma once

// The command lines the simulated `asr` accepts, parsed.

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace sim::tools {

// restore -s /dev/SRC -t /dev/DST --useReplication --puppetstrings --noprompt
//         [--sourcevolumeUUID UUID] [--erase]
// Replicates the APFS container SRC (or the volume group of one of its volumes) into the
// APFS container DST. SRC and DST are the names after "/dev/" as given (not yet checked to
// be disk names).
struct ReplicationRequest {
  std::string source;
  std::string target;
  std::optional<std::string> source_volume_uuid;
  bool erase = false;
};

// restore -s IMAGE -t /dev/PARTITION --erase --noprompt --puppetstrings --noverify
// Puts the one volume of a disk image onto a partition.
struct ImageRestoreRequest {
  std::string image;   // a host path
  std::string target;  // the name after "/dev/"
};

using AsrRequest = std::variant<ReplicationRequest, ImageRestoreRequest>;

// Parses the arguments after the program name. The options may come in any order but each
// at most once; every option of one of the two forms must be there, and nothing else may.
// Returns nothing for any other argument list.
std::optional<AsrRequest> ParseAsrArguments(const std::vector<std::string>& arguments);

// The usage text printed for an argument list that ParseAsrArguments refuses.
extern const char kAsrUsage[];

}  // namespace sim::tools
