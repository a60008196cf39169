// hdiutil attach: lays a disk image into the machine as disks, partitions, containers and
// volumes, mounts them unless asked not to, and reports the entities it brought.
//
// The volumes' files are unpacked from the image into the machine's scratch space first,
// without the machine's lock, and moved into their volume stores in one transaction, so that
// other tools are not held up while a large image unpacks and a failed attach leaves nothing
// behind.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ostream>
#include <system_error>
#include <variant>

#include "core/foundation/cf_array.h"
#include "core/foundation/file_tree.h"
#include "core/foundation/property_list.h"
#include "core/foundation/scope_guard.h"
#include "sim/image/image_file.h"
#include "sim/image/volume_payload.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/scratch_folder.h"
#include "sim/tools/hdiutil_attach_record.h"
#include "sim/tools/hdiutil_commands.h"
#include "sim/tools/hdiutil_entities.h"
#include "sim/tools/hdiutil_faults.h"
#include "sim/tools/hdiutil_image_disks.h"
#include "sim/tools/hdiutil_options.h"

namespace sim::tools {
namespace {

namespace cf = mcom::cf;

constexpr char kAttachUsage[] =
    "hdiutil attach [-nobrowse] [-owners on|off] [-readonly|-readwrite] [-plist] [-nomount] "
    "[-mount required|optional|suppressed] [-mountpoint DIR] [-noverify] [-noautoopen] "
    "[-shadow FILE] IMAGE";

std::string PlistText(const cf::Ref<cf::Object>& root) {
  const cf::Ref<cf::Data> data = cf::PropertyListToData(root, cf::PropertyListFormat::kXML);
  if (!data) throw HdiutilFailure("attach failed - cannot write the property list");
  return std::string(data->AsStringView());
}

std::string EntitiesPlist(const std::vector<cf::Ref<cf::Object>>& entities) {
  cf::Dictionary::Entries top;
  top["system-entities"] = cf::Array::Create(entities);
  return PlistText(cf::Dictionary::Create(std::move(top)));
}

// The attach-output hook: output of a successful attach that the system's parser must
// refuse. The image is attached all the same, as a real tool whose output cannot be read has
// attached it; the system must still find and detach it.
bool IsBrokenOutputForm(const std::string& value) {
  return value == "text" || value == "empty-entities" || value == "bad-dev-entry";
}

void PrintBrokenOutput(const std::string& value, std::ostream& out) {
  if (value == "text") {
    // What hdiutil prints without -plist: lines, not a property list.
    out << EntityLine(SystemEntity{"/dev/disk9", "GUID_partition_scheme", {}, false, {}, {}})
        << "\n";
  } else if (value == "empty-entities") {
    out << EntitiesPlist({});
  } else if (value == "bad-dev-entry") {
    out << EntitiesPlist({AttachEntityDictionary(SystemEntity{
        "/dev/disk9x", "GUID_partition_scheme", "GUID_partition_scheme", false, {}, {}})});
  }
  out.flush();
}

// Whether the image, or the shadow, is in use by an attached image already.
bool InUse(const Model& model, const mcom::FilePath& image, const mcom::FilePath& shadow) {
  for (const Disk& disk : model.disks) {
    if (disk.kind != DiskKind::kImage) continue;
    const mcom::FilePath attached(disk.image_path);
    const mcom::FilePath attached_shadow(disk.shadow_path);
    if (SameFile(attached, image) || SameFile(attached_shadow, image)) return true;
    if (!shadow.empty() && (SameFile(attached, shadow) || SameFile(attached_shadow, shadow))) {
      return true;
    }
  }
  return false;
}

std::string ErrorText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

// A folder in the machine's scratch space for the attach, removed with its contents.
ScratchFolder MakeScratch(const mcom::FilePath& root) {
  try {
    return ScratchFolder(root, ".attach");
  } catch (const std::system_error& failure) {
    throw HdiutilFailure("attach failed - " + failure.code().message());
  }
}

struct AttachOutcome {
  uint32_t disk = 0;
  std::vector<SystemEntity> entities;
};

}  // namespace

int RunHdiutilAttach(ToolContext& context, const HdiutilArguments& arguments) {
  const std::optional<ParsedOptions> options = ParseOptions(arguments, {{"-nobrowse", false},
                                                                        {"-owners", true},
                                                                        {"-readonly", false},
                                                                        {"-readwrite", false},
                                                                        {"-plist", false},
                                                                        {"-nomount", false},
                                                                        {"-mount", true},
                                                                        {"-mountpoint", true},
                                                                        {"-noverify", false},
                                                                        {"-noautoopen", false},
                                                                        {"-shadow", true}});
  if (!options || options->operands.size() != 1) return context.UsageError(kAttachUsage);
  const std::string owners = options->Value("-owners");
  const std::string mount = options->Value("-mount");
  if ((options->Has("-owners") && owners != "on" && owners != "off") ||
      (options->Has("-mount") && mount != "required" && mount != "optional" &&
       mount != "suppressed") ||
      (options->Has("-readonly") && options->Has("-readwrite")) ||
      ((options->Has("-nomount") || mount == "suppressed") &&
       (options->Has("-mountpoint") || mount == "required")) ||
      (options->Has("-shadow") && options->Value("-shadow").empty())) {
    return context.UsageError(kAttachUsage);
  }

  CheckFailureHook(context, "attach", DefaultFailureLine("attach"));
  const std::optional<std::string> broken = context.Fault("attach-output");
  if (broken && !IsBrokenOutputForm(*broken)) {
    throw HdiutilFailure("attach failed - fault hook value not understood: " + *broken);
  }

  std::error_code error;
  ImageAttachSpec spec;
  spec.image = ResolvedPath(mcom::FilePath(options->operands[0]), &error);
  struct stat status {};
  if (error || ::stat(spec.image.c_str(), &status) != 0) {
    throw HdiutilFailure("attach failed - " + ErrorText(error ? error.value() : errno));
  }
  if (S_ISDIR(status.st_mode)) throw HdiutilFailure("attach failed - image not recognized");
  if (options->Has("-shadow")) {
    spec.shadow = ResolvedPath(mcom::FilePath(options->Value("-shadow")), &error);
    if (error) throw HdiutilFailure("attach failed - " + error.message());
  }

  ImageDescription description;
  try {
    description = ReadImage(spec.image, spec.shadow);
  } catch (const std::system_error& failure) {
    throw HdiutilFailure("attach failed - " + failure.code().message());
  }

  // Writes go to the shadow when there is one, else into the image, which a compressed
  // format cannot take: asking for that fails rather than losing the writes at detach.
  const bool read_only_format = IsReadOnlyFormat(description.format);
  spec.read_only = options->Has("-readonly") ||
                   (!options->Has("-readwrite") && spec.shadow.empty() && read_only_format);
  if (!spec.read_only && spec.shadow.empty()) {
    if (read_only_format) throw HdiutilFailure("attach failed - Read-only file system");
    if (::access(spec.image.c_str(), W_OK) != 0 ||
        ::access(spec.image.Parent().c_str(), W_OK) != 0) {
      throw HdiutilFailure("attach failed - " + ErrorText(errno));
    }
  }
  spec.mount = !options->Has("-nomount") && mount != "suppressed";
  spec.mount_required = mount == "required";
  spec.hidden = options->Has("-nobrowse");
  if (options->Has("-mountpoint")) {
    const mcom::FilePath given(options->Value("-mountpoint"));
    const mcom::FilePath resolved = ResolvedPath(given, &error);
    spec.mount_point = error ? given : resolved;
  }

  if (InUse(context.machine().Read(), spec.image, spec.shadow)) {
    throw HdiutilFailure("attach failed - Resource busy");
  }

  // Unpack every volume before taking the machine's lock.
  const ScratchFolder scratch = MakeScratch(context.root());
  std::vector<mcom::FilePath> extracted;
  try {
    for (const ImageVolume* volume : VolumesOf(description)) {
      extracted.push_back(scratch.path().Join(std::to_string(extracted.size())));
      ExtractPayload(std::get<ImagePayload>(volume->files), extracted.back());
    }
  } catch (const std::system_error& failure) {
    throw HdiutilFailure("attach failed - " + failure.code().message());
  }

  const mcom::FilePath& root = context.root();
  const AttachOutcome outcome = context.machine().Change([&](Model& model) {
    if (InUse(model, spec.image, spec.shadow)) {
      throw HdiutilFailure("attach failed - Resource busy");
    }
    AttachOutcome result;
    result.disk = AddImageDisks(root, model, spec, description, extracted);
    WriteAttachRecord(root, *FindDisk(model, result.disk),
                      AttachRecord{::getpid(), ::getuid(), spec.mount});
    result.entities = AttachEntities(model, result.disk);
    return result;
  });

  if (broken) {
    PrintBrokenOutput(*broken, context.out());
  } else if (options->Has("-plist")) {
    std::vector<cf::Ref<cf::Object>> entities;
    for (const SystemEntity& entity : outcome.entities) {
      entities.push_back(AttachEntityDictionary(entity));
    }
    context.out() << EntitiesPlist(entities);
  } else {
    for (const SystemEntity& entity : outcome.entities) {
      context.out() << EntityLine(entity) << "\n";
    }
  }
  context.out().flush();
  return 0;
}

}  // namespace sim::tools
