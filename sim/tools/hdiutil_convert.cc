// hdiutil convert: writes an image (with its shadow's changes) in another format.
//
// With -puppetstrings, progress goes to standard output as "PERCENT:<value>" lines, the
// value in percent with six decimals as the real tool prints it, rising from 0 to 100. The
// image library reports every step of its copy; a line is printed only when the value has
// risen by kPercentStep since the last one (and for 0 and 100), so a conversion prints a few
// dozen lines at most.

#include <cstdio>
#include <ostream>
#include <system_error>

#include "sim/image/image_file.h"
#include "sim/tools/hdiutil_commands.h"
#include "sim/tools/hdiutil_faults.h"
#include "sim/tools/hdiutil_options.h"

namespace sim::tools {
namespace {

constexpr char kConvertUsage[] =
    "hdiutil convert -format UDZO|UDRW|UDSP -o DESTINATION [-puppetstrings] SOURCE "
    "[-shadow FILE]";
constexpr double kPercentStep = 2.5;

std::optional<ImageFormat> ConvertFormat(const std::string& name) {
  if (name == "UDZO") return ImageFormat::kUDZO;
  if (name == "UDRW") return ImageFormat::kUDRW;
  if (name == "UDSP") return ImageFormat::kSparse;
  return std::nullopt;
}

void PrintPercent(std::ostream& out, double percent) {
  char line[64];
  std::snprintf(line, sizeof line, "PERCENT:%f\n", percent);
  out << line;
  out.flush();
}

}  // namespace

int RunHdiutilConvert(ToolContext& context, const HdiutilArguments& arguments) {
  const std::optional<ParsedOptions> options = ParseOptions(
      arguments, {{"-format", true}, {"-o", true}, {"-puppetstrings", false}, {"-shadow", true}});
  if (!options || options->operands.size() != 1 || !options->Has("-o") ||
      options->Value("-o").empty() || !ConvertFormat(options->Value("-format")) ||
      (options->Has("-shadow") && options->Value("-shadow").empty())) {
    return context.UsageError(kConvertUsage);
  }
  const ImageFormat format = *ConvertFormat(options->Value("-format"));
  CheckFailureHook(context, "convert", DefaultFailureLine("convert"));
  // A failure once the progress reaches a percentage leaves no destination file.
  std::optional<HdiutilFault> fail_at = ReadHdiutilFault(context, "convert");
  if (fail_at && fail_at->point != HdiutilFault::Point::kAfterPercent) fail_at.reset();

  const mcom::FilePath source(options->operands[0]);
  const mcom::FilePath shadow(options->Value("-shadow"));
  const mcom::FilePath destination(options->Value("-o"));
  // An image attached with writes pending (read-write, or with this shadow) is not
  // converted: what it holds is not in its files yet.
  for (const Disk& disk : context.machine().Read().disks) {
    if (disk.kind != DiskKind::kImage || !disk.writable) continue;
    if ((SameFile(mcom::FilePath(disk.image_path), source) && disk.shadow_path.empty()) ||
        (!shadow.empty() && SameFile(mcom::FilePath(disk.shadow_path), shadow))) {
      throw HdiutilFailure("convert failed - Resource busy");
    }
  }

  const bool puppet = options->Has("-puppetstrings");
  double printed = -1;
  const ImageProgress progress = [&](double percent) {
    if (fail_at && percent >= fail_at->percent) {
      ThrowFault(*fail_at, DefaultFailureLine("convert"));
    }
    if (!puppet) return;
    if (printed < 0 || percent >= 100 || percent - printed >= kPercentStep) {
      PrintPercent(context.out(), percent);
      printed = percent;
    }
  };
  try {
    ConvertImage(source, shadow, destination, format, progress);
  } catch (const std::system_error& failure) {
    throw HdiutilFailure("convert failed - " + failure.code().message());
  }
  context.out() << "created: " << destination.string() << std::endl;
  return 0;
}

}  // namespace sim::tools
