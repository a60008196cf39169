// The platform's XML property-list writer, rule by rule (CFPropertyList.c, _CFAppendXML0 and
// its helpers). The caller of each element writes the element's indentation; the element
// writes its tags, and a container writes its children one tab further in.

#include "core/foundation/xml_property_list_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_date.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/property_list.h"

namespace mcom::cf {
namespace {

constexpr std::string_view kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
constexpr std::string_view kTrailer = "</plist>\n";

class XMLWriter {
 public:
  bool Write(const Object& root) {
    out_.append(kHeader);
    if (!Append(root, 0)) return false;
    out_.append(kTrailer);
    return true;
  }

  std::string& text() { return out_; }

 private:
  void Indent(int indent) { out_.append(static_cast<size_t>(indent), '\t'); }

  // Only <, > and & are escaped; quotes and every other character are written as they are.
  void AppendEscaped(std::string_view text) {
    for (const char character : text) {
      switch (character) {
        case '<':
          out_.append("&lt;");
          break;
        case '>':
          out_.append("&gt;");
          break;
        case '&':
          out_.append("&amp;");
          break;
        default:
          out_.push_back(character);
      }
    }
  }

  void AppendString(const String& string) {
    out_.append("<string>");
    AppendEscaped(string.utf8());
    out_.append("</string>\n");
  }

  template <typename Integer>
  void AppendDecimal(Integer value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
  }

  void AppendNumber(const Number& number) {
    switch (number.kind()) {
      case Number::Kind::kSigned:
        out_.append("<integer>");
        AppendDecimal(*number.Int64Value());
        out_.append("</integer>\n");
        return;
      case Number::Kind::kUnsigned:
        out_.append("<integer>");
        AppendDecimal(*number.UInt64Value());
        out_.append("</integer>\n");
        return;
      case Number::Kind::kReal:
        break;
    }
    const double value = number.DoubleValue();
    out_.append("<real>");
    if (value == 0.0) {
      out_.append("0.0");
    } else if (std::isnan(value)) {
      out_.append("nan");
    } else if (std::isinf(value)) {
      out_.append(value > 0 ? "+infinity" : "-infinity");
    } else {
      // %.17g (DBL_DIG + 2) of the C locale; to_chars is specified to produce exactly that
      // and, unlike snprintf, ignores the process locale.
      char buffer[40];
      const auto result =
          std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 17);
      out_.append(buffer, result.ptr);
    }
    out_.append("</real>\n");
  }

  bool AppendDate(const Date& date) {
    const double absolute_time = date.absolute_time();
    if (!(absolute_time >= kEarliestPropertyListDate && absolute_time < kEndOfPropertyListDates)) {
      return false;
    }
    // Whole seconds, rounded down, in GMT: the platform breaks the time into a Gregorian
    // date and drops the fraction of the second.
    const int64_t seconds =
        static_cast<int64_t>(std::floor(absolute_time)) + int64_t{978307200};  // since 1970
    const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const int64_t second_of_day = seconds - days * 86400;
    // Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil_from_days).
    const int64_t shifted = days + 719468;
    const int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const int64_t day_of_era = shifted - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t month_index = (5 * day_of_year + 2) / 153;
    const int64_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
    const int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
    const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);

    char buffer[64];
    const int length = std::snprintf(
        buffer, sizeof buffer, "<date>%04d-%02d-%02dT%02d:%02d:%02dZ</date>\n",
        static_cast<int>(year), static_cast<int>(month), static_cast<int>(day),
        static_cast<int>(second_of_day / 3600), static_cast<int>(second_of_day / 60 % 60),
        static_cast<int>(second_of_day % 60));
    out_.append(buffer, static_cast<size_t>(length));
    return true;
  }

  // Base64 in lines of 76 - 8 x indent characters, each line indented like the tag; the
  // indent of the lines stops growing at 8 tabs (so the lines never get shorter than 12).
  void AppendData(const Data& data, int indent) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out_.append("<data>\n");
    const int line_indent = std::min(indent, 8);
    const size_t line_length = static_cast<size_t>(76 - 8 * line_indent);
    std::string encoded;
    encoded.reserve((data.length() + 2) / 3 * 4);
    const uint8_t* bytes = data.bytes();
    for (size_t at = 0; at < data.length(); at += 3) {
      const size_t left = data.length() - at;
      const uint32_t group = uint32_t{bytes[at]} << 16 |
                             (left > 1 ? uint32_t{bytes[at + 1]} << 8 : 0) |
                             (left > 2 ? uint32_t{bytes[at + 2]} : 0);
      encoded.push_back(kAlphabet[group >> 18 & 0x3F]);
      encoded.push_back(kAlphabet[group >> 12 & 0x3F]);
      encoded.push_back(left > 1 ? kAlphabet[group >> 6 & 0x3F] : '=');
      encoded.push_back(left > 2 ? kAlphabet[group & 0x3F] : '=');
    }
    for (size_t at = 0; at < encoded.size(); at += line_length) {
      Indent(line_indent);
      out_.append(encoded, at, line_length);
      out_.push_back('\n');
    }
    Indent(indent);
    out_.append("</data>\n");
  }

  bool AppendArray(const Array& array, int indent) {
    if (array.Count() == 0) {
      out_.append("<array/>\n");
      return true;
    }
    out_.append("<array>\n");
    for (const Ref<Object>& value : array) {
      Indent(indent + 1);
      if (!Append(*value, indent + 1)) return false;
    }
    Indent(indent);
    out_.append("</array>\n");
    return true;
  }

  bool AppendDictionary(const Dictionary& dictionary, int indent) {
    if (dictionary.Count() == 0) {
      out_.append("<dict/>\n");
      return true;
    }
    out_.append("<dict>\n");
    // The entries are already in the platform's key order (literal UTF-16).
    for (const auto& [key, value] : dictionary) {
      Indent(indent + 1);
      out_.append("<key>");
      AppendEscaped(key);
      out_.append("</key>\n");
      Indent(indent + 1);
      if (!Append(*value, indent + 1)) return false;
    }
    Indent(indent);
    out_.append("</dict>\n");
    return true;
  }

  // `indent` is also the number of containers around the object.
  bool Append(const Object& object, int indent) {
    switch (object.type_id()) {
      case TypeId::kString:
        AppendString(static_cast<const String&>(object));
        return true;
      case TypeId::kNumber:
        AppendNumber(static_cast<const Number&>(object));
        return true;
      case TypeId::kBoolean:
        out_.append(static_cast<const Boolean&>(object).value() ? "<true/>\n" : "<false/>\n");
        return true;
      case TypeId::kData:
        AppendData(static_cast<const Data&>(object), indent);
        return true;
      case TypeId::kDate:
        return AppendDate(static_cast<const Date&>(object));
      case TypeId::kArray:
        return indent < kMaxNesting && AppendArray(static_cast<const Array&>(object), indent);
      case TypeId::kDictionary:
        return indent < kMaxNesting &&
               AppendDictionary(static_cast<const Dictionary&>(object), indent);
      case TypeId::kURL:
      case TypeId::kBundle:
      case TypeId::kUUID:
      case TypeId::kError:
        return false;
    }
    return false;
  }

  std::string out_;
};

}  // namespace

std::optional<std::string> WriteXMLPropertyList(const Object& root) {
  XMLWriter writer;
  if (!writer.Write(root)) return std::nullopt;
  return std::move(writer.text());
}

}  // namespace mcom::cf
