// hdiutil create and resize: new sparse images, and images grown in place or in a shadow.

#include <ostream>
#include <string_view>
#include <system_error>

#include "sim/image/image_file.h"
#include "sim/tools/hdiutil_commands.h"
#include "sim/tools/hdiutil_faults.h"
#include "sim/tools/hdiutil_options.h"

namespace sim::tools {
namespace {

constexpr char kCreateUsage[] = "hdiutil create -size SIZE -type SPARSE -layout NONE PATH";
constexpr char kResizeUsage[] = "hdiutil resize -size SIZE -growonly IMAGE [-shadow FILE]";

// Whether an attached image uses the file at `path` as its image or shadow.
bool AttachedFile(const Model& model, const mcom::FilePath& path) {
  for (const Disk& disk : model.disks) {
    if (disk.kind != DiskKind::kImage) continue;
    if (SameFile(mcom::FilePath(disk.image_path), path) ||
        SameFile(mcom::FilePath(disk.shadow_path), path)) {
      return true;
    }
  }
  return false;
}

// The file name a sparse image gets: the real tool appends ".sparseimage" to a path that
// does not end in it ("Backup" and "Backup.dmg" become "Backup.sparseimage" and
// "Backup.dmg.sparseimage") and names the file it made in its output.
mcom::FilePath SparseImagePath(const std::string& given) {
  constexpr std::string_view kExtension = ".sparseimage";
  if (given.ends_with(kExtension) && given.size() > kExtension.size() &&
      given[given.size() - kExtension.size() - 1] != '/') {
    return mcom::FilePath(given);
  }
  return mcom::FilePath(given + std::string(kExtension));
}

}  // namespace

int RunHdiutilCreate(ToolContext& context, const HdiutilArguments& arguments) {
  const std::optional<ParsedOptions> options =
      ParseOptions(arguments, {{"-size", true}, {"-type", true}, {"-layout", true}});
  if (!options || options->operands.size() != 1 || !options->Has("-size") ||
      options->Value("-type") != "SPARSE" || options->Value("-layout") != "NONE") {
    return context.UsageError(kCreateUsage);
  }
  const std::optional<uint64_t> size = ParseImageSize(options->Value("-size"));
  if (!size) throw HdiutilFailure("create: invalid size \"" + options->Value("-size") + "\"");
  CheckFailureHook(context, "create", DefaultFailureLine("create"));

  const mcom::FilePath path = SparseImagePath(options->operands[0]);
  try {
    CreateSparseImage(path, *size);
  } catch (const std::system_error& failure) {
    throw HdiutilFailure("create failed - " + failure.code().message());
  }
  context.out() << "created: " << path.string() << std::endl;
  return 0;
}

int RunHdiutilResize(ToolContext& context, const HdiutilArguments& arguments) {
  const std::optional<ParsedOptions> options =
      ParseOptions(arguments, {{"-size", true}, {"-growonly", false}, {"-shadow", true}});
  if (!options || options->operands.size() != 1 || !options->Has("-size") ||
      !options->Has("-growonly") ||
      (options->Has("-shadow") && options->Value("-shadow").empty())) {
    return context.UsageError(kResizeUsage);
  }
  const std::optional<uint64_t> size = ParseImageSize(options->Value("-size"));
  if (!size) throw HdiutilFailure("resize: invalid size \"" + options->Value("-size") + "\"");
  CheckFailureHook(context, "resize", DefaultFailureLine("resize"));

  const mcom::FilePath image(options->operands[0]);
  const mcom::FilePath shadow(options->Value("-shadow"));
  const Model model = context.machine().Read();
  if (AttachedFile(model, image) || (!shadow.empty() && AttachedFile(model, shadow))) {
    throw HdiutilFailure("resize failed - Resource busy");
  }
  try {
    GrowImage(image, shadow, *size);
  } catch (const std::system_error& failure) {
    throw HdiutilFailure("resize failed - " + failure.code().message());
  }
  return 0;
}

}  // namespace sim::tools
