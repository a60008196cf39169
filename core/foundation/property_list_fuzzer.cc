// Fuzz target for the property-list reader, the way into the system for everything tools,
// bundles, preferences and the registry hand it. For any input: reading must not crash, hang
// or leak; and whatever was read must survive a round trip through each of our writers,
//
//   bytes -> value -> XML -> value'     value' equals value, dates cut to whole seconds
//   bytes -> value -> binary -> value'' value'' equals value exactly
//
// and writing the value read back gives the same bytes again.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/foundation/cf_date.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/property_list.h"

namespace {

using mcom::cf::Array;
using mcom::cf::As;
using mcom::cf::Date;
using mcom::cf::Dictionary;
using mcom::cf::Object;
using mcom::cf::Ref;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "property_list_fuzzer: %s\n", what);
  std::abort();
}

// Equal, except that a date of `original` matches its value rounded down to the second: the
// XML format keeps whole seconds only.
bool EqualAfterXML(const Ref<Object>& original, const Ref<Object>& reread) {
  if (const Ref<Date> date = As<Date>(original)) {
    const Ref<Date> other = As<Date>(reread);
    return other && std::floor(date->absolute_time()) == other->absolute_time();
  }
  if (const Ref<Array> array = As<Array>(original)) {
    const Ref<Array> other = As<Array>(reread);
    if (!other || other->Count() != array->Count()) return false;
    for (size_t index = 0; index < array->Count(); ++index) {
      if (!EqualAfterXML(array->GetValue(index), other->GetValue(index))) return false;
    }
    return true;
  }
  if (const Ref<Dictionary> dictionary = As<Dictionary>(original)) {
    const Ref<Dictionary> other = As<Dictionary>(reread);
    if (!other || other->Count() != dictionary->Count()) return false;
    for (const auto& [key, value] : *dictionary) {
      if (!EqualAfterXML(value, other->GetValue(key))) return false;
    }
    return true;
  }
  return mcom::cf::Equal(original, reread);
}

void RoundTrip(const Ref<Object>& value, mcom::cf::PropertyListFormat format) {
  const Ref<mcom::cf::Data> written = mcom::cf::PropertyListToData(value, format);
  if (!written) Fail("a value that was read cannot be written");
  const Ref<Object> reread = mcom::cf::PropertyListFromData(written);
  if (!reread) Fail("what we wrote cannot be read back");
  const bool equal = format == mcom::cf::PropertyListFormat::kXML ? EqualAfterXML(value, reread)
                                                                  : mcom::cf::Equal(value, reread);
  if (!equal) Fail("what we wrote reads back as another value");
  const Ref<mcom::cf::Data> rewritten = mcom::cf::PropertyListToData(reread, format);
  if (!rewritten || rewritten->AsStringView() != written->AsStringView()) {
    Fail("writing the value read back gives other bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Ref<Object> value = mcom::cf::PropertyListFromBytes(data, size);
  if (!value) return 0;
  RoundTrip(value, mcom::cf::PropertyListFormat::kXML);
  RoundTrip(value, mcom::cf::PropertyListFormat::kBinary);
  return 0;
}
