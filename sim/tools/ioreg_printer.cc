#include "sim/tools/ioreg_printer.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <ostream>
#include <string_view>
#include <utility>
#include <vector>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_date.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "sim/machine/io_class_table.h"

namespace sim::tools {
namespace {

namespace cf = mcom::cf;

constexpr std::string_view kClassKey = "IOObjectClass";
constexpr std::string_view kNameKey = "IORegistryEntryName";
constexpr std::string_view kIDKey = "IORegistryEntryID";
constexpr std::string_view kChildrenKey = "IORegistryEntryChildren";
constexpr std::string_view kLocationKey = "IORegistryEntryLocation";
// What a real `ioreg -a` dump adds about each object; shown in the entry's line, never as
// properties.
constexpr std::string_view kRetainCountKey = "IOObjectRetainCount";
constexpr std::string_view kBusyStateKey = "IOServiceBusyState";
constexpr std::string_view kBusyTimeKey = "IOServiceBusyTime";
constexpr std::string_view kServiceStateKey = "IOServiceState";

bool IsObjectKey(std::string_view key) {
  return key == kClassKey || key == kNameKey || key == kIDKey || key == kChildrenKey ||
         key == kLocationKey || key == kRetainCountKey || key == kBusyStateKey ||
         key == kBusyTimeKey || key == kServiceStateKey;
}

// The class chain ioreg shows with "-i": the superclasses of `class_name` from the root
// class down, then the class itself ("IORegistryEntry:IOService:IOStorage:IOMedia"), from
// the machine's class table.
std::vector<std::string> ClassChain(const std::string& class_name) {
  std::vector<std::string> chain{class_name};
  for (std::string_view current = SuperclassOf(class_name); !current.empty();
       current = SuperclassOf(current)) {
    chain.insert(chain.begin(), std::string(current));
  }
  return chain;
}

// ioreg's reading of data: one or more zero-separated runs of printable text (zero padding
// at the end allowed, at most one in five characters from the upper half) is text;
// anything else, and any single byte, is shown in hexadecimal.
std::string FormatData(const cf::Data& data) {
  const std::span<const uint8_t> bytes = data.span();
  size_t normal = 0;
  size_t symbols = 0;
  size_t index = 0;
  while (index < bytes.size()) {
    if (bytes[index] == 0) {
      while (index < bytes.size() && bytes[index] == 0) ++index;
      break;
    }
    for (; index < bytes.size(); ++index) {
      if (std::isprint(bytes[index])) {
        ++normal;
      } else if (bytes[index] >= 128 && bytes[index] <= 254) {
        ++symbols;
      } else {
        break;
      }
    }
    if (index < bytes.size() && bytes[index] == 0) continue;
    break;
  }
  const bool text =
      index >= bytes.size() && normal > 0 && (normal >> 2) >= symbols && bytes.size() > 1;
  std::string out = "<";
  if (text) {
    bool quoted = false;
    for (size_t at = 0; at < bytes.size(); ++at) {
      if (bytes[at] != 0) {
        if (!quoted) out += at > 0 ? ",\"" : "\"";
        quoted = true;
        out.push_back(static_cast<char>(bytes[at]));
      } else if (quoted) {
        out.push_back('"');
        quoted = false;
      } else {
        break;
      }
    }
    if (quoted) out.push_back('"');
  } else {
    char hex[3];
    for (uint8_t byte : bytes) {
      std::snprintf(hex, sizeof hex, "%02x", byte);
      out += hex;
    }
  }
  out += ">";
  return out;
}

std::string FormatNumber(const cf::Number& number) {
  if (number.IsReal()) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", number.DoubleValue());
    return text;
  }
  if (const std::optional<int64_t> value = number.Int64Value()) return std::to_string(*value);
  return std::to_string(number.UInt64Value().value_or(0));
}

// The id's text, "0x100000110".
std::string HexID(uint64_t id) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%" PRIx64, id);
  return text;
}

class TreePrinter {
 public:
  TreePrinter(const IoregOptions& options, std::ostream& out) : options_(options), out_(out) {}

