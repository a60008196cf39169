#pragma once

// What "hdiutil info" tells about an attach that the machine's model does not keep: who
// attached the image and whether its volumes were to be mounted. Kept beside the model, in
// the machine's scratch space for images (ROOT/private/var/db/macsim/images), one small
// property list per attached disk, named after the disk's registry id (never reused).

#include <sys/types.h>

#include <optional>

#include "core/foundation/file_path.h"
#include "sim/machine/model.h"

namespace sim::tools {

struct AttachRecord {
  pid_t pid = 0;           // the attaching process ("hdid-pid")
  uid_t owner_uid = 0;     // its user ("owner-uid")
  bool auto_mount = true;  // attached without -nomount ("autodiskmount")
};

// Writes the record of the attached `disk` (replacing any). Failures are ignored: the
// record only feeds the diagnostic "info".
void WriteAttachRecord(const mcom::FilePath& root, const Disk& disk, const AttachRecord& record);

// The record of `disk`, or nothing when there is none or it cannot be read.
std::optional<AttachRecord> ReadAttachRecord(const mcom::FilePath& root, const Disk& disk);

// Removes the record of `disk`, and those of disks the model no longer holds.
void RemoveAttachRecords(const mcom::FilePath& root, const Model& model, const Disk& disk);

}  // namespace sim::tools
