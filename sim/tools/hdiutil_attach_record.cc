#include "sim/tools/hdiutil_attach_record.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <set>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/property_list.h"
#include "sim/machine/atomic_file.h"
#include "sim/machine/machine_paths.h"

namespace sim::tools {
namespace {

namespace cf = mcom::cf;

constexpr char kRecordPrefix[] = "attach-";
constexpr char kRecordSuffix[] = ".plist";

std::string RecordName(uint64_t registry_id) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%" PRIx64 "%s", kRecordPrefix, registry_id, kRecordSuffix);
  return name;
}

mcom::FilePath RecordPath(const mcom::FilePath& root, const Disk& disk) {
  return ImagesFolder(root).Join(RecordName(disk.registry_id));
}

}  // namespace

void WriteAttachRecord(const mcom::FilePath& root, const Disk& disk, const AttachRecord& record) {
  cf::Dictionary::Entries entries;
  entries["Pid"] = cf::Number::CreateInteger(record.pid);
  entries["OwnerUID"] = cf::Number::CreateUnsigned(record.owner_uid);
  entries["AutoMount"] = cf::Boolean::Get(record.auto_mount);
  const cf::Ref<cf::Data> data = cf::PropertyListToData(cf::Dictionary::Create(std::move(entries)),
                                                        cf::PropertyListFormat::kXML);
  if (data) (void)WriteFileAtomically(RecordPath(root, disk), data->AsStringView(), 0644);
}

std::optional<AttachRecord> ReadAttachRecord(const mcom::FilePath& root, const Disk& disk) {
  const cf::Ref<cf::Dictionary> plist =
      cf::As<cf::Dictionary>(cf::PropertyListFromFile(RecordPath(root, disk)));
  if (!plist) return std::nullopt;
  AttachRecord record;
  record.pid = static_cast<pid_t>(plist->GetInteger("Pid").value_or(0));
  record.owner_uid = static_cast<uid_t>(plist->GetUnsigned("OwnerUID").value_or(0));
  record.auto_mount = plist->GetBool("AutoMount").value_or(true);
  return record;
}

void RemoveAttachRecords(const mcom::FilePath& root, const Model& model, const Disk& disk) {
  std::set<std::string> kept;
  for (const Disk& other : model.disks) {
    if (other.kind == DiskKind::kImage && other.registry_id != disk.registry_id) {
      kept.insert(RecordName(other.registry_id));
    }
  }
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(ImagesFolder(root).string(), error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(kRecordPrefix) && name.ends_with(kRecordSuffix) && !kept.contains(name)) {
      ::unlink(entry.path().c_str());
    }
  }
}

}  // namespace sim::tools
