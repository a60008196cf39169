#pragma once

#include <cstdint>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/cf_url.h"
#include "platform/disk_arbitration/da_disk.h"
#include "platform/disk_arbitration/da_dissenter.h"
#include "platform/disk_arbitration/da_session.h"

// The disk-arbitration service (DiskArbitration.h): mounting, unmounting and ejecting disks,
// callbacks for disks that appear and disappear, and mount approval. Names, options, statuses
// and semantics are the platform's; where the platform takes a CFStringRef, CFURLRef or
// CFDictionaryRef these take mcom::cf objects.
//
// On Linux the service is the simulated Mac's mount service (sim/machine/mounting.h). A
// request is carried out on a worker thread, as one change of the machine, and answered on
// the session's queue:
//  - a mount renames the volume's files onto the mount point (ROOT/Volumes/<Name> by default,
//    or an existing empty directory given by the caller) and records its options;
//  - an unmount puts them back; an eject unmounts everything on the disk and removes an
//    external disk from the machine;
//  - a refusal is a dissenter with the service's status and a one-line text; a mount refused
//    by a blocker (below) has the status kDAReturnBusy and no text.
// Appeared and disappeared callbacks follow the machine's registry file (watched with
// inotify), so they report the disks every process plugs, attaches, ejects or unplugs.
//
// Every function may be called from any thread.
namespace platform {

// ---- Options ----
using DADiskMountOptions = uint32_t;
using DADiskUnmountOptions = uint32_t;
using DADiskEjectOptions = uint32_t;

inline constexpr DADiskMountOptions kDADiskMountOptionDefault = 0x00000000;
// Mount every volume of the whole disk the disk is part of.
inline constexpr DADiskMountOptions kDADiskMountOptionWhole = 0x00000001;
inline constexpr DADiskMountOptions kDADiskMountOptionNoFollow = 0x00000002;  // no effect here
inline constexpr DADiskUnmountOptions kDADiskUnmountOptionDefault = 0x00000000;
inline constexpr DADiskUnmountOptions kDADiskUnmountOptionWhole = 0x00000001;
// Unmount even when files are open. The machine never refuses for open files, so it is the
// same as the default here.
inline constexpr DADiskUnmountOptions kDADiskUnmountOptionForce = 0x00080000;
inline constexpr DADiskEjectOptions kDADiskEjectOptionDefault = 0x00000000;

// ---- Callbacks ----
// `dissenter` is null when the request was carried out. Neither the disk nor the dissenter is
// the callback's to release; it retains what it keeps.
using DADiskMountCallback = void (*)(DADiskRef disk, DADissenterRef dissenter, void* context);
using DADiskUnmountCallback = void (*)(DADiskRef disk, DADissenterRef dissenter, void* context);
using DADiskEjectCallback = void (*)(DADiskRef disk, DADissenterRef dissenter, void* context);
using DADiskAppearedCallback = void (*)(DADiskRef disk, void* context);
using DADiskDisappearedCallback = void (*)(DADiskRef disk, void* context);
// Returns null to approve the mount of `disk`, or a dissenter with one reference, which the
// service takes over, to refuse it.
using DADiskMountApprovalCallback = DADissenterRef (*)(DADiskRef disk, void* context);

// ---- Requests ----
// Each returns at once; `callback` (may be null) is called once with the answer on the
// session's queue (DASessionSetDispatchQueue says where for an unscheduled session). A disk
// without a BSD name is answered with kDAReturnNotFound.

// Mounts the volume `disk` at `path` (a file URL of an existing empty directory), or at the
// default place when `path` is null (DADiskMount). With kDADiskMountOptionWhole, mounts every
// volume of the disk's whole disk (no path allowed). Before the machine is changed, the
// approval callbacks of this process's scheduled sessions are asked (in registration order;
// the first dissenter refuses); the blockers of every process are honoured by the machine.
// A volume that is already mounted is answered as mounted (at the given path it must be
// mounted there already).
void DADiskMount(DADiskRef disk, const mcom::cf::Ref<mcom::cf::URL>& path,
                 DADiskMountOptions options, DADiskMountCallback callback, void* context);

// DADiskMount with mount arguments (DADiskMountWithArguments): `arguments` is null or an
// array ended by a null entry. Each entry is one or more comma-separated options: "ro" or
// "rdonly" (recorded, not enforced), "rw", "nobrowse" (recorded), "browse". Any other option
// refuses the request with kDAReturnBadArgument.
void DADiskMountWithArguments(DADiskRef disk, const mcom::cf::Ref<mcom::cf::URL>& path,
                              DADiskMountOptions options, DADiskMountCallback callback,
                              void* context, const mcom::cf::Ref<mcom::cf::String>* arguments);

// Unmounts the volume `disk`, or with kDADiskUnmountOptionWhole every mounted volume of its
// whole disk (DADiskUnmount). The running system's volumes refuse with kDAReturnBusy; a
// volume that is not mounted with kDAReturnNotMounted.
void DADiskUnmount(DADiskRef disk, DADiskUnmountOptions options, DADiskUnmountCallback callback,
                   void* context);

// Ejects the physical disk(s) `disk` lives on (DADiskEject): unmounts all their volumes and
// removes external media from the machine. Internal disks and attached images stay.
void DADiskEject(DADiskRef disk, DADiskEjectOptions options, DADiskEjectCallback callback,
                 void* context);

// ---- Registrations ----
// A callback is registered for a session with a match dictionary (null for every disk; else
// a disk matches when each key of it is in the disk's description with an equal value), and
// is identified for unregistration by the function and the context together. It is called
// on the session's queue, only while the session is scheduled.
//
// Unregistration waits until a call of the callback that is under way on another thread has
// returned, so that the context may be freed right afterwards; a callback may unregister
// itself.

// Calls `callback` for every disk that appears: once soon after registration for each disk
// the machine has then, and afterwards for each new disk (DARegisterDiskAppearedCallback).
// A disk that goes and comes back under the same name (unplugged and plugged again) is
// reported as disappeared and then appeared.
void DARegisterDiskAppearedCallback(DASessionRef session,
                                    const mcom::cf::Ref<mcom::cf::Dictionary>& match,
                                    DADiskAppearedCallback callback, void* context);

// Calls `callback` for every disk that goes away after registration
// (DARegisterDiskDisappearedCallback). The disk passed keeps its BSD name and the
// description it had; the match is tested against that description.
void DARegisterDiskDisappearedCallback(DASessionRef session,
                                       const mcom::cf::Ref<mcom::cf::Dictionary>& match,
                                       DADiskDisappearedCallback callback, void* context);

// Ends an appeared or disappeared registration (DAUnregisterCallback). Nothing happens when
// there is none.
void DAUnregisterCallback(DASessionRef session, void* callback, void* context);

// Asks `callback` about every mount requested through the sessions of this process
// (DARegisterDiskMountApprovalCallback). The simulated machine cannot ask another process,
// so mounts by other processes are not submitted to it (see DARegisterDiskMountBlocker).
void DARegisterDiskMountApprovalCallback(DASessionRef session,
                                         const mcom::cf::Ref<mcom::cf::Dictionary>& match,
                                         DADiskMountApprovalCallback callback, void* context);

// Registers `callback` as DARegisterDiskMountApprovalCallback does (every disk), for a
// callback that refuses the disk `bsd_name` and every disk whose whole disk it is. On the Mac
// that registration alone is asked about the mounts of every process. The machine cannot ask
// this process about another's mount, so here the refusal is also recorded in the machine
// as a blocker of this process (sim/machine/blockers.h), which the mounts of every process
// honour while this process lives. A name that is not a disk name is only registered in
// this process. Registering the same name more than once keeps one blocker in the machine
// until the last registration ends.
void DARegisterDiskMountBlocker(DASessionRef session, const char* bsd_name,
                                DADiskMountApprovalCallback callback, void* context);

// Ends an approval registration, and removes the machine's blocker of a blocker registration
// (DAUnregisterApprovalCallback). Nothing happens when there is none.
void DAUnregisterApprovalCallback(DASessionRef session, void* callback, void* context);

}  // namespace platform
