#pragma once

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_object.h"
#include "sim/machine/model.h"
#include "sim/machine/property_list_fields.h"

// The model as the property list of machine.plist, and back.
//
// Top-level keys: "Facts" (Model, HasT2, FullDiskAccess, AdministratorApproves,
// RecoveryEnvironment, ProductName, ProductVersion, BuildVersion, HostName), "Faults"
// ("<tool>.<verb>" -> string), "Disks", "Containers", "Volumes", "Boot" (Device, Folder,
// BootEFI, FolderVolume, FolderInVolume, BootEFIInVolume, RestartRequested, RootVolume,
// FirstSystem), "Blockers" ([{Pid, BSDName}]), "Claims" ([{Pid, BSDName}]), "Plugged"
// ("disk2" -> medium), "RunningSystem" (a volume UUID), "NextRegistryID". Each disk, partition,
// container and volume is a dictionary with the keys named after its struct fields
// (Number, Kind, Protocol, ..., Partitions; Slice, Type, Name, ...; UUID, Number, Size,
// Stores; UUID, Name, Disk, FileSystem, Roles, GroupUUID, Store, MountPoint, MountOptions,
// ...), plus "BSDMinor" and "RegistryID".
//
// Each record's keys are listed once, in its field table (field_table.h), which both the
// reader and the writer follow. Some keys are written for readers of the file only and
// recomputed from the model when read: "NextDiskNumber", "Mounts" (the mount table), a
// partition's "Content", "Container" and "Volume", a container's "Volumes".
namespace sim {

// Objects are written in the model's order; the machine sorts the model (SortModel) first.
mcom::cf::Ref<mcom::cf::Dictionary> ModelToPropertyList(const Model& model);

// Reads a model. Keys this version does not know are ignored inside objects and kept at the
// top level (Model::unknown_keys), so that a newer tool's additions survive an older one's
// change. Missing optional keys take the struct's defaults. Throws MachineError naming the
// first problem ("Disks[1].Number: missing or not an integer") when `plist` is not a
// dictionary, a required key is missing, a value has the wrong type, or objects conflict
// (two disks with one number).
Model ModelFromPropertyList(const mcom::cf::Ref<mcom::cf::Object>& plist);

// Reads the keys of a "Facts" dictionary (as above; fixtures hold one too). Missing keys
// take the defaults of Facts.
Facts ReadFacts(const PropertyListFields& fields);

}  // namespace sim
