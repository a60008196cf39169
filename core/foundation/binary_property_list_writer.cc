// The binary property-list format ("bplist00"): a header, every object once, a table of the
// objects' offsets and a 32-byte trailer. Containers refer to their elements by index into
// the offset table. Equal strings (values and keys alike) are written once and shared, as
// the platform does; other values are written where they occur.

#include "core/foundation/binary_property_list_writer.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_date.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/property_list.h"

namespace mcom::cf {
namespace {

// The number of bytes (1, 2, 4 or 8) needed for `value`.
unsigned BytesFor(uint64_t value) {
  if (value <= 0xFF) return 1;
  if (value <= 0xFFFF) return 2;
  if (value <= 0xFFFFFFFF) return 4;
  return 8;
}

class BinaryWriter {
 public:
  bool Write(const Object& root) {
    if (!Flatten(root, 0)) return false;
    reference_size_ = BytesFor(objects_.size() - 1);
    out_.append("bplist00");
    std::vector<uint64_t> offsets;
    offsets.reserve(objects_.size());
    for (const Entry& entry : objects_) {
      offsets.push_back(out_.size());
      if (entry.object == nullptr) {
        AppendText(entry.text);
      } else {
        AppendObject(*entry.object, entry.references);
      }
    }
    const uint64_t table = out_.size();
    const unsigned offset_size = BytesFor(offsets.empty() ? 0 : offsets.back());
    for (const uint64_t offset : offsets) AppendBigEndian(offset, offset_size);
    // Trailer: five unused bytes, the sort version, the offset and reference sizes, the object
    // count, the top object and the offset table's position.
    out_.append(6, '\0');
    out_.push_back(static_cast<char>(offset_size));
    out_.push_back(static_cast<char>(reference_size_));
    AppendBigEndian(objects_.size(), 8);
    AppendBigEndian(0, 8);
    AppendBigEndian(table, 8);
    return true;
  }

  std::string& bytes() { return out_; }

 private:
  // One object of the output: a value, or (object null) a dictionary key's string.
  struct Entry {
    const Object* object;
    std::string_view text;
    std::vector<uint64_t> references;
  };

  // The index of the string `text`, made on first use.
  uint64_t StringIndex(std::string_view text) {
    const auto [found, made] = strings_.try_emplace(text, objects_.size());
    if (made) objects_.push_back(Entry{nullptr, text, {}});
    return found->second;
  }

  // Gives `object` and everything under it an index; the top object gets index 0.
  // `depth` counts the containers around `object`.
  bool Flatten(const Object& object, int depth, uint64_t* index = nullptr) {
    if (object.type_id() == TypeId::kString) {
      const uint64_t found = StringIndex(static_cast<const String&>(object).utf8());
      if (index != nullptr) *index = found;
      return true;
    }
    const uint64_t mine = objects_.size();
    if (index != nullptr) *index = mine;
    objects_.push_back(Entry{&object, {}, {}});
    std::vector<uint64_t> references;
    switch (object.type_id()) {
      case TypeId::kNumber:
      case TypeId::kBoolean:
      case TypeId::kData:
        return true;
      case TypeId::kDate: {
        const double time = static_cast<const Date&>(object).absolute_time();
        return time >= kEarliestPropertyListDate && time < kEndOfPropertyListDates;
      }
      case TypeId::kArray: {
        if (depth >= kMaxNesting) return false;
        const Array& array = static_cast<const Array&>(object);
        references.resize(array.Count());
        for (size_t at = 0; at < array.Count(); ++at) {
          if (!Flatten(*array.values()[at], depth + 1, &references[at])) return false;
        }
        break;
      }
      case TypeId::kDictionary: {
        if (depth >= kMaxNesting) return false;
        const Dictionary& dictionary = static_cast<const Dictionary&>(object);
        const size_t count = dictionary.Count();
        references.resize(2 * count);
        size_t at = 0;
        for (const auto& [key, value] : dictionary) {
          references[at] = StringIndex(key);
          if (!Flatten(*value, depth + 1, &references[count + at])) return false;
          ++at;
        }
        break;
      }
      default:
        return false;  // a URL, a bundle or a UUID is not a property-list value
    }
    objects_[mine].references = std::move(references);
    return true;
  }

  void AppendBigEndian(uint64_t value, unsigned size) {
    for (unsigned at = size; at-- > 0;) out_.push_back(static_cast<char>(value >> (8 * at)));
  }

  // A marker whose low four bits hold `count`, or 0xF and then the count as an integer.
  void AppendMarker(uint8_t kind, uint64_t count) {
    if (count < 0x0F) {
      out_.push_back(static_cast<char>(kind | count));
      return;
    }
    out_.push_back(static_cast<char>(kind | 0x0F));
    AppendUnsigned(count);
  }

  void AppendUnsigned(uint64_t value) {
    const unsigned size = BytesFor(value);
    out_.push_back(static_cast<char>(0x10 | std::countr_zero(size)));
    AppendBigEndian(value, size);
  }

  void AppendDouble(uint8_t marker, double value) {
    out_.push_back(static_cast<char>(marker));
    AppendBigEndian(std::bit_cast<uint64_t>(value), 8);
  }

  // ASCII text as bytes; anything else as big-endian UTF-16.
  void AppendText(std::string_view text) {
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
      AppendMarker(0x50, text.size());
      out_.append(text);
      return;
    }
    const std::u16string units = ToUTF16(text);
    AppendMarker(0x60, units.size());
    for (const char16_t unit : units) AppendBigEndian(unit, 2);
  }

  void AppendObject(const Object& object, const std::vector<uint64_t>& references) {
    switch (object.type_id()) {
      case TypeId::kBoolean:
        out_.push_back(static_cast<const Boolean&>(object).value() ? '\x09' : '\x08');
        return;
      case TypeId::kNumber: {
        const Number& number = static_cast<const Number&>(object);
        if (number.kind() == Number::Kind::kReal) {
          AppendDouble(0x23, number.DoubleValue());
        } else if (number.kind() == Number::Kind::kUnsigned) {
          // Above INT64_MAX: 16 bytes, the high half zero.
          out_.push_back('\x14');
          AppendBigEndian(0, 8);
          AppendBigEndian(*number.UInt64Value(), 8);
        } else if (const int64_t value = *number.Int64Value(); value < 0) {
          out_.push_back('\x13');
          AppendBigEndian(static_cast<uint64_t>(value), 8);
        } else {
          AppendUnsigned(static_cast<uint64_t>(value));
        }
        return;
      }
      case TypeId::kDate:
        AppendDouble(0x33, static_cast<const Date&>(object).absolute_time());
        return;
      case TypeId::kData: {
        const Data& data = static_cast<const Data&>(object);
        AppendMarker(0x40, data.length());
        out_.append(data.AsStringView());
        return;
      }
      case TypeId::kArray:
        AppendMarker(0xA0, references.size());
        break;
      case TypeId::kDictionary:
        AppendMarker(0xD0, references.size() / 2);
        break;
      default:
        return;
    }
    for (const uint64_t reference : references) AppendBigEndian(reference, reference_size_);
  }

  std::vector<Entry> objects_;
  std::map<std::string_view, uint64_t> strings_;
  unsigned reference_size_ = 1;
  std::string out_;
};

}  // namespace

std::optional<std::string> WriteBinaryPropertyList(const Object& root) {
  BinaryWriter writer;
  if (!writer.Write(root)) return std::nullopt;
  return std::move(writer.bytes());
}

}  // namespace mcom::cf
