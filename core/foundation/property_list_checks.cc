#include "core/foundation/property_list_checks.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "core/foundation/cf_object.h"

namespace mcom::cf {
namespace {

bool StartsWithAt(std::string_view text, size_t at, std::string_view prefix) {
  return text.substr(at, prefix.size()) == prefix;
}

bool StartsWithAtIgnoringCase(std::string_view text, size_t at, std::string_view prefix) {
  if (text.size() - at < prefix.size()) return false;
  for (size_t index = 0; index < prefix.size(); ++index) {
    if (std::tolower(static_cast<unsigned char>(text[at + index])) != prefix[index]) {
      return false;
    }
  }
  return true;
}

size_t SkipSpace(std::string_view text, size_t at) {
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  return at;
}

// The end (one past) of the "<!...>" declaration at `at`, with bracketed internal subsets
// taken as part of it, so it ends no earlier than any parser could end it.
size_t DeclarationEnd(std::string_view text, size_t at) {
  int brackets = 0;
  for (size_t index = at + 2; index < text.size(); ++index) {
    if (text[index] == '[') ++brackets;
    if (text[index] == ']' && brackets > 0) --brackets;
    if (text[index] == '>' && brackets == 0) return index + 1;
  }
  return text.size();
}

size_t EndAfter(std::string_view text, size_t from, std::string_view terminator) {
  const size_t found = text.find(terminator, from);
  return found == std::string_view::npos ? text.size() : found + terminator.size();
}

}  // namespace

bool XMLPropertyListWithinLimits(std::string_view text, int max_nesting) {
  if (text.find('\0') != std::string_view::npos) return false;
  int depth = 0;
  size_t region_end = 0;  // inside a comment, CDATA section, instruction or declaration
  for (size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
    // Opening tags count everywhere, whatever their case and whatever follows the name,
    // unless the tag is plainly empty ("<array/>", "<dict />").
    for (const std::string_view name : {"array", "dict"}) {
      if (!StartsWithAtIgnoringCase(text, at + 1, name)) continue;
      const size_t after = SkipSpace(text, at + 1 + name.size());
      if (StartsWithAt(text, after, "/>")) continue;
      if (++depth > max_nesting) return false;
    }
    if (at < region_end) continue;
    if (StartsWithAt(text, at, "<!--")) {
      region_end = EndAfter(text, at + 4, "-->");
    } else if (StartsWithAt(text, at, "<![CDATA[")) {
      region_end = EndAfter(text, at + 9, "]]>");
    } else if (StartsWithAt(text, at, "<?")) {
      region_end = EndAfter(text, at + 2, "?>");
    } else if (StartsWithAt(text, at, "<!")) {
      region_end = DeclarationEnd(text, at);
    } else {
      for (const std::string_view name : {"</array", "</dict"}) {
        if (!StartsWithAt(text, at, name)) continue;
        const size_t after = SkipSpace(text, at + name.size());
        if (StartsWithAt(text, after, ">") && depth > 0) --depth;
      }
    }
  }
  return true;
}

bool XMLElementsBalanced(std::string_view text) {
  std::vector<std::string_view> open;
  for (size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at)) {
    size_t end;
    if (StartsWithAt(text, at, "<!--")) {
      end = text.find("-->", at + 4);
      if (end == std::string_view::npos) return false;
      at = end + 3;
    } else if (StartsWithAt(text, at, "<![CDATA[")) {
      end = text.find("]]>", at + 9);
      if (end == std::string_view::npos) return false;
      at = end + 3;
    } else if (StartsWithAt(text, at, "<?")) {
      end = text.find("?>", at + 2);
      if (end == std::string_view::npos) return false;
      at = end + 2;
    } else if (StartsWithAt(text, at, "<!")) {
      at = DeclarationEnd(text, at);
      if (at == text.size() && text.back() != '>') return false;
    } else {
      // An element tag: its end is the first ">" outside quoted attribute values.
      char quote = 0;
      for (end = at + 1; end < text.size(); ++end) {
        if (quote != 0) {
          if (text[end] == quote) quote = 0;
        } else if (text[end] == '"' || text[end] == '\'') {
          quote = text[end];
        } else if (text[end] == '>') {
          break;
        }
      }
      if (end == text.size()) return false;
      const bool closing = text[at + 1] == '/';
      const size_t name_start = at + (closing ? 2 : 1);
      size_t name_end = name_start;
      while (name_end < end && !std::isspace(static_cast<unsigned char>(text[name_end])) &&
             text[name_end] != '/') {
        ++name_end;
      }
      const std::string_view name = text.substr(name_start, name_end - name_start);
      if (name.empty()) return false;
      if (closing) {
        if (open.empty() || open.back() != name) return false;
        open.pop_back();
      } else if (text[end - 1] != '/') {
        open.push_back(name);
      }
      at = end + 1;
    }
  }
  return open.empty();
}

