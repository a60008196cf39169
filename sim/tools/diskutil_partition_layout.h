#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

// The partition layout of a `diskutil partitionDisk` command line.
namespace sim::tools::diskutil {

enum class PartitionFormat {
  kJournaledHFS,  // "JHFS+", "HFS+" (the machine keeps every HFS+ volume journaled)
  kAPFS,          // "APFS": a partition holding a container with one volume
};

struct PlannedPartition {
  PartitionFormat format = PartitionFormat::kJournaledHFS;
  std::string name;
  uint64_t size = 0;  // bytes; 0 for "R", the rest of the disk
};

// The arguments after the disk: "[COUNT] GPT FORMAT NAME SIZE [FORMAT NAME SIZE ...]",
// with formats named in any case ("jhfs+", "JHFS+", "HFS+", "Journaled HFS+", "APFS"), sizes
// as ParseSize takes them or "R" for the remainder (only for the last partition), COUNT, when
// given, equal to the number of triplets. GPT is the only scheme the machine's disks take
// ("GPTFormat" is accepted as its other spelling).
struct PartitionLayout {
  std::vector<PlannedPartition> partitions;
};

// What is wrong with a layout: the one-line message diskutil prints, and whether the
// command line as a whole is malformed (a usage error) rather than naming something bad.
struct LayoutError {
  std::string message;
  bool usage = false;
};

std::variant<PartitionLayout, LayoutError> ParsePartitionLayout(
    std::span<const std::string> arguments);

}  // namespace sim::tools::diskutil
