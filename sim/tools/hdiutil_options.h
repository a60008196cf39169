#pragma once

// Reading hdiutil's command lines: options in any order, sizes with unit suffixes, and the
// paths the verbs are given.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/foundation/file_path.h"

namespace sim::tools {

struct OptionSpec {
  const char* name;  // "-size"
  bool takes_value;  // the next argument is the option's value, whatever it looks like
};

// The options of one verb as given.
struct ParsedOptions {
  std::map<std::string, std::string, std::less<>> flags;  // name -> value ("" without one)
  std::vector<std::string> operands;                      // everything else, in order

  bool Has(std::string_view name) const { return flags.find(name) != flags.end(); }
  // The value of an option that was given (empty for one that was not).
  std::string Value(std::string_view name) const;
};

// Reads `arguments` against `specs`, as the real tool does: options in any order, each at
// most once. An argument starting with "-" must be one of `specs`; any other is an operand.
// Empty for an unknown or repeated option, or a value missing at the end.
std::optional<ParsedOptions> ParseOptions(const std::vector<std::string>& arguments,
                                          const std::vector<OptionSpec>& specs);

// An image size as hdiutil takes it: decimal digits, in bytes, optionally followed by one
// unit letter (either case): "b" 512-byte sectors (hdiutil's meaning, taken from mkfile),
// "k", "m", "g", "t", "p", "e" for powers of 1024. Empty for anything else, for 0 and for a
// size beyond 64 bits.
std::optional<uint64_t> ParseImageSize(std::string_view text);

// The absolute, symbolic-link-free path of `path`, whose last component need not exist (its
// folder must). Relative paths are taken from the working folder. Empty with the errno in
// `error` when the folder cannot be resolved.
mcom::FilePath ResolvedPath(const mcom::FilePath& path, std::error_code* error);

// Whether two paths name the same file: equal resolved paths, or the same device and inode.
bool SameFile(const mcom::FilePath& a, const mcom::FilePath& b);

}  // namespace sim::tools
