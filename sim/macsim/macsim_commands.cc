#include "sim/macsim/macsim_commands.h"

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "core/foundation/cf_data.h"
#include "core/foundation/cf_file_data.h"
#include "core/foundation/file_tree.h"
#include "sim/machine/data_size.h"
#include "sim/machine/fixture.h"
#include "sim/machine/machine.h"
#include "sim/machine/machine_creation.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/machine_settings.h"
#include "sim/machine/media_plugging.h"
#include "sim/machine/tool_installer.h"
#include "sim/machine/volume_comparison.h"
#include "sim/macsim/fixtures_folder.h"
#include "sim/macsim/machine_report.h"

namespace macsim {
namespace {

// 0 (the fixture's own size) when `text` is empty.
uint64_t DataSizeOption(const std::string& text) {
  if (text.empty()) return 0;
  const std::optional<uint64_t> size = sim::ParseDataSize(text);
  if (!size) throw sim::MachineError("not a size: " + text + " (use for example 10M or 1G)");
  return *size;
}

}  // namespace

mcom::FilePath AbsoluteRoot(const std::string& root) {
  if (root.empty()) throw sim::MachineError("the machine root is empty");
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(root, error);
  if (error) throw sim::MachineError("bad machine root " + root + ": " + error.message());
  return mcom::FilePath(absolute.lexically_normal().string());
}

void CreateCommand(const mcom::FilePath& root, const std::string& machine,
                   const std::string& data_size, const std::string& machines) {
  const uint64_t size = DataSizeOption(data_size);
  const sim::Fixture fixture = sim::LoadFixture(FindFixturesFolder(machines), machine);
  sim::CreateMachine(root, fixture, size);
  sim::InstallTools(root, ExecutableFolder().Join("simtool"));
  std::cout << "created " << machine << " at " << root.string() << "\n";
}

void ShowCommand(const mcom::FilePath& root) {
  const sim::Machine machine(root);
  std::cout << FormatMachineReport(root, machine.Read());
}

void RegistryCommand(const mcom::FilePath& root) {
  const sim::Machine machine(root);
  machine.Read();  // checks the machine description as well
  const mcom::cf::Ref<mcom::cf::Data> registry =
      mcom::cf::CreateDataFromFile(sim::RegistryPlistPath(root));
  if (!registry) throw sim::MachineError("cannot read the registry of " + root.string());
  std::cout << registry->AsStringView();
}

void PlugCommand(const mcom::FilePath& root, const std::string& medium,
                 const std::string& data_size, const std::string& machines) {
  const uint64_t size = DataSizeOption(data_size);
  sim::Machine machine(root);
  const sim::Fixture fixture = sim::LoadFixture(FindFixturesFolder(machines), medium);
  const uint32_t disk = machine.Change(
      [&](sim::Model& model) { return sim::PlugMedium(root, model, fixture, size); });
  std::cout << mcom::FormatDiskName(mcom::DiskName{disk}) << "\n";
}

void UnplugCommand(const mcom::FilePath& root, const std::string& disk) {
  sim::Machine machine(root);
  const mcom::DiskName name = sim::ParseDiskNameOrThrow(disk);
  machine.Change([&](sim::Model& model) { sim::UnplugMedium(root, model, name); });
}

void SetCommand(const mcom::FilePath& root, const std::string& key, const std::string& value) {
  sim::Machine machine(root);
  machine.Change([&](sim::Model& model) { sim::ApplySetting(model, key, value); });
}

void InstallCommand(const mcom::FilePath& root, const mcom::FilePath& application) {
  const sim::Machine machine(root);  // refuses what is no machine
  const std::string name = application.LastComponent();
  if (!name.ends_with(".app") ||
      !std::filesystem::is_regular_file(application.Join("Contents/Info.plist").string())) {
    throw sim::MachineError(application.string() +
                            " is no application bundle (X.app with "
                            "Contents/Info.plist)");
  }
  // Copied beside its final place and renamed into it, so that no half copy is ever there.
  const mcom::FilePath applications = root.Join("Applications");
  const mcom::FilePath staging = applications.Join("." + name + ".installing");
  std::error_code ignored;
  std::filesystem::remove_all(staging.string(), ignored);
  if (const std::error_code error = mcom::CopyTree(application, staging)) {
    std::filesystem::remove_all(staging.string(), ignored);
    throw sim::MachineError("cannot copy " + application.string() + ": " + error.message());
  }
  std::filesystem::remove_all(applications.Join(name).string(), ignored);
  std::filesystem::rename(staging.string(), applications.Join(name).string());
  std::cout << "/Applications/" << name << "\n";
}

int CompareCommand(const mcom::FilePath& root, const std::string& original, const std::string& copy,
                   bool access_times) {
  const sim::Machine machine(root);
  sim::TreeComparisonOptions options;
  options.compare_access_times = access_times;
  const mcom::DiskName original_disk = sim::ParseDiskNameOrThrow(original);
  const mcom::DiskName copy_disk = sim::ParseDiskNameOrThrow(copy);
  const std::vector<sim::VolumeComparison> comparisons =
      sim::CompareDisks(machine, original_disk, copy_disk, options);
  bool identical = true;
  for (const sim::VolumeComparison& comparison : comparisons) {
    identical = identical && comparison.identical();
    if (!comparison.copy) {
      std::cout << comparison.original->Describe() << ": only in "
                << mcom::FormatDiskName(original_disk) << "\n";
      continue;
    }
    if (!comparison.original) {
      std::cout << comparison.copy->Describe() << ": only in " << mcom::FormatDiskName(copy_disk)
                << "\n";
      continue;
    }
    const sim::TreeComparison& files = comparison.files;
    if (files.identical()) {
      std::cout << comparison.original->Describe() << " = " << comparison.copy->Describe()
                << ": identical, " << files.entries << (files.entries == 1 ? " file" : " files")
                << "\n";
      continue;
    }
    std::cout << comparison.original->Describe() << " != " << comparison.copy->Describe() << ": "
              << files.difference_count
              << (files.difference_count == 1 ? " difference" : " differences") << "\n";
    for (const std::string& difference : files.differences) std::cout << "  " << difference << "\n";
  }
  return identical ? kCompareIdentical : kCompareDiffers;
}

void FixturesCommand(const std::string& machines) {
  const mcom::FilePath folder = FindFixturesFolder(machines);
  for (const std::string& name : sim::ListFixtures(folder)) {
    const sim::Fixture fixture = sim::LoadFixture(folder, name);
    std::cout << name << "  "
              << (fixture.kind == sim::Fixture::Kind::kMachine ? "machine" : "medium") << "  "
              << fixture.description << "\n";
  }
}

}  // namespace macsim
