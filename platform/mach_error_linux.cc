#ifndef __linux__
#error "This file implements the Mac's status texts for Linux only."
#endif

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>

#include "platform/mach_error.h"

// The Mac's mach_error_string, rebuilt from its tables. A status is split into a system (6
// bits), a subsystem (12 bits) and a code (14 bits); each system has a table of subsystems
// and each subsystem a table of texts. The answers follow the Mac's function step by step:
//
//   - a system without a subsystem table answers null (the platform's own text pointer for
//     such a system is null, and callers on the Mac print "(null)" for it);
//   - a subsystem past its system's table answers the system's "unknown subsystem" text;
//   - a code past its subsystem's table answers "unknown error code".
//
// Only the tables the system meets are carried: the kernel, BSD (unix_err), message send and
// receive, MIG and the common IOKit codes. Subsystems known to exist whose texts are left out
// (the old IPC and server subsystems the compatibility remap leads to, the named IOKit
// families, the empty kernel slots) answer "unknown error code"; the user-space, vm and
// libkern systems, whose subsystem tables are left out entirely, answer their "unknown
// subsystem" text. Either way a code the system never produces gets the Mac's kind of answer
// instead of a guessed text.

namespace platform {
namespace {

constexpr const char* kNoSuchError = "unknown error code";

// A run of consecutive numbers that a sparse table holds. A sparse table stores the texts of
// its runs one after another, so a number's index is its offset in its run plus the lengths
// of the runs before it.
struct Run {
  int32_t first;
  int32_t last;
};

// The index of `number` in a table laid out by `runs`; -1 when no run holds it.
int32_t IndexInRuns(int32_t number, std::span<const Run> runs) {
  int32_t base = 0;
  for (const Run& run : runs) {
    if (number >= run.first && number <= run.last) return base + (number - run.first);
    base += run.last - run.first + 1;
  }
  return -1;
}

struct Subsystem {
  // Empty: the subsystem exists but its texts are not carried.
  std::span<const char* const> codes;
  // Empty: codes index `codes` directly.
  std::span<const Run> code_runs = {};
};

struct System {
  const char* bad_sub;
  std::span<const Subsystem> subsystems;
  // Empty: subsystem numbers index `subsystems` directly.
  std::span<const Run> sub_runs = {};
};

// err_kern.sub: (os/kern), the KERN_* codes of kern_return.h.
constexpr const char* kKernTexts[] = {
    "(os/kern) successful",
    "(os/kern) invalid address",
    "(os/kern) protection failure",
    "(os/kern) no space available",
    "(os/kern) invalid argument",
    "(os/kern) failure",
    "(os/kern) resource shortage",
    "(os/kern) not receiver",
    "(os/kern) no access",
    "(os/kern) memory failure",
    "(os/kern) memory error",
    "(os/kern) already in set",
    "(os/kern) not in set",
    "(os/kern) name exists",
    "(os/kern) aborted",
    "(os/kern) invalid name",
    "(os/kern) invalid task",
    "(os/kern) invalid right",
    "(os/kern) invalid value",
    "(os/kern) urefs overflow",
    "(os/kern) invalid capability",
    "(os/kern) right exists",
    "(os/kern) invalid host",
    "(os/kern) memory present",
    "(os/kern) memory data moved",
    "(os/kern) memory restart copy",
    "(os/kern) invalid processor set",
    "(os/kern) policy limit",
    "(os/kern) invalid policy",
    "(os/kern) invalid object",
    "(os/kern) already waiting",
    "(os/kern) default set",
    "(os/kern) exception protected",
    "(os/kern) invalid ledger",
    "(os/kern) invalid memory control",
    "(os/kern) invalid security",
    "(os/kern) not depressed",
    "(os/kern) object terminated",
    "(os/kern) lock set destroyed",
    "(os/kern) lock unstable",
    "(os/kern) lock owned by another",
    "(os/kern) lock owned by self",
    "(os/kern) semaphore destroyed",
    "(os/kern) RPC terminated",
    "(os/kern) terminate orphan",
    "(os/kern) let orphan continue",
    "(os/kern) service not supported",
    "(os/kern) remote node down",
    "(os/kern) thread not waiting",
    "(os/kern) operation timed out",
    "(os/kern) code signing error",
    "(os/kern) policy is static",
    "(os/kern) insufficient input buffer size",
    "(os/kern) denied by security policy",
    "(os/kern) missing kernel collection",
    "(os/kern) invalid kernel collection",
    "(os/kern) result not found",
};

// err_kern.sub: (os/unix), unix_err(errno) = 0xC000 | errno with the Mac's errno numbers.
// Slot 0 has no text of its own, and slot 42 keeps the platform's spelling.
constexpr const char* kUnixTexts[] = {
    kNoSuchError,
    "(os/unix) no rights to object",
    "(os/unix) file or directory does not exist",
    "(os/unix) no such process",
    "(os/unix) interrupted system call",
    "(os/unix) i/o error",
    "(os/unix) device does not exist",
    "(os/unix) argument list is too long",
    "(os/unix) invalid executable object format",
    "(os/unix) bad file descriptor number",
    "(os/unix) no child processes are present",
    "(os/unix) no more processes are available",
    "(os/unix) insufficient memory",
    "(os/unix) access denied",
    "(os/unix) memory access fault",
    "(os/unix) block device required for operation",
    "(os/unix) mount device busy",
    "(os/unix) file already exists",
    "(os/unix) cross device link",
    "(os/unix) device does not exist",
    "(os/unix) object is not a directory",
    "(os/unix) object is a directory",
    "(os/unix) invalid argument",
    "(os/unix) internal file table overflow",
    "(os/unix) maximum number of open files reached",
    "(os/unix) object is not a tty-like device",
    "(os/unix) executable object is in use",
    "(os/unix) file is too large",
    "(os/unix) no space is left on device",
    "(os/unix) illegal seek attempt",
    "(os/unix) read-only file system",
    "(os/unix) too many links",
    "(os/unix) broken pipe",
    "(os/unix) argument is too large",
    "(os/unix) result is out of range",
    "(os/unix) operation on device would block",
    "(os/unix) operation is now in progress",
    "(os/unix) operation is already in progress",
    "(os/unix) socket operation attempted on non-socket object",
    "(os/unix) destination address is required",
    "(os/unix) message is too long",
    "(os/unix) protocol type is incorrect for socket",
    "(os/unix) protocol type is not availaible",
    "(os/unix) protocol type is not supported",
    "(os/unix) socket type is not supported",
    "(os/unix) operation is not supported on sockets",
    "(os/unix) protocol family is not supported",
    "(os/unix) address family is not supported by protocol family",
    "(os/unix) address is already in use",
    "(os/unix) can't assign requested address",
    "(os/unix) network is down",
    "(os/unix) network is unreachable",
    "(os/unix) network dropped connection on reset",
    "(os/unix) software aborted connection",
    "(os/unix) connection reset by peer",
    "(os/unix) no buffer space is available",
    "(os/unix) socket is already connected",
    "(os/unix) socket is not connected",
    "(os/unix) can't send after socket shutdown",
    "(os/unix) too many references; can't splice",
    "(os/unix) connection timed out",
    "(os/unix) connection was refused",
    "(os/unix) too many levels of symbolic links",
    "(os/unix) file name exceeds system maximum limit",
    "(os/unix) host is down",
    "(os/unix) there is no route to host",
    "(os/unix) directory is not empty",
    "(os/unix) quota on number of processes exceeded",
    "(os/unix) quota on number of users exceeded",
    "(os/unix) quota on available disk space exceeded",
};

// err_mach_ipc.sub: (ipc/send), MACH_SEND_* = 0x10000000 | code.
constexpr const char* kIpcSendTexts[] = {
    "(ipc/send) no error",
    "(ipc/send) send in progress",
    "(ipc/send) invalid data",
    "(ipc/send) invalid destination port",
    "(ipc/send) timed out",
    "(ipc/send) invalid voucher",
    "(ipc/send) unused error",
    "(ipc/send) interrupted",
    "(ipc/send) msg too small",
    "(ipc/send) invalid reply port",
    "(ipc/send) invalid port right",
    "(ipc/send) invalid notify port",
    "(ipc/send) invalid memory",
    "(ipc/send) no msg buffer",
    "(ipc/send) msg too large",
    "(ipc/send) invalid msg-type",
    "(ipc/send) invalid msg-header",
    "(ipc/send) invalid msg-trailer",
    "(ipc/send) invalid context for reply",
    "(ipc/send) unused error",
    "(ipc/send) unused error",
    "(ipc/send) out-of-line buffer too large",
    "(ipc/send) destination does not accept OOL ports",
};

// err_mach_ipc.sub: (ipc/rcv), MACH_RCV_* = 0x10004000 | code.
constexpr const char* kIpcReceiveTexts[] = {
    "(ipc/rcv) no error",
    "(ipc/rcv) receive in progress",
    "(ipc/rcv) invalid name",
    "(ipc/rcv) timed out",
    "(ipc/rcv) msg too large",
    "(ipc/rcv) interrupted",
    "(ipc/rcv) port changed",
    "(ipc/rcv) invalid notify port",
    "(ipc/rcv) invalid data",
    "(ipc/rcv) port died",
    "(ipc/rcv) port in set",
    "(ipc/rcv) header error",
    "(ipc/rcv) body error",
    "(ipc/rcv) invalid scatter list entry",
    "(ipc/rcv) overwrite region too small",
    "(ipc/rcv) invalid msg-trailer",
    "(ipc/rcv) DIPC transport error",
};

// err_mach_ipc.sub: (ipc/mig), reached through the remap of MIG_* (-300 and down).
constexpr const char* kIpcMigTexts[] = {
    "(ipc/mig) client type check failure",
    "(ipc/mig) wrong reply message ID",
    "(ipc/mig) server detected error",
    "(ipc/mig) bad request message ID",
    "(ipc/mig) server type check failure",
    "(ipc/mig) no reply should be sent",
    "(ipc/mig) server raised exception",
    "(ipc/mig) array not large enough",
    "(ipc/mig) server died",
    "(ipc/mig) unknown trailer format",
};

// err_iokit.sub: (iokit/common), a sparse table over kIOReturnInvalid and kIOReturnError
// (0x2bc) … kIOReturnNotFound (0x2f0). The numbers without a constant (0x2cb, 0x2dc) hold
// the platform's placeholder text.
constexpr Run kIokitCommonRuns[] = {{0x001, 0x001}, {0x2bc, 0x2f0}};
constexpr const char* kIokitCommonTexts[] = {
    "(iokit/common) invalid - should never be seen",
    "(iokit/common) general error",
    "(iokit/common) can't allocate memory",
    "(iokit/common) resource shortage",
    "(iokit/common) error during IPC",
    "(iokit/common) no such device",
    "(iokit/common) privilege violation",
    "(iokit/common) invalid argument",
    "(iokit/common) device read locked",
    "(iokit/common) device write locked",
    "(iokit/common) exclusive access and device already open",
    "(iokit/common) sent/received messages had different msg_id",
    "(iokit/common) unsupported function",
    "(iokit/common) misc. VM failure",
    "(iokit/common) internal error",
    "(iokit/common) General I/O error",
    "(iokit/common) ???",
    "(iokit/common) can't acquire lock",
    "(iokit/common) device not open",
    "(iokit/common) read not supported",
    "(iokit/common) write not supported",
    "(iokit/common) alignment error",
    "(iokit/common) Media Error",
    "(iokit/common) device(s) still open",
    "(iokit/common) rld failure",
    "(iokit/common) DMA failure",
    "(iokit/common) Device Busy",
    "(iokit/common) I/O Timeout",
    "(iokit/common) device offline",
    "(iokit/common) not ready",
    "(iokit/common) device not attached",
    "(iokit/common) no DMA channels left",
    "(iokit/common) no space for data",
    "(iokit/common) ???",
    "(iokit/common) port already exists",
    "(iokit/common) can't wire down physical memory",
    "(iokit/common) no interrupt attached",
    "(iokit/common) no DMA frames enqueued",
    "(iokit/common) oversized msg received on interrupt port",
    "(iokit/common) not permitted",
    "(iokit/common) no power to device",
    "(iokit/common) media not present",
    "(iokit/common) media not formatted",
    "(iokit/common) no such mode",
    "(iokit/common) data underrun",
    "(iokit/common) data overrun",
    "(iokit/common) the device is not working properly!",
    "(iokit/common) a completion routine is required",
    "(iokit/common) operation aborted",
    "(iokit/common) bus bandwidth would be exceeded",
    "(iokit/common) device not responding",
    "(iokit/common) isochronous I/O request for distant past!",
    "(iokit/common) isochronous I/O request for distant future",
    "(iokit/common) data was not found",
};
static_assert(std::size(kIokitCommonTexts) == 1 + (0x2f0 - 0x2bc + 1));

// A subsystem that exists but whose texts are not carried.
constexpr Subsystem kUncarried{};

// System 0: (os/kern), two empty slots, (os/unix).
constexpr Subsystem kKernSubsystems[] = {
    {kKernTexts},
    kUncarried,
    kUncarried,
    {kUnixTexts},
};

// System 2: server/netname, server/env_mgr and server/execd, the targets of the remap.
constexpr Subsystem kServerSubsystems[] = {kUncarried, kUncarried, kUncarried};

// System 3: the old ipc/send and ipc/rcv tables, the targets of the remap.
constexpr Subsystem kOldIpcSubsystems[] = {kUncarried, kUncarried};

// System 4: (ipc/send), (ipc/rcv), (ipc/mig).
constexpr Subsystem kMachIpcSubsystems[] = {
    {kIpcSendTexts},
    {kIpcReceiveTexts},
    {kIpcMigTexts},
};

// System 0x38: common, then the named families (usb, firewire, …, pmu) and vendor and
// reserved at the top; everything between is unknown.
constexpr Run kIokitSubRuns[] = {{0x000, 0x009}, {0xffe, 0xfff}};
constexpr Subsystem kIokitSubsystems[] = {
    {kIokitCommonTexts, kIokitCommonRuns},
    kUncarried,
    kUncarried,
    kUncarried,
    kUncarried,  // (iokit/blkstorage)
    kUncarried,  // (iokit/graphics)
    kUncarried,
    kUncarried,
    kUncarried,
    kUncarried,  // (iokit/pmu)
    kUncarried,  // (iokit/vendor)
    kUncarried,  // (iokit/reserved)
};
static_assert(std::size(kIokitSubsystems) == 10 + 2);

const System* FindSystem(int32_t system) {
  static constexpr System kKern{"(operating system/?) unknown subsystem error", kKernSubsystems};
  static constexpr System kUserSpace{"(user space/?) unknown subsystem error", {}};
  static constexpr System kServer{"(server/?) unknown subsystem error", kServerSubsystems};
  static constexpr System kOldIpc{"(ipc/?) unknown subsystem error", kOldIpcSubsystems};
  static constexpr System kMachIpc{"(ipc/?) unknown subsystem error", kMachIpcSubsystems};
  // The vm table sits at index 7 although the kernel's headers put err_vm at 8.
  static constexpr System kVm{"(vm/?) unknown subsystem error", {}};
  static constexpr System kLibkern{"(libkern/?) unknown subsystem error", {}};
  static constexpr System kIokit{"(iokit/?) unknown subsystem error", kIokitSubsystems,
                                 kIokitSubRuns};
  switch (system) {
    case 0x00:
      return &kKern;
    case 0x01:
      return &kUserSpace;
    case 0x02:
      return &kServer;
    case 0x03:
      return &kOldIpc;
    case 0x04:
      return &kMachIpc;
    case 0x07:
      return &kVm;
    case 0x37:
      return &kLibkern;
    case 0x38:
      return &kIokit;
    default:
      return nullptr;
  }
}

// err_system() and err_sub() of the platform's error.h, for the small numbers the remap uses.
constexpr int32_t ErrSystem(int32_t number) { return (number & 0x3f) << 26; }
constexpr int32_t ErrSub(int32_t number) { return (number & 0xfff) << 14; }

// do_compat: statuses from before the system/subsystem layout are moved into it.
int32_t Compatible(int32_t error) {
  if (error > -200 && error <= -100) return -(error + 100) | ErrSystem(3) | ErrSub(0);
  if (error > -300 && error <= -200) return -(error + 200) | ErrSystem(3) | ErrSub(1);
  if (error > -400 && error <= -300) return -(error + 300) | ErrSystem(4) | ErrSub(2);
  if (error >= 1000 && error < 1100) return (error - 1000) | ErrSystem(2) | ErrSub(0);
  if (error >= 1600 && error < 1700) return (error - 1600) | ErrSystem(2) | ErrSub(1);
  if (error >= 27600 && error < 27700) return (error - 27600) | ErrSystem(2) | ErrSub(2);
  return error;
}

constexpr uint32_t kDiskArbitrationBase = 0xF8DA0000;  // err_local | err_sub(0x368)

constexpr const char* kDiskArbitrationTexts[] = {
    "(disk arbitration) error",          "(disk arbitration) busy",
    "(disk arbitration) bad argument",   "(disk arbitration) exclusive access",
    "(disk arbitration) no resources",   "(disk arbitration) not found",
    "(disk arbitration) not mounted",    "(disk arbitration) not permitted",
    "(disk arbitration) not privileged", "(disk arbitration) not ready",
    "(disk arbitration) not writable",   "(disk arbitration) unsupported",
};

}  // namespace

const char* MachErrorString(mach_error_t error) {
  // The fields are taken from the unsigned bits: the shift of a negative number is then
  // defined, and the masks give the same fields as the platform's arithmetic shift.
  const uint32_t bits = static_cast<uint32_t>(Compatible(error));
  const int32_t system_number = static_cast<int32_t>((bits >> 26) & 0x3f);
  int32_t sub_number = static_cast<int32_t>((bits >> 14) & 0xfff);
  int32_t code = static_cast<int32_t>(bits & 0x3fff);

  const System* system = FindSystem(system_number);
  if (system == nullptr) return nullptr;
  if (!system->sub_runs.empty()) sub_number = IndexInRuns(sub_number, system->sub_runs);
  if (sub_number < 0 || static_cast<size_t>(sub_number) >= system->subsystems.size()) {
    return system->bad_sub;
  }

  const Subsystem& subsystem = system->subsystems[static_cast<size_t>(sub_number)];
  if (!subsystem.code_runs.empty()) code = IndexInRuns(code, subsystem.code_runs);
  if (code < 0 || static_cast<size_t>(code) >= subsystem.codes.size()) return kNoSuchError;
  return subsystem.codes[static_cast<size_t>(code)];
}

const char* DiskArbitrationErrorString(mach_error_t error) {
  const uint32_t bits = static_cast<uint32_t>(error);
  if (bits <= kDiskArbitrationBase ||
      bits > kDiskArbitrationBase + std::size(kDiskArbitrationTexts)) {
    return nullptr;
  }
  return kDiskArbitrationTexts[bits - kDiskArbitrationBase - 1];
}

}  // namespace platform