namespace {

// The parts of a binary property list the check needs.
class BinaryLayout {
 public:
  explicit BinaryLayout(std::string_view bytes) : bytes_(bytes) {}

  bool ReadTrailer() {
    constexpr size_t kHeader = 8;
    constexpr size_t kTrailer = 32;
    if (bytes_.size() < kHeader + kTrailer) return false;
    objects_end_ = bytes_.size() - kTrailer;
    const size_t trailer = objects_end_;
    offset_size_ = Byte(trailer + 6);
    reference_size_ = Byte(trailer + 7);
    object_count_ = BigEndian(trailer + 8, 8);
    top_object_ = BigEndian(trailer + 16, 8);
    table_ = BigEndian(trailer + 24, 8);
    if (offset_size_ < 1 || offset_size_ > 8 || reference_size_ < 1 || reference_size_ > 8) {
      return false;
    }
    if (table_ < kHeader || table_ >= objects_end_) return false;
    if (object_count_ == 0 || object_count_ > (objects_end_ - table_) / offset_size_) {
      return false;
    }
    return top_object_ < object_count_;
  }

  uint64_t object_count() const { return object_count_; }
  uint64_t top_object() const { return top_object_; }

  // What one object is: a container with its references (keys and values for a
  // dictionary), or a leaf with the bytes of its payload (text or data) that libplist copies
  // each time the leaf is referenced.
  struct Object {
    bool is_container = false;
    uint64_t payload = 0;
    std::vector<uint64_t> references;
  };

  // Object `index`; false when it or its references are malformed, or when it is text that
  // is not clean (IsCleanText).
  bool Inspect(uint64_t index, Object* object) const {
    object->is_container = false;
    object->payload = 0;
    object->references.clear();
    const uint64_t offset = BigEndian(table_ + index * offset_size_, offset_size_);
    if (offset < 8 || offset >= objects_end_) return false;
    const uint8_t marker = Byte(offset);
    const uint8_t kind = marker >> 4;
    // Data (0x4) and text (0x5 ASCII, 0x6 UTF-16, 0x7 UTF-8) carry a payload; arrays (0xA),
    // ordered sets (0xB), sets (0xC) and dictionaries (0xD) refer to other objects; the rest
    // are small fixed-size leaves.
    const bool has_payload = kind >= 0x4 && kind <= 0x7;
    const bool is_container = kind >= 0xA && kind <= 0xD;
    if (!has_payload && !is_container) return true;
    uint64_t count = marker & 0x0F;
    uint64_t at = offset + 1;
    if (count == 0x0F) {
      if (at >= objects_end_) return false;
      const uint8_t size_marker = Byte(at);
      if ((size_marker >> 4) != 0x1 || (size_marker & 0x0F) > 3) return false;
      const uint64_t size = uint64_t{1} << (size_marker & 0x0F);
      if (size > objects_end_ - at - 1) return false;
      count = BigEndian(at + 1, size);
      at += 1 + size;
    }
    if (has_payload) {
      const uint64_t unit_size = kind == 0x6 ? 2 : 1;
      if (count > (objects_end_ - at) / unit_size) return false;
      object->payload = count * unit_size;
      return kind == 0x4 || IsCleanText(at, count, unit_size);
    }
    object->is_container = true;
    if (kind == 0xD) {
      if (count > UINT64_MAX / 2) return false;
      count *= 2;
    }
    if (count > (objects_end_ - at) / reference_size_) return false;
    object->references.reserve(count);
    for (uint64_t reference = 0; reference < count; ++reference) {
      const uint64_t target = BigEndian(at + reference * reference_size_, reference_size_);
      if (target >= object_count_) return false;
      object->references.push_back(target);
    }
    return true;
  }

