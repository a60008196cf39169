#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <regex>

#include "sim/machine/machine.h"
#include "sim/machine/test_machine.h"
#include "sim/tools/tool_test_run.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::RunTool;
using ::testing::StartsWith;

constexpr const char* kIoreg = "/usr/sbin/ioreg";

// The line forms of `ioreg -l`: an entry ("+-o Name  <class ...>"), the braces around its
// properties, one property, and the empty line after them, each behind the tree's "| "
// and "  " columns.
const std::regex kEntryLine(
    R"(^((?:\| |  )*)\+-o (.+)  <class ([A-Za-z0-9:]+), id 0x[0-9a-f]+(, registered, matched, active, busy \d+ \(\d+ ms\))?, retain \d+>$)");
const std::regex kBraceLine(R"(^(?:\| |  )*[{}]$)");
const std::regex kPropertyLine(R"(^(?:\| |  )*  "[^"]+" = .+$)");
const std::regex kBlankLine(R"(^(?:\| |  )*$)");

bool IsIoregLine(const std::string& line) {
  return std::regex_match(line, kEntryLine) || std::regex_match(line, kBraceLine) ||
         std::regex_match(line, kPropertyLine) || std::regex_match(line, kBlankLine);
}

std::string HexID(uint64_t id) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%" PRIx64, id);
  return text;
}

// One entry of the printed tree.
struct PrintedEntry {
  std::string name;
  std::string class_chain;
  std::string line;
  int depth = 0;
  int parent = -1;  // index of the entry it is printed under
  std::vector<std::string> properties;
};

// Reads the printed tree back: each entry's depth from the column of its "+-o", its parent
// from the entries before it, and the property lines of its block.
std::vector<PrintedEntry> ReadTree(const std::string& output) {
  std::vector<PrintedEntry> entries;
  std::vector<int> open;  // the last entry seen at each depth
  for (const std::string& line : testing::Lines(output)) {
    std::smatch match;
    if (std::regex_match(line, match, kEntryLine)) {
      PrintedEntry entry;
      entry.depth = static_cast<int>(match[1].length() / 2);
      entry.name = match[2];
      entry.class_chain = match[3];
      entry.line = line;
      if (entry.depth > static_cast<int>(open.size())) return {};  // a level was skipped
      open.resize(entry.depth);
      entry.parent = open.empty() ? -1 : open.back();
      open.push_back(static_cast<int>(entries.size()));
      entries.push_back(entry);
    } else if (std::regex_match(line, kPropertyLine) && !entries.empty()) {
      entries.back().properties.push_back(line.substr(line.find('"')));
    }
  }
  return entries;
}

