#include "sim/machine/root_view.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "sim/machine/machine_error.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/mount_table.h"
#include "sim/machine/volume_store.h"

namespace sim {
namespace {

constexpr std::array<const char*, 9> kMachineEntries = {"Volumes", "bin", "dev", "etc", "private",
                                                        "sbin",    "tmp", "usr", "var"};

mcom::FilePath FirstSystemView(const mcom::FilePath& root) {
  return StateFolder(root).Join("first-system");
}

// The names of the system's entries in `folder`, the machine's own left out.
std::vector<std::string> SystemEntries(const mcom::FilePath& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder.string(), error)) {
    const std::string name = entry.path().filename().string();
    if (!IsMachineEntry(name)) names.push_back(name);
  }
  if (error) throw MachineError("cannot read " + folder.string() + ": " + error.message());
  return names;
}

void MoveAll(const mcom::FilePath& from, const mcom::FilePath& to, RootViewMoves& moves) {
  for (const std::string& name : SystemEntries(from)) moves.Move(from.Join(name), to.Join(name));
}

}  // namespace

bool IsMachineEntry(const std::string& name) {
  for (const char* entry : kMachineEntries) {
    if (name == entry) return true;
  }
  return false;
}

RootViewMoves::~RootViewMoves() {
  for (auto move = moves_.rbegin(); move != moves_.rend(); ++move) {
    std::rename(move->second.c_str(), move->first.c_str());
  }
}

void RootViewMoves::Move(const mcom::FilePath& from, const mcom::FilePath& to) {
  struct stat status {};
  if (::lstat(to.c_str(), &status) == 0) {
    throw MachineError("cannot move " + from.string() + ": " + to.string() + " exists");
  }
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    throw MachineError("cannot move " + from.string() + " to " + to.string() + ": " +
                       std::strerror(errno));
  }
  moves_.emplace_back(from, to);
}

void PutAwayRootView(const mcom::FilePath& root, Model& model, RootViewMoves& moves) {
  if (!model.boot.root_volume.empty()) {
    const Volume* volume = FindVolumeByUUID(model, model.boot.root_volume);
    if (volume == nullptr) throw MachineError("the volume at / is gone from the machine");
    MoveAll(root, VolumeStorePath(root, volume->store), moves);
    model.boot.root_volume.clear();
    return;
  }
  if (model.boot.first_system.empty()) model.boot.first_system = model.running_system;
  const mcom::FilePath saved = FirstSystemView(root);
  // Left empty when the first system was shown again.
  if (::mkdir(saved.c_str(), 0755) != 0 && errno != EEXIST) {
    throw MachineError("cannot make " + saved.string() + ": " + std::strerror(errno));
  }
  MoveAll(root, saved, moves);
}

void ShowRootView(const mcom::FilePath& root, Model& model, const Volume& system,
                  RootViewMoves& moves) {
  const mcom::FilePath saved = FirstSystemView(root);
  struct stat status {};
  if (system.uuid == model.boot.first_system && ::stat(saved.c_str(), &status) == 0) {
    MoveAll(saved, root, moves);
    return;
  }
  if (system.is_mounted()) {
    throw MachineError(mcom::FormatDiskName(system.disk) + " is mounted at " + system.mount_point);
  }
  MoveAll(VolumeStorePath(root, system.store), root, moves);
  model.boot.root_volume = system.uuid;
}

}  // namespace sim
