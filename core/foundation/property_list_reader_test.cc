#include <gmock/gmock.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_date.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/property_list.h"

namespace mcom::cf {
namespace {

using ::testing::IsNull;
using ::testing::NotNull;
using ::testing::Optional;

Ref<Object> Read(const std::string& bytes) {
  return PropertyListFromBytes(bytes.data(), bytes.size());
}

Ref<Object> ReadXML(const std::string& body) {
  return Read("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body +
              "</plist>\n");
}

// A binary property list of `objects` (each already encoded, references `reference_size`
// bytes wide), with object 0 on top.
std::string Binary(const std::vector<std::string>& objects, int reference_size) {
  std::string bytes = "bplist00";
  std::vector<uint64_t> offsets;
  for (const std::string& object : objects) {
    offsets.push_back(bytes.size());
    bytes += object;
  }
  const uint64_t table = bytes.size();
  for (const uint64_t offset : offsets) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>(offset >> shift);
  }
  bytes += std::string(6, '\0');
  bytes += '\4';
  bytes += static_cast<char>(reference_size);
  for (const uint64_t value : {uint64_t{objects.size()}, uint64_t{0}, table}) {
    for (int shift = 56; shift >= 0; shift -= 8) bytes += static_cast<char>(value >> shift);
  }
  return bytes;
}

std::string Reference(uint64_t index, int size) {
  std::string bytes;
  for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
    bytes += static_cast<char>(index >> shift);
  return bytes;
}

TEST(PropertyListReaderTest, ReadsEveryValueTypeIntoObjectsThatCannotChange) {
  const Ref<Dictionary> root = As<Dictionary>(
      ReadXML("<dict><key>s</key><string>caf\xC3\xA9 &lt;&amp;&gt;</string>"
              "<key>i</key><integer>42</integer><key>r</key><real>0.5</real>"
              "<key>t</key><true/><key>f</key><false/><key>d</key><data>AAECAw==</data>"
              "<key>date</key><date>2020-02-29T12:30:45Z</date>"
              "<key>a</key><array><string>x</string><dict/></array></dict>"));
  ASSERT_THAT(root, NotNull());
  EXPECT_THAT(root->GetString("s"), Optional(std::string("caf\xC3\xA9 <&>")));
  EXPECT_THAT(root->GetInteger("i"), Optional(42));
  EXPECT_THAT(root->GetDouble("r"), Optional(0.5));
  EXPECT_TRUE(root->Get<Number>("r")->IsReal());
  EXPECT_THAT(root->GetBool("t"), Optional(true));
  EXPECT_THAT(root->GetBool("f"), Optional(false));
  EXPECT_EQ(root->GetData("d")->AsStringView(), std::string("\0\1\2\3", 4));
  EXPECT_EQ(root->Get<Date>("date")->absolute_time(), 604672245.0);
  EXPECT_EQ(root->GetArray("a")->Count(), 2u);
  // What is read cannot be changed.
  EXPECT_EQ(dynamic_cast<const MutableDictionary*>(root.get()), nullptr);
  EXPECT_EQ(dynamic_cast<const MutableArray*>(root->GetArray("a").get()), nullptr);
}

TEST(PropertyListReaderTest, KeepsTheSignOfIntegersThatLibplistReadsAsUnsigned) {
  const Ref<Array> numbers = As<Array>(
      ReadXML("<array><integer>-5</integer><integer>-9223372036854775808</integer>"
              "<integer>9223372036854775807</integer><integer>9223372036854775808</integer>"
              "<integer>18446744073709551615</integer></array>"));
  ASSERT_THAT(numbers, NotNull());
  EXPECT_THAT(numbers->Get<Number>(0)->Int64Value(), Optional(-5));
  EXPECT_THAT(numbers->Get<Number>(1)->Int64Value(), Optional(INT64_MIN));
  EXPECT_THAT(numbers->Get<Number>(2)->Int64Value(), Optional(INT64_MAX));
  EXPECT_EQ(numbers->Get<Number>(3)->kind(), Number::Kind::kUnsigned);
  EXPECT_THAT(numbers->Get<Number>(3)->UInt64Value(), Optional(uint64_t{1} << 63));
  EXPECT_THAT(numbers->Get<Number>(4)->UInt64Value(), Optional(UINT64_MAX));
}

TEST(PropertyListReaderTest, ReadsDatesExactlyAcrossTheirWholeRange) {
  // libplist's own getter would give +0.5 and clamp anything beyond 2069 to 1901.
  for (const double time : {-0.5, 123.25, 3155760001.0, -3155673599.0, kEarliestPropertyListDate}) {
    const Ref<Object> date = Date::Create(time);
    const Ref<Date> reread =
        As<Date>(PropertyListFromData(PropertyListToData(date, PropertyListFormat::kBinary)));
    ASSERT_THAT(reread, NotNull()) << time;
    EXPECT_EQ(reread->absolute_time(), time);
  }
  EXPECT_EQ(As<Date>(ReadXML("<date>2100-01-01T00:00:01Z</date>"))->absolute_time(), 3124137601.0);
  EXPECT_EQ(As<Date>(ReadXML("<date>0001-01-01T00:00:00Z</date>"))->absolute_time(),
            -63113904000.0);
  // Dates the XML format cannot carry are refused, so everything read can be written.
  for (const double time : {1e300, double{INFINITY}, double{NAN}, kEndOfPropertyListDates}) {
    std::string date = "\x33";
    const uint64_t bits = std::bit_cast<uint64_t>(time);
    for (int shift = 56; shift >= 0; shift -= 8) date += static_cast<char>(bits >> shift);
    EXPECT_THAT(Read(Binary({date}, 1)), IsNull()) << time;
  }
}

TEST(PropertyListReaderTest, ReadsAKeyedArchiverUIDAsTheDictionaryTheXMLFormWouldGive) {
  const Ref<Object> uid = Read(Binary({std::string("\xA1\x01", 2), std::string("\x80\x07", 2)}, 1));
  ASSERT_THAT(uid, NotNull());
  EXPECT_TRUE(
      Equal(uid, Array::Create({Dictionary::Create({"CF$UID"}, {Number::CreateInteger(7)})})));
  EXPECT_TRUE(
      Equal(uid, ReadXML("<array><dict><key>CF$UID</key><integer>7</integer></dict></array>")));
}

TEST(PropertyListReaderTest, RefusesMalformedInput) {
  EXPECT_THAT(PropertyListFromBytes(nullptr, 0), IsNull());
  EXPECT_THAT(Read(""), IsNull());
  EXPECT_THAT(Read("not a property list"), IsNull());
  EXPECT_THAT(ReadXML("<array><string>unterminated</array>"), IsNull());
  EXPECT_THAT(Read("bplist00"), IsNull());
  EXPECT_THAT(Read("bplist00" + std::string(40, '\xFF')), IsNull());
  EXPECT_THAT(PropertyListFromData(nullptr), IsNull());
}

TEST(PropertyListReaderTest, RefusesTextThatIsNotCleanUnicode) {
  EXPECT_THAT(ReadXML("<string>\xC3</string>"), IsNull());
  EXPECT_THAT(ReadXML("<string>&#xD800;</string>"), IsNull());  // a lone surrogate
  EXPECT_THAT(ReadXML("<dict><key>\xFF</key><true/></dict>"), IsNull());
  // A zero character: refused before libplist (whose getters would abort) sees it.
  EXPECT_THAT(ReadXML(std::string("<string>a\0b</string>", 20)), IsNull());
  EXPECT_THAT(Read(Binary({std::string("\x53\x61\x00\x62", 4)}, 1)), IsNull());
  EXPECT_THAT(Read(Binary({std::string("\xD1\x01\x02", 3), std::string("\x52\x00\x61", 3),
                           std::string("\x09", 1)},
                          1)),
              IsNull());
  EXPECT_THAT(Read(Binary({std::string("\x61\xD8\x00", 3)}, 1)), IsNull());  // lone surrogate
  EXPECT_THAT(Read(Binary({std::string("\x53\x61\x62\x63", 4)}, 1)), NotNull());
}

TEST(PropertyListReaderTest, AcceptsNestingUpToTheLimitAndRefusesDeeper) {
  const auto nested_xml = [](int levels) {
    std::string body;
    for (int level = 0; level < levels; ++level) body += "<array>";
    for (int level = 0; level < levels; ++level) body += "</array>";
    return body;
  };
  EXPECT_THAT(ReadXML(nested_xml(kMaxNesting)), NotNull());
  EXPECT_THAT(ReadXML(nested_xml(kMaxNesting + 1)), IsNull());
  // Far beyond what libplist itself survives: refused before it gets there.
  EXPECT_THAT(ReadXML(nested_xml(2000000)), IsNull());

  const auto chain = [](int levels) {
    std::vector<std::string> objects;
    for (int level = 0; level < levels; ++level) {
      objects.push_back(std::string("\xA1").append(Reference(level + 1, 4)));
    }
    objects.push_back("\x09");
    return Binary(objects, 4);
  };
  EXPECT_THAT(Read(chain(kMaxNesting)), NotNull());
  EXPECT_THAT(Read(chain(kMaxNesting + 1)), IsNull());
  EXPECT_THAT(Read(chain(300000)), IsNull());
}

TEST(PropertyListReaderTest, RefusesSharedObjectsThatWouldExpandWithoutBound) {
  // Each array holds the next one twice: 41 objects, 2^40 values once libplist copies them.
  std::vector<std::string> objects;
  for (int level = 0; level < 40; ++level) {
    objects.push_back(
        std::string("\xA2").append(Reference(level + 1, 1)).append(Reference(level + 1, 1)));
  }
  objects.push_back(std::string("\xA0", 1));
  EXPECT_THAT(Read(Binary(objects, 1)), IsNull());

  // Shared objects within reason are fine, and read as equal copies.
  objects.resize(6);
  objects.push_back(std::string("\xA0", 1));
  const Ref<Array> shared = As<Array>(Read(Binary(objects, 1)));
  ASSERT_THAT(shared, NotNull());
  EXPECT_TRUE(Equal(shared->GetValue(0), shared->GetValue(1)));

  // An array inside itself.
  EXPECT_THAT(Read(Binary({std::string("\xA1\x00", 2)}, 1)), IsNull());
}

}  // namespace
}  // namespace mcom::cf
