// hdiutil info: every attached image with its entities, as text (for the log collection) or
// as the real tool's property list (-plist).

#include <pwd.h>

#include <ostream>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/property_list.h"
#include "sim/tools/hdiutil_attach_record.h"
#include "sim/tools/hdiutil_commands.h"
#include "sim/tools/hdiutil_entities.h"
#include "sim/tools/hdiutil_faults.h"
#include "sim/tools/hdiutil_image_disks.h"
#include "sim/tools/hdiutil_options.h"

namespace sim::tools {
namespace {

namespace cf = mcom::cf;

constexpr char kInfoUsage[] = "hdiutil info [-plist]";
// The disk-image framework's version that the real tool reports, from the real sample.
constexpr char kFrameworkVersion[] = "683.100.3";
constexpr char kIconPath[] =
    "/System/Library/PrivateFrameworks/DiskImages.framework/Resources/CDiskImage.icns";
constexpr uint64_t kBlockSize = 512;

// The image type as "info" names it.
const char* ImageTypeName(ImageFormat format) {
  switch (format) {
    case ImageFormat::kSparse:
      return "sparse disk image";
    case ImageFormat::kUDZO:
      return "UDIF read-only compressed (zlib)";
    case ImageFormat::kUDRW:
      return "read/write";
  }
  return "read/write";
}

std::string UserName(uid_t uid) {
  if (const passwd* entry = ::getpwuid(uid)) return entry->pw_name;
  return std::to_string(uid);
}

cf::Ref<cf::Dictionary> ImageDictionary(const Model& model, const Disk& disk,
                                        const AttachRecord& record) {
  std::vector<cf::Ref<cf::Object>> entities;
  for (const SystemEntity& entity : InfoEntities(model, disk.number)) {
    entities.push_back(InfoEntityDictionary(entity));
  }
  cf::Dictionary::Entries entries;
  entries["autodiskmount"] = cf::Boolean::Get(record.auto_mount);
  entries["blockcount"] = cf::Number::CreateUnsigned(disk.size / kBlockSize);
  entries["blocksize"] = cf::Number::CreateUnsigned(kBlockSize);
  entries["diskimages2"] = cf::Boolean::False();
  entries["hdid-pid"] = cf::Number::CreateInteger(record.pid);
  entries["icon-path"] = cf::String::Create(kIconPath);
  entries["image-encrypted"] = cf::Boolean::False();
  entries["image-path"] = cf::String::Create(disk.image_path);
  entries["image-type"] = cf::String::Create(ImageTypeName(ImageFormatOfDisk(disk)));
  entries["owner-uid"] = cf::Number::CreateUnsigned(record.owner_uid);
  entries["removable"] = cf::Boolean::True();
  if (!disk.shadow_path.empty()) entries["shadow-path"] = cf::String::Create(disk.shadow_path);
  entries["system-entities"] = cf::Array::Create(entities);
  entries["writeable"] = cf::Boolean::Get(disk.writable);
  return cf::Dictionary::Create(std::move(entries));
}

void PrintImageText(std::ostream& out, const Model& model, const Disk& disk,
                    const AttachRecord& record) {
  const auto flag = [](bool value) { return value ? "TRUE" : "FALSE"; };
  out << "================================================\n"
      << "image-path      : " << disk.image_path << "\n"
      << "image-alias     : " << disk.image_path << "\n"
      << "shadow-path     : " << (disk.shadow_path.empty() ? "<none>" : disk.shadow_path) << "\n"
      << "icon-path       : " << kIconPath << "\n"
      << "image-type      : " << ImageTypeName(ImageFormatOfDisk(disk)) << "\n"
      << "system-image    : TRUE\n"
      << "blockcount      : " << disk.size / kBlockSize << "\n"
      << "blocksize       : " << kBlockSize << "\n"
      << "writeable       : " << flag(disk.writable) << "\n"
      << "autodiskmount   : " << flag(record.auto_mount) << "\n"
      << "removable       : TRUE\n"
      << "image-encrypted : false\n"
      << "mounting user   : " << UserName(record.owner_uid) << "\n"
      << "mounting mode   : <unknown>\n"
      << "process ID      : " << record.pid << "\n";
  for (const SystemEntity& entity : InfoEntities(model, disk.number)) {
    out << entity.dev_entry << "\t" << entity.content_hint << "\t" << entity.mount_point << "\n";
  }
}

}  // namespace

int RunHdiutilInfo(ToolContext& context, const HdiutilArguments& arguments) {
  const std::optional<ParsedOptions> options = ParseOptions(arguments, {{"-plist", false}});
  if (!options || !options->operands.empty()) return context.UsageError(kInfoUsage);
  CheckFailureHook(context, "info", DefaultFailureLine("info"));

  const Model model = context.machine().Read();
  const bool plist = options->Has("-plist");
  std::vector<cf::Ref<cf::Object>> images;
  if (!plist) {
    context.out() << "framework       : " << kFrameworkVersion << "\n"
                  << "driver          : " << kFrameworkVersion << "\n";
  }
  for (const Disk& disk : model.disks) {
    if (disk.kind != DiskKind::kImage) continue;
    const AttachRecord record = ReadAttachRecord(context.root(), disk).value_or(AttachRecord{});
    if (plist) {
      images.push_back(ImageDictionary(model, disk, record));
    } else {
      PrintImageText(context.out(), model, disk, record);
    }
  }
  if (plist) {
    cf::Dictionary::Entries top;
    top["framework"] = cf::String::Create(kFrameworkVersion);
    top["images"] = cf::Array::Create(images);
    top["revision"] = cf::String::Create(kFrameworkVersion);
    top["vendor"] = cf::String::Create("Apple");
    const cf::Ref<cf::Data> data = cf::PropertyListToData(cf::Dictionary::Create(std::move(top)),
                                                          cf::PropertyListFormat::kXML);
    if (!data) throw HdiutilFailure("info failed - cannot write the property list");
    context.out() << data->AsStringView();
  }
  context.out().flush();
  return 0;
}

}  // namespace sim::tools
