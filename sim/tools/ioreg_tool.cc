// ioreg: the machine's registry in ioreg's tree form (ioreg_printer.h).
//
// Options, alone or run together ("-litw0"):
//   -l     every entry's properties
//   -i     classes with their superclasses
//   -t     the tree location of each subtree; the whole registry is always printed from its
//          root, so this changes nothing
//   -w N   lines cut after N characters; 0 (and no -w) for no limit
// Any other option or argument is refused (a usage message, status 1).
//
// The registry printed is the one rendered from the machine's model, the same that the
// machine writes to its registry file after every change.
//
// Fault-injection hook (injected_failure.h), with the usual message "could not read the
// registry":
//   ioreg.run   fail-before-start, fail-at-start (before anything is printed) or
//               fail-at-exit (after the whole tree)

#include <charconv>
#include <ostream>

#include "sim/machine/registry_renderer.h"
#include "sim/tools/injected_failure.h"
#include "sim/tools/ioreg_printer.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

constexpr const char* kUsage = "ioreg [-lit] [-w width]";

// The width of a -w option, from its digits; nothing for anything else.
std::optional<size_t> ParseWidth(std::string_view digits) {
  size_t width = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), width);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return width;
}

std::optional<IoregOptions> ParseOptions(const std::vector<std::string>& arguments) {
  IoregOptions options;
  for (size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (argument.size() < 2 || argument[0] != '-') return std::nullopt;
    for (size_t at = 1; at < argument.size(); ++at) {
      switch (argument[at]) {
        case 'l':
          options.properties = true;
          break;
        case 'i':
          options.inheritance = true;
          break;
        case 't':
          break;
        case 'w': {
          // The width is the rest of this argument, or the next argument.
          std::string_view digits = std::string_view(argument).substr(at + 1);
          if (digits.empty()) {
            if (++index >= arguments.size()) return std::nullopt;
            digits = arguments[index];
          }
          const std::optional<size_t> width = ParseWidth(digits);
          if (!width) return std::nullopt;
          options.width = *width;
          at = argument.size();
          break;
        }
        default:
          return std::nullopt;
      }
    }
  }
  return options;
}

}  // namespace

int RunIoreg(ToolContext& context) {
  using Point = InjectedFailure::Point;
  constexpr std::string_view kUsualFailure = "could not read the registry";
  const auto failure = WithoutCopyPoint(ReadInjectedFailure(context, "run"));
  if (auto status = FailIfAt(context, failure, Point::kBeforeStart, kUsualFailure)) return *status;
  const std::optional<IoregOptions> options = ParseOptions(context.arguments());
  if (!options) return context.UsageError(kUsage);
  if (auto status = FailIfAt(context, failure, Point::kAtStart, kUsualFailure)) return *status;
  PrintRegistryTree(RenderRegistry(context.machine().Read()), *options, context.out());
  if (!context.out().flush()) return 1;
  if (auto status = FailIfAt(context, failure, Point::kAtExit, kUsualFailure)) return *status;
  return 0;
}

}  // namespace sim::tools
