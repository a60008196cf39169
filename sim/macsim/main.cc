// macsim: creates and changes simulated Macs.
//
//   macsim create ROOT [--machine NAME] [--data-size SIZE] [--machines DIR]
//   macsim show ROOT
//   macsim start ROOT
//   macsim stop ROOT
//   macsim install ROOT APP
//   macsim boot ROOT [--from DISK]
//   macsim registry ROOT
//   macsim plug ROOT MEDIUM [--data-size SIZE] [--machines DIR]
//   macsim unplug ROOT diskN
//   macsim set ROOT KEY VALUE
//   macsim compare ROOT A B [--atime]
//   macsim fixtures [--machines DIR]
//   macsim sign FILE --identity NAME --identifier ID [--info-plist PLIST] [--time SECONDS]
//   macsim signature ROOT FILE

#include <CLI/CLI.hpp>

#include <sysexits.h>

#include <iostream>
#include <string>

#include "sim/machine/machine_error.h"
#include "sim/machine/machine_settings.h"
#include "sim/macsim/boot_command.h"
#include "sim/macsim/launcher_commands.h"
#include "sim/macsim/macsim_commands.h"
#include "sim/macsim/signing_commands.h"

namespace {

std::string SettingsHelp() {
  std::string help = "KEY is one of:";
  for (const std::string& key : sim::SettingKeys()) help += " " + key;
  return help + " (an empty VALUE clears a fault)";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Creates and changes simulated Macs.", "macsim");
  app.require_subcommand(1);

  std::string root, machine = "intel-mac", medium, disk, key, value, data_size, machines;

  CLI::App* create = app.add_subcommand("create", "Create a machine from a machine fixture");
  create->add_option("ROOT", root, "The new machine's root folder (missing or empty)")->required();
  create->add_option("--machine", machine, "The machine fixture (default intel-mac)");
  create->add_option("--data-size", data_size, "Bytes of generated files, for example 10M or 1G");
  create->add_option("--machines", machines, "The folder of fixtures");

  CLI::App* show =
      app.add_subcommand("show", "Print disks, containers, volumes, mounts, facts, the launcher");
  show->add_option("ROOT", root, "The machine's root folder")->required();

  CLI::App* start =
      app.add_subcommand("start", "Start the machine's launcher in the background; prints its pid");
  start->add_option("ROOT", root, "The machine's root folder")->required();

  CLI::App* stop = app.add_subcommand("stop", "Stop the machine's launcher and its jobs");
  stop->add_option("ROOT", root, "The machine's root folder")->required();

  std::string application;
  CLI::App* install =
      app.add_subcommand("install", "Install an application bundle into ROOT/Applications");
  install->add_option("ROOT", root, "The machine's root folder")->required();
  install->add_option("APP", application, "The bundle, for example build/bin/Dorvane.app")
      ->required();

  std::string from;
  CLI::App* boot = app.add_subcommand(
      "boot", "Restart the machine from a disk, checked as the firmware checks it");
  boot->footer(
      "With --from DISK (a whole physical disk): without a T2 controller the blessed folder "
      "(bless --folder) must be on DISK and hold boot.efi and a com.apple.Boot.plist whose "
      "kernel flags (rp=file:///PATH) name a Base System image there, which is attached "
      "read-only and runs; with one, DISK's Recovery partition must hold a Base System volume, "
      "which runs. A Base System runs in the recovery environment. Without --from the blessed "
      "start-up device (bless --device ... --setBoot) starts: the System volume of its "
      "container, outside the recovery environment. The new system is mounted at the "
      "machine's / (the root's own private, usr, sbin, Volumes, ... stay); attached images are "
      "detached and volumes mounted at given directories unmounted. The launcher must be "
      "stopped. A disk that would not start is refused with its reason, status 1, and nothing "
      "changes.");
  boot->add_option("ROOT", root, "The machine's root folder")->required();
  boot->add_option("--from", from, "The whole disk to start from (diskN)");

  CLI::App* registry = app.add_subcommand("registry", "Print the device registry (ioreg -a -l)");
  registry->add_option("ROOT", root, "The machine's root folder")->required();

  CLI::App* plug = app.add_subcommand("plug", "Plug a medium; prints the new disk's name");
  plug->add_option("ROOT", root, "The machine's root folder")->required();
  plug->add_option("MEDIUM", medium, "The medium fixture (usb-blank, usb-hfs, ...)")->required();
  plug->add_option("--data-size", data_size, "Bytes of generated files, for example 10M");
  plug->add_option("--machines", machines, "The folder of fixtures");

  CLI::App* unplug = app.add_subcommand("unplug", "Unplug a plugged disk");
  unplug->add_option("ROOT", root, "The machine's root folder")->required();
  unplug->add_option("DISK", disk, "The disk to unplug (diskN)")->required();

  CLI::App* set = app.add_subcommand("set", "Set a fact or a fault");
  set->footer(SettingsHelp());
  set->add_option("ROOT", root, "The machine's root folder")->required();
  set->add_option("KEY", key, "The setting")->required();
  set->add_option("VALUE", value, "Its value")->required();

  std::string original, copy;
  bool access_times = false;
  CLI::App* compare = app.add_subcommand(
      "compare", "Compare the files of two volumes or of two APFS containers' volumes");
  compare->footer(
      "A is the original, B the copy. Two volumes (diskNsM) are compared file by file, "
      "wherever their files are; two containers (diskN) have their volumes paired by role "
      "(System, Data, Preboot, Recovery, VM) and by name, and a volume on one side only is a "
      "difference. Compared: type, mode, owners, size, content, link targets, extended "
      "attributes, hard links and modification times to the nanosecond. Prints one line per "
      "pair of volumes with the differences below it. Exit status: 0 identical, 1 different, "
      "64 when the root or a disk cannot be compared.");
  compare->add_option("ROOT", root, "The machine's root folder")->required();
  compare->add_option("A", original, "The original: a volume (diskNsM) or container (diskN)")
      ->required();
  compare->add_option("B", copy, "The copy: a volume or container like A")->required();
  compare->add_flag("--atime", access_times, "Compare access times as well");

  CLI::App* fixtures = app.add_subcommand("fixtures", "List the machine and medium fixtures");
  fixtures->add_option("--machines", machines, "The folder of fixtures");

  std::string file, identity, identifier, info_plist, time;
  CLI::App* sign = app.add_subcommand("sign", "Sign an executable in place with a test identity");
  sign->add_option("FILE", file, "The executable")->required();
  sign->add_option("--identity", identity,
                   "maker-developer-id, maker-development or foreign-developer-id")
      ->required();
  sign->add_option("--identifier", identifier, "The signing identifier")->required();
  sign->add_option("--info-plist", info_plist, "An information property list to embed");
  sign->add_option("--time", time, "The signing time in seconds since 1970 (default now)");

  CLI::App* signature = app.add_subcommand(
      "signature", "Show an executable's signature and check it (status 1 if not valid)");
  signature->add_option("ROOT", root, "The machine whose trusted anchor decides")->required();
  signature->add_option("FILE", file, "The executable")->required();

  CLI11_PARSE(app, argc, argv);

  try {
    if (*fixtures) {
      macsim::FixturesCommand(machines);
      return 0;
    }
    if (*sign) {
      macsim::SignCommand(mcom::FilePath(file), identity, identifier, info_plist, time);
      return 0;
    }
    const mcom::FilePath root_path = macsim::AbsoluteRoot(root);
    if (*create) macsim::CreateCommand(root_path, machine, data_size, machines);
    if (*show) macsim::ShowCommand(root_path);
    if (*start) macsim::StartCommand(root_path);
    if (*install) macsim::InstallCommand(root_path, macsim::AbsoluteRoot(application));
    if (*stop) macsim::StopCommand(root_path);
    if (*boot) macsim::BootCommand(root_path, from);
    if (*registry) macsim::RegistryCommand(root_path);
    if (*plug) macsim::PlugCommand(root_path, medium, data_size, machines);
    if (*unplug) macsim::UnplugCommand(root_path, disk);
    if (*set) macsim::SetCommand(root_path, key, value);
    if (*compare) return macsim::CompareCommand(root_path, original, copy, access_times);
    if (*signature) return macsim::SignatureCommand(root_path, mcom::FilePath(file));
  } catch (const sim::MachineError& error) {
    std::cerr << "macsim: " << error.what() << "\n";
    // A comparison answers 1 for "different", so its own failures must be told apart.
    return *compare ? EX_USAGE : 1;
  } catch (const std::exception& error) {
    std::cerr << "macsim: " << error.what() << "\n";
    return *compare ? EX_SOFTWARE : 1;
  }
  return 0;
}