  void Print(const cf::Ref<cf::Dictionary>& entry, const std::string& prefix, bool last) {
    const cf::Ref<cf::Array> children = entry->GetArray(kChildrenKey);
    std::vector<cf::Ref<cf::Dictionary>> child_entries;
    if (children) {
      for (const cf::Ref<cf::Object>& child : *children) {
        if (const cf::Ref<cf::Dictionary> dictionary = cf::As<cf::Dictionary>(child)) {
          child_entries.push_back(dictionary);
        }
      }
    }
    Line(prefix + "+-o " + Title(*entry, child_entries.size()));

    const std::string child_prefix = prefix + (last ? "  " : "| ");
    if (options_.properties) {
      const std::string block = child_prefix + (child_entries.empty() ? "  " : "| ");
      Line(block + "{");
      for (const auto& [key, value] : *entry) {
        if (IsObjectKey(key)) continue;
        Line(block + "  \"" + key + "\" = " + FormatIoregValue(value));
      }
      Line(block + "}");
      Line(block);
    }
    for (size_t index = 0; index < child_entries.size(); ++index) {
      Print(child_entries[index], child_prefix, index + 1 == child_entries.size());
    }
  }

 private:
  // "Name@location  <class Class, id 0x..., registered, matched, active, busy 0 (0 ms),
  // retain N>".
  std::string Title(const cf::Dictionary& entry, size_t child_count) const {
    std::string title = entry.GetString(kNameKey).value_or("<unnamed>");
    if (const std::optional<std::string> location = entry.GetString(kLocationKey)) {
      title += "@" + *location;
    }
    const std::string class_name = entry.GetString(kClassKey).value_or("IORegistryEntry");
    const std::vector<std::string> chain = ClassChain(class_name);
    title += "  <class ";
    if (options_.inheritance) {
      for (size_t index = 0; index < chain.size(); ++index) {
        if (index > 0) title += ":";
        title += chain[index];
      }
    } else {
      title += class_name;
    }
    if (const std::optional<uint64_t> id = entry.GetUnsigned(kIDKey)) {
      title += ", id " + HexID(*id);
    }
    const bool service = ClassConformsTo(class_name, "IOService");
    if (service) {
      const int64_t busy = entry.GetInteger(kBusyStateKey).value_or(0);
      const int64_t busy_ns = entry.GetInteger(kBusyTimeKey).value_or(0);
      title += ", registered, matched, active, busy " + std::to_string(busy) + " (" +
               std::to_string(busy_ns / 1000000) + " ms)";
    }
    const int64_t retain =
        entry.GetInteger(kRetainCountKey).value_or(6 + 2 * static_cast<int64_t>(child_count));
    title += ", retain " + std::to_string(retain) + ">";
    return title;
  }

  void Line(std::string line) {
    if (options_.width > 0 && line.size() > options_.width) {
      size_t cut = options_.width;
      // Never half a character: back off over UTF-8 continuation bytes.
      while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
      line.resize(cut);
    }
    out_ << line << '\n';
  }

  const IoregOptions& options_;
  std::ostream& out_;
};

}  // namespace

std::string FormatIoregValue(const cf::Ref<cf::Object>& value) {
  if (const cf::Ref<cf::String> string = cf::As<cf::String>(value)) {
    return "\"" + string->utf8() + "\"";
  }
  if (const cf::Ref<cf::Boolean> boolean = cf::As<cf::Boolean>(value)) {
    return boolean->value() ? "Yes" : "No";
  }
  if (const cf::Ref<cf::Number> number = cf::As<cf::Number>(value)) return FormatNumber(*number);
  if (const cf::Ref<cf::Data> data = cf::As<cf::Data>(value)) return FormatData(*data);
  if (const cf::Ref<cf::Array> array = cf::As<cf::Array>(value)) {
    std::string text = "(";
    for (size_t index = 0; index < array->Count(); ++index) {
      if (index > 0) text += ",";
      text += FormatIoregValue(array->GetValue(index));
    }
    return text + ")";
  }
  if (const cf::Ref<cf::Dictionary> dictionary = cf::As<cf::Dictionary>(value)) {
    std::string text = "{";
    bool first = true;
    for (const auto& [key, item] : *dictionary) {
      if (!first) text += ",";
      first = false;
      text += "\"" + key + "\"=" + FormatIoregValue(item);
    }
    return text + "}";
  }
  if (const cf::Ref<cf::Date> date = cf::As<cf::Date>(value)) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f", date->SecondsSince1970());
    return text;
  }
  return "<unknown>";
}

void PrintRegistryTree(const cf::Ref<cf::Dictionary>& root, const IoregOptions& options,
                       std::ostream& out) {
  if (!root) return;
  TreePrinter(options, out).Print(root, "", true);
}

}  // namespace sim::tools
