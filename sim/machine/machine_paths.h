#pragma once

#include <string>

#include "core/foundation/file_path.h"

// Where a machine keeps its files. Everything private to the simulation lives in one state
// folder, ROOT/private/var/db/macsim:
//
//   lock                 the lock every change holds (state_lock.h)
//   machine.plist        the whole model (model.h), replaced atomically
//   registry.plist       the device registry in `ioreg -a -l` form, replaced atomically
//   volumes/<store-id>/  the files of each volume that is not mounted (volume_store.h)
//   images/              scratch space of attached disk images
//   facts/               one small file per fact that the platform layer reads without
//                        parsing the model (facts/full-disk-access holds "yes" or "no",
//                        facts/trusted-anchor the hex public key of the trusted root,
//                        facts/administrator-approves "yes" or "no",
//                        facts/recovery-environment "yes" or "no")
//   authorizations/      the authorization references, one file each (any process may add
//                        one and read one it knows the name of; nobody may list them)
namespace sim {

mcom::FilePath StateFolder(const mcom::FilePath& root);
mcom::FilePath LockFilePath(const mcom::FilePath& root);
mcom::FilePath MachinePlistPath(const mcom::FilePath& root);
mcom::FilePath RegistryPlistPath(const mcom::FilePath& root);
mcom::FilePath VolumeStoresFolder(const mcom::FilePath& root);
mcom::FilePath VolumeStorePath(const mcom::FilePath& root, const std::string& store_id);
mcom::FilePath ImagesFolder(const mcom::FilePath& root);
mcom::FilePath FactsFolder(const mcom::FilePath& root);
mcom::FilePath FullDiskAccessFactPath(const mcom::FilePath& root);
mcom::FilePath TrustedAnchorFactPath(const mcom::FilePath& root);
mcom::FilePath AdministratorApprovesFactPath(const mcom::FilePath& root);
mcom::FilePath RecoveryEnvironmentFactPath(const mcom::FilePath& root);
mcom::FilePath AuthorizationsFolder(const mcom::FilePath& root);

// ROOT/Volumes, where volumes are mounted by default.
mcom::FilePath DefaultMountFolder(const mcom::FilePath& root);

}  // namespace sim