const PrintedEntry* Find(const std::vector<PrintedEntry>& entries, const std::string& name) {
  for (const PrintedEntry& entry : entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

TEST(IoregTool, RealSampleLinesHaveTheFormsWeCheck) {
  std::ifstream sample(DORVANE_SOURCE_DIR "/tests/data/real-samples/ioreg-l-apfs-fragment-1.txt");
  ASSERT_TRUE(sample);
  int checked = 0;
  for (std::string line; std::getline(sample, line);) {
    if (line.starts_with("#")) continue;
    EXPECT_TRUE(IsIoregLine(line)) << line;
    ++checked;
  }
  EXPECT_GT(checked, 30);
}

TEST(IoregTool, PrintsTheMachinesRegistryAsATree) {
  ::testing::TemporaryMachineRoot root;
  Machine machine = testing::MakeTestMachineWithTools(root.path(), "t2-mac");
  testing::PlugTestMedium(machine, "usb-hfs");
  const Model model = machine.Read();

  const testing::ProgramRun run = RunTool(kIoreg, {"-litw0"});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const std::string& line : testing::Lines(run.out)) EXPECT_TRUE(IsIoregLine(line)) << line;
  const std::vector<PrintedEntry> tree = ReadTree(run.out);
  ASSERT_FALSE(tree.empty());
  EXPECT_THAT(tree[0].line, StartsWith("+-o Root  <class IORegistryEntry, id 0x"));
  EXPECT_THAT(tree[0].line, Not(HasSubstr("registered")));

  const PrintedEntry* platform = Find(tree, model.facts.model);
  ASSERT_NE(platform, nullptr);
  EXPECT_EQ(platform->parent, 0);
  EXPECT_EQ(platform->class_chain, "IORegistryEntry:IOService:IOPlatformExpertDevice");
  EXPECT_THAT(platform->properties, Contains("\"model\" = <\"" + model.facts.model + "\">"));
  ASSERT_NE(Find(tree, "Apple T2 Controller"), nullptr);

  // Every whole disk under its driver and device, with its class chain and properties.
  for (const Disk& disk : model.disks) {
    const PrintedEntry* media = Find(tree, disk.media_name);
    ASSERT_NE(media, nullptr) << disk.media_name;
    EXPECT_EQ(media->class_chain, "IORegistryEntry:IOService:IOStorage:IOMedia");
    EXPECT_THAT(media->line, HasSubstr(", id " + HexID(disk.registry_id + 2) + ", registered"));
    EXPECT_THAT(media->properties,
                AllOf(Contains("\"BSD Name\" = \"" + mcom::FormatDiskName(disk.name()) + "\""),
                      Contains("\"Whole\" = Yes"), Contains("\"Leaf\" = No"),
                      Contains("\"Size\" = " + std::to_string(disk.size)),
                      Contains("\"Content\" = \"GUID_partition_scheme\""),
                      Contains("\"Removable\" = " + std::string(disk.removable ? "Yes" : "No"))));
    const PrintedEntry& driver = tree[media->parent];
    EXPECT_EQ(driver.class_chain, "IORegistryEntry:IOService:IOStorage:IOBlockStorageDriver");
    const PrintedEntry& device = tree[driver.parent];
    EXPECT_THAT(
        device.properties,
        Contains("\"Protocol Characteristics\" = {\"Physical Interconnect\"=\"" + disk.protocol +
                 "\",\"Physical Interconnect Location\"=\"" + disk.location + "\"}"));
  }

  // Every volume, an APFS volume under its container, which is under its container scheme
  // on the partition that stores it; the HFS+ volume's partition.
  for (const Volume& volume : model.volumes) {
    const std::string name = volume.name + "@" + std::to_string(volume.disk.slice);
    const PrintedEntry* media = Find(tree, name);
    ASSERT_NE(media, nullptr) << name;
    EXPECT_THAT(media->properties,
                AllOf(Contains("\"BSD Name\" = \"" + mcom::FormatDiskName(volume.disk) + "\""),
                      Contains("\"Whole\" = No")));
    if (volume.file_system != "apfs") {
      EXPECT_EQ(media->class_chain, "IORegistryEntry:IOService:IOStorage:IOMedia");
      EXPECT_THAT(media->properties,
                  Contains("\"Content\" = \"48465300-0000-11AA-AA11-00306543ECAC\""));
      continue;
    }
    EXPECT_EQ(media->class_chain, "IORegistryEntry:IOService:IOStorage:IOMedia:AppleAPFSVolume");
    EXPECT_THAT(
        media->properties,
        AllOf(Contains("\"UUID\" = \"" + volume.uuid + "\""), Contains("\"Status\" = \"Online\""),
              Contains("\"FormattedBy\" = \"newfs_apfs (1412.141.1)\"")));
    if (!volume.roles.empty()) {
      EXPECT_THAT(media->properties, Contains("\"Role\" = (\"" + volume.roles[0] + "\")"));
    }
    const PrintedEntry& container = tree[media->parent];
    EXPECT_EQ(container.class_chain,
              "IORegistryEntry:IOService:IOStorage:IOPartitionScheme:AppleAPFSContainer");
    const PrintedEntry& container_media = tree[container.parent];
    EXPECT_EQ(container_media.class_chain,
              "IORegistryEntry:IOService:IOStorage:IOMedia:AppleAPFSMedia");
    EXPECT_THAT(container_media.properties,
                Contains("\"Content\" = \"EF57347C-0000-11AA-AA11-00306543ECAC\""));
    EXPECT_EQ(tree[container_media.parent].name, "AppleAPFSContainerScheme");
    EXPECT_THAT(tree[tree[container_media.parent].parent].properties,
                Contains("\"Content\" = \"7C3457EF-0000-11AA-AA11-00306543ECAC\""));
  }
}

TEST(IoregTool, PrintsASharedContainerUnderEachOfItsStores) {
  ::testing::TemporaryMachineRoot root;
  testing::MakeTestMachineWithTools(root.path(), "fusion-mac");
  const testing::ProgramRun run = RunTool(kIoreg, {"-l", "-i", "-t", "-w", "0"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<PrintedEntry> tree = ReadTree(run.out);
  std::vector<const PrintedEntry*> schemes;
  for (const PrintedEntry& entry : tree) {
    if (entry.name == "AppleAPFSContainerScheme") schemes.push_back(&entry);
  }
  ASSERT_EQ(schemes.size(), 2u);
  // The same entry (same id, same volumes below it) on two different partitions.
  EXPECT_EQ(schemes[0]->line.substr(schemes[0]->line.find("<")),
            schemes[1]->line.substr(schemes[1]->line.find("<")));
  EXPECT_NE(schemes[0]->parent, schemes[1]->parent);
}

TEST(IoregTool, FollowsItsOptions) {
  ::testing::TemporaryMachineRoot root;
  testing::MakeTestMachineWithTools(root.path());

  // Without -l no properties, without -i plain classes.
  testing::ProgramRun run = RunTool(kIoreg, {"-w0"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, Not(HasSubstr("{")));
  EXPECT_THAT(run.out, HasSubstr("  <class IOMedia, id 0x"));
  EXPECT_THAT(run.out, Not(HasSubstr("IOStorage")));
  for (const std::string& line : testing::Lines(run.out)) {
    EXPECT_TRUE(std::regex_match(line, kEntryLine)) << line;
  }

  run = RunTool(kIoreg, {"-lw40"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("\"BSD Name\""));
  for (const std::string& line : testing::Lines(run.out)) EXPECT_LE(line.size(), 40u) << line;

  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"-l", "-w"},
                                             {"-lw"},
                                             {"-w", "x"},
                                             {"-w-1"},
                                             {"-x"},
                                             {"-lx"},
                                             {"-"},
                                             {"IOMedia"},
                                             {"-c", "IOMedia"},
                                             {"-a"}}) {
    run = RunTool(kIoreg, arguments);
    EXPECT_EQ(run.status, 1) << ::testing::PrintToString(arguments);
    EXPECT_THAT(run.err, StartsWith("Usage: ioreg")) << ::testing::PrintToString(arguments);
    EXPECT_TRUE(run.out.empty());
  }
}

}  // namespace
}  // namespace sim
