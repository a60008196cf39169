#include "sim/machine/machine_paths.h"

namespace sim {

mcom::FilePath StateFolder(const mcom::FilePath& root) {
  return root.Join("private/var/db/macsim");
}

mcom::FilePath LockFilePath(const mcom::FilePath& root) { return StateFolder(root).Join("lock"); }

mcom::FilePath MachinePlistPath(const mcom::FilePath& root) {
  return StateFolder(root).Join("machine.plist");
}

mcom::FilePath RegistryPlistPath(const mcom::FilePath& root) {
  return StateFolder(root).Join("registry.plist");
}

mcom::FilePath VolumeStoresFolder(const mcom::FilePath& root) {
  return StateFolder(root).Join("volumes");
}

mcom::FilePath VolumeStorePath(const mcom::FilePath& root, const std::string& store_id) {
  return VolumeStoresFolder(root).Join(store_id);
}

mcom::FilePath ImagesFolder(const mcom::FilePath& root) { return StateFolder(root).Join("images"); }

mcom::FilePath FactsFolder(const mcom::FilePath& root) { return StateFolder(root).Join("facts"); }

mcom::FilePath FullDiskAccessFactPath(const mcom::FilePath& root) {
  return FactsFolder(root).Join("full-disk-access");
}

mcom::FilePath TrustedAnchorFactPath(const mcom::FilePath& root) {
  return FactsFolder(root).Join("trusted-anchor");
}

mcom::FilePath AdministratorApprovesFactPath(const mcom::FilePath& root) {
  return FactsFolder(root).Join("administrator-approves");
}

mcom::FilePath RecoveryEnvironmentFactPath(const mcom::FilePath& root) {
  return FactsFolder(root).Join("recovery-environment");
}

mcom::FilePath AuthorizationsFolder(const mcom::FilePath& root) {
  return StateFolder(root).Join("authorizations");
}

mcom::FilePath DefaultMountFolder(const mcom::FilePath& root) { return root.Join("Volumes"); }

}  // namespace sim
