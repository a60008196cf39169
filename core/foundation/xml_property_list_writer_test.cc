#include "core/foundation/xml_property_list_writer.h"

#include <gmock/gmock.h>

#include <cmath>
#include <string>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_date.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/property_list.h"

namespace mcom::cf {
namespace {

using ::testing::IsNull;

constexpr char kHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

std::string XML(const Ref<Object>& root) {
  const Ref<Data> data = PropertyListToData(root, PropertyListFormat::kXML);
  return data ? std::string(data->AsStringView()) : "<failed>";
}

// The body of a document holding only `root`, without header and trailer.
std::string Body(const Ref<Object>& root) {
  const std::string text = XML(root);
  const std::string header = kHeader;
  if (text.compare(0, header.size(), header) != 0 || text.size() < header.size() + 9) {
    return "<unexpected: " + text + ">";
  }
  return text.substr(header.size(), text.size() - header.size() - 9);
}

TEST(XMLPropertyListWriterTest, WritesThePlatformsExampleByteForByte) {
  const uint8_t bytes[] = {0, 1, 2, 3};
  const Ref<Dictionary> root =
      Dictionary::Create({"ratio", "Volumes", "Size", "Flag", "Empty", "Date", "Bytes"},
                         {Number::CreateReal(0.5), Array::Create({String::Create("a & b")}),
                          Number::CreateInteger(1234567890), Boolean::False(), Array::Create({}),
                          Date::Create(0), Data::Create(bytes, sizeof bytes)});
  EXPECT_EQ(XML(root),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n"
            "<dict>\n"
            "\t<key>Bytes</key>\n"
            "\t<data>\n"
            "\tAAECAw==\n"
            "\t</data>\n"
            "\t<key>Date</key>\n"
            "\t<date>2001-01-01T00:00:00Z</date>\n"
            "\t<key>Empty</key>\n"
            "\t<array/>\n"
            "\t<key>Flag</key>\n"
            "\t<false/>\n"
            "\t<key>Size</key>\n"
            "\t<integer>1234567890</integer>\n"
            "\t<key>Volumes</key>\n"
            "\t<array>\n"
            "\t\t<string>a &amp; b</string>\n"
            "\t</array>\n"
            "\t<key>ratio</key>\n"
            "\t<real>0.5</real>\n"
            "</dict>\n"
            "</plist>\n");
}

TEST(XMLPropertyListWriterTest, WritesNumbersAsThePlatformFormatsThem) {
  EXPECT_EQ(Body(Number::CreateReal(1.5)), "<real>1.5</real>\n");
  EXPECT_EQ(Body(Number::CreateReal(3.0)), "<real>3</real>\n");
  EXPECT_EQ(Body(Number::CreateReal(0.1)), "<real>0.10000000000000001</real>\n");
  EXPECT_EQ(Body(Number::CreateReal(1e20)), "<real>1e+20</real>\n");
  EXPECT_EQ(Body(Number::CreateReal(-2.5e-7)), "<real>-2.4999999999999999e-07</real>\n");
  EXPECT_EQ(Body(Number::CreateReal(0.0)), "<real>0.0</real>\n");
  EXPECT_EQ(Body(Number::CreateReal(-0.0)), "<real>0.0</real>\n");
  EXPECT_EQ(Body(Number::CreateReal(NAN)), "<real>nan</real>\n");
  EXPECT_EQ(Body(Number::CreateReal(INFINITY)), "<real>+infinity</real>\n");
  EXPECT_EQ(Body(Number::CreateReal(-INFINITY)), "<real>-infinity</real>\n");
  EXPECT_EQ(Body(Number::CreateInteger(-5)), "<integer>-5</integer>\n");
  EXPECT_EQ(Body(Number::CreateInteger(INT64_MIN)), "<integer>-9223372036854775808</integer>\n");
  EXPECT_EQ(Body(Number::CreateUnsigned(UINT64_MAX)), "<integer>18446744073709551615</integer>\n");
  EXPECT_EQ(Body(Boolean::True()), "<true/>\n");
}

TEST(XMLPropertyListWriterTest, WritesDatesInGMTRoundedDownToTheSecond) {
  EXPECT_EQ(Body(Date::Create(0.999)), "<date>2001-01-01T00:00:00Z</date>\n");
  EXPECT_EQ(Body(Date::Create(-0.5)), "<date>2000-12-31T23:59:59Z</date>\n");
  EXPECT_EQ(Body(Date::Create(604800000.0)), "<date>2020-03-02T00:00:00Z</date>\n");
  EXPECT_EQ(Body(Date::Create(5184000.0 - 86400)), "<date>2001-03-01T00:00:00Z</date>\n");
  EXPECT_EQ(Body(Date::Create(kEarliestPropertyListDate)), "<date>0000-01-01T00:00:00Z</date>\n");
  EXPECT_EQ(Body(Date::Create(kEndOfPropertyListDates - 0.5)),
            "<date>9999-12-31T23:59:59Z</date>\n");
  // Dates the format cannot carry are not written at all.
  EXPECT_THAT(PropertyListToData(Date::Create(kEndOfPropertyListDates), PropertyListFormat::kXML),
              IsNull());
  EXPECT_THAT(PropertyListToData(Date::Create(NAN), PropertyListFormat::kXML), IsNull());
}

TEST(XMLPropertyListWriterTest, EscapesOnlyTheThreeMarkupCharacters) {
  EXPECT_EQ(Body(String::Create("<a href=\"x\">&'\t\xC3\xA9</a>")),
            "<string>&lt;a href=\"x\"&gt;&amp;'\t\xC3\xA9&lt;/a&gt;</string>\n");
  EXPECT_EQ(Body(Dictionary::Create({"a<b"}, {String::Create("")})),
            "<dict>\n\t<key>a&lt;b</key>\n\t<string></string>\n</dict>\n");
  EXPECT_EQ(Body(Dictionary::Create({}, {})), "<dict/>\n");
}

TEST(XMLPropertyListWriterTest, WrapsDataByIndentation) {
  // 57 bytes are exactly one 76-character line at indentation 0; one byte more starts a
  // second line.
  EXPECT_EQ(Body(Data::Create(std::string(57, '\0'))),
            "<data>\n" + std::string(76, 'A') + "\n</data>\n");
  EXPECT_EQ(Body(Data::Create(std::string(58, '\0'))),
            "<data>\n" + std::string(76, 'A') + "\nAA==\n</data>\n");
  // Inside an array the lines are 68 characters, indented like the tag.
  EXPECT_EQ(Body(Array::Create({Data::Create(std::string(52, '\0'))})),
            "<array>\n\t<data>\n\t" + std::string(68, 'A') + "\n\tAA==\n\t</data>\n</array>\n");
  EXPECT_EQ(Body(Data::Create(nullptr, 0)), "<data>\n</data>\n");
  EXPECT_EQ(Body(Array::Create({Data::Create(nullptr, 0)})),
            "<array>\n\t<data>\n\t</data>\n</array>\n");

  // From nine levels in, the lines stop moving right: 8 tabs and 12 characters.
  Ref<Object> nested = Data::Create(std::string(12, '\0'));
  for (int level = 0; level < 10; ++level) nested = Array::Create({nested});
  const std::string tags(10, '\t');
  const std::string lines(8, '\t');
  EXPECT_THAT(Body(nested), testing::HasSubstr(tags + "<data>\n" + lines + "AAAAAAAAAAAA\n" +
                                               lines + "AAAA\n" + tags + "</data>\n"));
}

TEST(XMLPropertyListWriterTest, RefusesWhatIsNotAPropertyList) {
  EXPECT_THAT(PropertyListToData(nullptr, PropertyListFormat::kXML), IsNull());
  EXPECT_THAT(PropertyListToData(Array::Create({URLFromPath(FilePath("/tmp"), true)}),
                                 PropertyListFormat::kXML),
              IsNull());
  Ref<Object> deep = String::Create("x");
  for (int level = 0; level < kMaxNesting; ++level) deep = Array::Create({deep});
  EXPECT_TRUE(PropertyListToData(deep, PropertyListFormat::kXML));
  EXPECT_THAT(PropertyListToData(Array::Create({deep}), PropertyListFormat::kXML), IsNull());
}

}  // namespace
}  // namespace mcom::cf