 private:
  // Whether the `count` characters of `unit_size` bytes at `at` are text libplist reads
  // faithfully: inside the objects, no zero character, and (in UTF-16) every surrogate in a
  // proper pair. The text lies inside the objects.
  bool IsCleanText(uint64_t at, uint64_t count, uint64_t unit_size) const {
    bool expect_low_surrogate = false;
    for (uint64_t index = 0; index < count; ++index) {
      const uint64_t unit = BigEndian(at + index * unit_size, unit_size);
      if (unit == 0) return false;
      if (unit_size != 2) continue;
      const bool is_high = unit >= 0xD800 && unit <= 0xDBFF;
      const bool is_low = unit >= 0xDC00 && unit <= 0xDFFF;
      if (is_low != expect_low_surrogate) return false;
      expect_low_surrogate = is_high;
    }
    return !expect_low_surrogate;
  }

  uint8_t Byte(uint64_t at) const { return static_cast<uint8_t>(bytes_[at]); }

  uint64_t BigEndian(uint64_t at, uint64_t size) const {
    uint64_t value = 0;
    for (uint64_t index = 0; index < size; ++index) value = value << 8 | Byte(at + index);
    return value;
  }

  std::string_view bytes_;
  uint64_t objects_end_ = 0;
  uint64_t offset_size_ = 0;
  uint64_t reference_size_ = 0;
  uint64_t object_count_ = 0;
  uint64_t top_object_ = 0;
  uint64_t table_ = 0;
};

}  // namespace

BinaryPropertyListLimits BinaryPropertyListLimitsFor(size_t size) {
  BinaryPropertyListLimits limits;
  limits.max_nesting = kMaxNesting;
  limits.max_values = std::min<uint64_t>(kMaxBinaryPropertyListValues, uint64_t{4} * size);
  limits.max_payload_bytes = std::max<uint64_t>(uint64_t{16} << 20, uint64_t{16} * size);
  return limits;
}

bool BinaryPropertyListWithinLimits(std::string_view bytes,
                                    const BinaryPropertyListLimits& limits) {
  BinaryLayout layout(bytes);
  if (!layout.ReadTrailer()) return false;
  // Every reachable object is at least one value, and objects nobody refers to are never
  // written by the platform; so more objects than values allowed is refused at once, which
  // also bounds the bookkeeping below.
  if (layout.object_count() > limits.max_values) return false;

  // A depth-first walk with an explicit stack. Each object is inspected once and what it
  // expands into is remembered, so a shared object costs nothing more to check even though
  // libplist will copy it at every reference.
  enum class State : uint8_t { kNew, kOpen, kDone };
  struct Expansion {
    uint32_t nesting = 0;
    uint64_t values = 0;
    uint64_t payload = 0;
  };
  struct Frame {
    uint64_t index;
    std::vector<uint64_t> references;
    size_t next = 0;
  };
  const size_t objects = static_cast<size_t>(layout.object_count());
  std::vector<State> states(objects, State::kNew);
  std::vector<Expansion> expansions(objects);
  // Sums stop growing just past the limits, so they cannot overflow.
  const auto add = [](uint64_t sum, uint64_t more, uint64_t limit) {
    return std::min(limit + 1, sum + std::min(more, limit + 1));
  };

  std::vector<Frame> stack;
  BinaryLayout::Object object;
  // Starts on object `index`: a leaf is done at once, a container goes onto the stack.
  const auto visit = [&](uint64_t index) {
    if (!layout.Inspect(index, &object)) return false;
    if (!object.is_container) {
      states[index] = State::kDone;
      expansions[index] = {0, 1, object.payload};
      return object.payload <= limits.max_payload_bytes;
    }
    // The stack holds exactly the chain of containers from the top object to this one.
    if (static_cast<int>(stack.size()) >= limits.max_nesting) return false;
    states[index] = State::kOpen;
    stack.push_back(Frame{index, std::move(object.references)});
    return true;
  };
  if (!visit(layout.top_object())) return false;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next < frame.references.size()) {
      const uint64_t child = frame.references[frame.next++];
      if (states[child] == State::kOpen) return false;  // a container inside itself
      if (states[child] == State::kNew && !visit(child)) return false;
      continue;
    }
    Expansion total{0, 1, 0};
    for (const uint64_t child : frame.references) {
      const Expansion& part = expansions[child];
      total.nesting = std::max(total.nesting, part.nesting);
      total.values = add(total.values, part.values, limits.max_values);
      total.payload = add(total.payload, part.payload, limits.max_payload_bytes);
    }
    total.nesting += 1;
    if (total.values > limits.max_values || total.payload > limits.max_payload_bytes) {
      return false;
    }
    expansions[frame.index] = total;
    states[frame.index] = State::kDone;
    stack.pop_back();
  }
  return true;
}

}  // namespace mcom::cf
