#pragma once

#include <cstddef>

#include "core/foundation/cf_data.h"
#include "core/foundation/cf_object.h"
#include "core/foundation/file_path.h"

// Property lists: the values of cf_string.h, cf_number.h, cf_boolean.h, cf_data.h,
// cf_date.h, cf_array.h and cf_dictionary.h, read from and written to the platform's XML and
// binary formats. Everything the system reads from the tools, bundles, preferences and the
// registry comes through here.
namespace mcom::cf {

// The formats, with the platform's values (kCFPropertyListXMLFormat_v1_0 and
// kCFPropertyListBinaryFormat_v1_0).
enum class PropertyListFormat { kXML = 100, kBinary = 200 };

// The range of dates a property list can carry, in absolute time: from
// 0000-01-01T00:00:00Z up to, not including, 10000-01-01T00:00:00Z. The XML format writes a
// date as a four-digit year; a date outside cannot be written, so it is not read either.
inline constexpr double kEarliestPropertyListDate = -63145526400.0;
inline constexpr double kEndOfPropertyListDates = 252423993600.0;

// CFPropertyListCreateData with `format` and no options.
//
// XML is written byte for byte as the platform writes it: the XML declaration and DOCTYPE,
// <plist version="1.0">, one tab per nesting level, dictionary keys in literal UTF-16 order,
// only <, > and & escaped, reals as %.17g (0.0, nan, +infinity, -infinity for the special
// values), dates in GMT truncated to whole seconds, data as base64 in lines of
// 76 - 8 x indent characters (indent capped at 8), <dict/> and <array/> when empty.
//
// Binary is the platform's "bplist00" format: equal strings are stored once, integers in
// the fewest bytes (negative ones in 8, unsigned ones above INT64_MAX in 16), reals and
// dates as 8-byte doubles.
//
// Null when `root` is null or not a property list: it holds a URL or a bundle, a date
// outside the range above, or containers nested deeper than kMaxNesting.
Ref<Data> PropertyListToData(const Ref<Object>& root, PropertyListFormat format);

// CFPropertyListCreateWithData with immutable results: reads an XML or binary property list
// (the format is recognised from the bytes). The result and everything in it are immutable.
// Any failure is only a null result:
//  - malformed documents (XML cut off anywhere included), text that is not valid UTF-8 (or a UTF-16
//  string with an unpaired
//    surrogate) or holds a zero character, dates outside the range above;
//  - containers nested deeper than kMaxNesting, and binary lists whose shared objects would
//    expand into more than kMaxBinaryPropertyListValues values (property_list_checks.h);
//  - more than 4 GiB of input.
// A keyed-archiver UID (binary only) reads as a dictionary {"CF$UID": number}, the form in
// which the platform writes it as XML.
//
// Read with libplist, so these follow its reading rather than the platform's: an XML
// <integer> is read with C's base prefixes ("0x10" is 16, "010" is 8) and stops at the
// first character that is not a digit; a negative number below INT64_MIN reads as some
// other value; a key without a value is dropped.
Ref<Object> PropertyListFromData(const Ref<Data>& data);
Ref<Object> PropertyListFromBytes(const void* bytes, size_t length);

// The property list in the file at `path`: CreateDataFromFile (cf_file_data.h), then
// PropertyListFromData. Null when either fails.
Ref<Object> PropertyListFromFile(const FilePath& path);

}  // namespace mcom::cf
