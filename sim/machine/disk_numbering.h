#pragma once

#include <cstdint>

#include "sim/machine/model.h"

// How the machine hands out names and ids, as macOS does:
//  - disk numbers: the lowest number not used by a whole disk or a container's synthesized
//    disk, so a number freed by unplugging or detaching is used again by the next disk;
//  - volume slices inside a container: the lowest free slice from 1;
//  - BSD minor numbers: the lowest number not used by any media object;
//  - registry ids: never reused; each object gets a block of 16 consecutive ids (a whole
//    disk needs several entries: device, driver, media, partition scheme), so an object
//    keeps the same IORegistryEntryID for as long as it exists.
namespace sim {

uint32_t LowestFreeDiskNumber(const Model& model);
uint32_t LowestFreeVolumeSlice(const Model& model, uint32_t container_number);
uint32_t LowestFreeBSDMinor(const Model& model);

// The first id of a new block; advances the model's counter.
uint64_t AllocateRegistryIDs(Model& model);
inline constexpr uint64_t kRegistryIDsPerObject = 16;

// The fixed ids of the entries that belong to the machine rather than to an object.
inline constexpr uint64_t kRootEntryID = 0x100000100;
inline constexpr uint64_t kPlatformExpertEntryID = 0x100000101;
inline constexpr uint64_t kT2ControllerEntryID = 0x100000102;
inline constexpr uint64_t kImageControllerEntryID = 0x100000103;

}  // namespace sim
