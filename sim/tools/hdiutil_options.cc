#include "sim/tools/hdiutil_options.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace sim::tools {

std::string ParsedOptions::Value(std::string_view name) const {
  const auto found = flags.find(name);
  return found == flags.end() ? std::string() : found->second;
}

std::optional<ParsedOptions> ParseOptions(const std::vector<std::string>& arguments,
                                          const std::vector<OptionSpec>& specs) {
  ParsedOptions parsed;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (!argument.starts_with("-")) {
      parsed.operands.push_back(argument);
      continue;
    }
    const auto spec = std::find_if(specs.begin(), specs.end(),
                                   [&](const OptionSpec& s) { return argument == s.name; });
    if (spec == specs.end() || parsed.Has(argument)) return std::nullopt;
    std::string value;
    if (spec->takes_value) {
      if (i + 1 == arguments.size()) return std::nullopt;
      value = arguments[++i];
    }
    parsed.flags.emplace(argument, std::move(value));
  }
  return parsed;
}

std::optional<uint64_t> ParseImageSize(std::string_view text) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || text.size() - digits > 1) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = 0; i < digits; ++i) {
    if (__builtin_mul_overflow(value, uint64_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<uint64_t>(text[i] - '0'), &value)) {
      return std::nullopt;
    }
  }
  uint64_t unit = 1;
  if (digits < text.size()) {
    switch (std::tolower(static_cast<unsigned char>(text[digits]))) {
      case 'b':
        unit = 512;
        break;
      case 'k':
        unit = uint64_t{1} << 10;
        break;
      case 'm':
        unit = uint64_t{1} << 20;
        break;
      case 'g':
        unit = uint64_t{1} << 30;
        break;
      case 't':
        unit = uint64_t{1} << 40;
        break;
      case 'p':
        unit = uint64_t{1} << 50;
        break;
      case 'e':
        unit = uint64_t{1} << 60;
        break;
      default:
        return std::nullopt;
    }
  }
  if (__builtin_mul_overflow(value, unit, &value) || value == 0) return std::nullopt;
  return value;
}

mcom::FilePath ResolvedPath(const mcom::FilePath& path, std::error_code* error) {
  *error = {};
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) != nullptr) return mcom::FilePath(resolved);
  // The file itself may not exist yet (or be a dangling link, which stays as it is): resolve
  // its folder and keep the name.
  std::string text = path.string();
  while (text.size() > 1 && text.ends_with("/")) text.pop_back();
  const mcom::FilePath trimmed(text);
  const std::string name = trimmed.LastComponent();
  if (name.empty() || name == "." || name == ".." || name == "/") {
    *error = std::make_error_code(std::errc::no_such_file_or_directory);
    return {};
  }
  if (::realpath(trimmed.Parent().c_str(), resolved) == nullptr) {
    *error = std::error_code(errno, std::generic_category());
    return {};
  }
  const std::string folder = resolved;
  return mcom::FilePath(folder == "/" ? "/" + name : folder + "/" + name);
}

bool SameFile(const mcom::FilePath& a, const mcom::FilePath& b) {
  if (a.empty() || b.empty()) return false;
  std::error_code error;
  const mcom::FilePath resolved_a = ResolvedPath(a, &error);
  if (!error) {
    const mcom::FilePath resolved_b = ResolvedPath(b, &error);
    if (!error && resolved_a == resolved_b) return true;
  }
  struct stat status_a {};
  struct stat status_b {};
  return ::stat(a.c_str(), &status_a) == 0 && ::stat(b.c_str(), &status_b) == 0 &&
         status_a.st_dev == status_b.st_dev && status_a.st_ino == status_b.st_ino;
}

}  // namespace sim::tools
