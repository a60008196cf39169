#include "sim/tools/asr_arguments.h"

#include <map>
#include <set>

namespace sim::tools {

const char kAsrUsage[] =
    "asr restore -s /dev/SOURCE -t /dev/TARGET --useReplication --puppetstrings --noprompt "
    "[--sourcevolumeUUID UUID] [--erase]\n"
    "       asr restore -s IMAGE -t /dev/PARTITION --erase --noprompt --puppetstrings "
    "--noverify";

namespace {

constexpr char kDevice[] = "/dev/";

// A device argument without its "/dev/" prefix, or nothing when it has none (or nothing
// after it).
std::optional<std::string> DeviceName(const std::string& argument) {
  if (!argument.starts_with(kDevice) || argument.size() == sizeof(kDevice) - 1) {
    return std::nullopt;
  }
  return argument.substr(sizeof(kDevice) - 1);
}

}  // namespace

std::optional<AsrRequest> ParseAsrArguments(const std::vector<std::string>& arguments) {
  if (arguments.empty() || arguments[0] != "restore") return std::nullopt;
  static const std::set<std::string> kWithValue = {"-s", "-t", "--sourcevolumeUUID"};
  static const std::set<std::string> kFlags = {"--useReplication", "--puppetstrings", "--noprompt",
                                               "--erase", "--noverify"};
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (kWithValue.contains(option)) {
      if (i + 1 == arguments.size() || values.contains(option)) return std::nullopt;
      values[option] = arguments[++i];
      if (values[option].empty()) return std::nullopt;
    } else if (kFlags.contains(option)) {
      if (!flags.insert(option).second) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (!values.contains("-s") || !values.contains("-t")) return std::nullopt;
  const std::optional<std::string> target = DeviceName(values["-t"]);
  if (!target || !flags.contains("--puppetstrings") || !flags.contains("--noprompt")) {
    return std::nullopt;
  }

  if (flags.contains("--useReplication")) {
    const std::optional<std::string> source = DeviceName(values["-s"]);
    if (!source || flags.contains("--noverify")) return std::nullopt;
    ReplicationRequest request;
    request.source = *source;
    request.target = *target;
    if (values.contains("--sourcevolumeUUID")) {
      request.source_volume_uuid = values["--sourcevolumeUUID"];
    }
    request.erase = flags.contains("--erase");
    return request;
  }

  if (!flags.contains("--erase") || !flags.contains("--noverify") ||
      values.contains("--sourcevolumeUUID")) {
    return std::nullopt;
  }
  return ImageRestoreRequest{values["-s"], *target};
}

}  // namespace sim::tools
