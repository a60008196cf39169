#include "core/foundation/property_list_checks.h"

#include <gmock/gmock.h>

#include <string>

#include "core/foundation/cf_object.h"

namespace mcom::cf {
namespace {

std::string Repeat(const std::string& text, int times) {
  std::string result;
  for (int time = 0; time < times; ++time) result += text;
  return result;
}

TEST(PropertyListChecksTest, CountsXMLNestingAsAParserWouldSeeIt) {
  EXPECT_TRUE(XMLPropertyListWithinLimits(Repeat("<array>", 3) + Repeat("</array>", 3), 3));
  EXPECT_FALSE(XMLPropertyListWithinLimits(Repeat("<array>", 4) + Repeat("</array>", 4), 3));
  // Siblings do not add up; empty elements do not nest.
  EXPECT_TRUE(XMLPropertyListWithinLimits(
      "<dict><key>a</key><array/><key>b</key><dict /><key>c</key><array></array></dict>", 2));
  EXPECT_TRUE(XMLPropertyListWithinLimits(Repeat("<array><dict></dict></array>", 100), 2));
}

TEST(PropertyListChecksTest, NeverLetsHiddenClosingTagsLowerTheCount) {
  // Closing tags in comments, CDATA sections, instructions and declarations close nothing.
  for (const std::string hidden :
       {"<!-- </array> -->", "<![CDATA[</array>]]>", "<?x </array> ?>", "<!X [ </array> ]>"}) {
    EXPECT_FALSE(XMLPropertyListWithinLimits(Repeat("<array>" + hidden, 5), 4)) << hidden;
  }
  // Opening tags count even where a parser might not see them, and in any case.
  EXPECT_FALSE(XMLPropertyListWithinLimits("<!-- <array><array> -->", 1));
  EXPECT_FALSE(XMLPropertyListWithinLimits("<ARRAY><Dict>", 1));
  EXPECT_FALSE(XMLPropertyListWithinLimits("<array x='/>'><array>", 1));
  // Closing tags only count in their exact form.
  EXPECT_FALSE(XMLPropertyListWithinLimits("<array></ARRAY><array></arrayx><array>", 2));
  EXPECT_TRUE(XMLPropertyListWithinLimits("<array></array ><array></array\n>", 1));
  // Text that cannot be XML at all.
  EXPECT_FALSE(XMLPropertyListWithinLimits(std::string("<string>\0</string>", 18), 10));
}

TEST(PropertyListChecksTest, FindsXMLCutOffAnywhere) {
  const std::string document =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n\t<key>a &gt; b</key>\n\t<array/>\n"
      "\t<!-- note -->\n\t<key>b</key>\n\t<string><![CDATA[x<y]]></string>\n</dict>\n</plist>\n";
  EXPECT_TRUE(XMLElementsBalanced(document));
  // Every shorter prefix that cuts into the document proper fails.
  for (size_t length = document.find("<dict>"); length < document.rfind("</plist>") + 8; ++length) {
    EXPECT_FALSE(XMLElementsBalanced(document.substr(0, length))) << length;
  }
  EXPECT_FALSE(XMLElementsBalanced("<plist><array></dict></plist>"));
  EXPECT_FALSE(XMLElementsBalanced("<array></array></plist>"));
  EXPECT_FALSE(XMLElementsBalanced("<plist><key>cut<!-- excerpt ends here -->"));
  EXPECT_TRUE(XMLElementsBalanced("<plist a='>'><true /></plist>"));
}

// A binary property list with one-byte offsets and references, object 0 on top.
std::string Binary(const std::string& objects, const std::string& offsets, int count,
                   int offset_size = 1, int reference_size = 1) {
  std::string bytes = "bplist00" + objects;
  const size_t table = bytes.size();
  bytes += offsets;
  bytes += std::string(6, '\0');
  bytes += static_cast<char>(offset_size);
  bytes += static_cast<char>(reference_size);
  bytes += std::string(7, '\0') + static_cast<char>(count);
  bytes += std::string(8, '\0');
  bytes += std::string(7, '\0') + static_cast<char>(table);
  return bytes;
}

bool BinaryPropertyListWithinLimits(const std::string& bytes, int max_nesting, uint64_t max_values,
                                    uint64_t max_payload_bytes = 1000) {
  return mcom::cf::BinaryPropertyListWithinLimits(
      bytes, BinaryPropertyListLimits{max_nesting, max_values, max_payload_bytes});
}

TEST(PropertyListChecksTest, ChecksTheBinaryLayoutBeforeAnythingElse) {
  // [true] is fine.
  const std::string array_of_true = Binary(std::string("\xA1\x01\x09", 3), "\x08\x0A", 2);
  EXPECT_TRUE(BinaryPropertyListWithinLimits(array_of_true, 10, 100));

  EXPECT_FALSE(BinaryPropertyListWithinLimits("bplist00", 10, 100));
  EXPECT_FALSE(BinaryPropertyListWithinLimits(
      Binary(std::string("\xA1\x01\x09", 3), "\x08\x0A", 2, 0), 10, 100));  // offset size 0
  EXPECT_FALSE(BinaryPropertyListWithinLimits(Binary(std::string("\xA1\x01\x09", 3), "\x08\x0A", 3),
                                              10, 100));  // table too short
  EXPECT_FALSE(BinaryPropertyListWithinLimits(Binary(std::string("\xA1\x05\x09", 3), "\x08\x0A", 2),
                                              10, 100));  // no object 5
  EXPECT_FALSE(BinaryPropertyListWithinLimits(Binary(std::string("\xA3\x01\x09", 3), "\x08\x0A", 2),
                                              10, 100));  // refs run out
  EXPECT_FALSE(BinaryPropertyListWithinLimits(Binary(std::string("\xA1\x01\x09", 3), "\x08\x70", 2),
                                              10, 100));  // offset outside
  EXPECT_FALSE(BinaryPropertyListWithinLimits(
      Binary(std::string("\xAF\x20\x01\x09", 4), "\x08\x0B", 2), 10, 100));  // bad count
}

TEST(PropertyListChecksTest, RefusesBinaryTextLibplistWouldMangle) {
  const auto text = [](const std::string& object) {
    return BinaryPropertyListWithinLimits(Binary(object, "\x08", 1), 10, 100, 100);
  };
  EXPECT_TRUE(text(std::string("\x52\x61\x62", 3)));           // "ab"
  EXPECT_FALSE(text(std::string("\x52\x61\0", 3)));            // zero character
  EXPECT_TRUE(text(std::string("\x62\xD8\x3D\xDE\x00", 5)));   // a proper pair
  EXPECT_FALSE(text(std::string("\x61\x00\x00", 3)));          // zero character
  EXPECT_FALSE(text(std::string("\x61\xD8\x3D", 3)));          // high alone
  EXPECT_FALSE(text(std::string("\x62\xDE\x00\xD8\x3D", 5)));  // reversed
  EXPECT_FALSE(text(std::string("\x63\x00\x61", 3)));          // runs out
}

TEST(PropertyListChecksTest, CountsBinaryNestingAndExpansion) {
  // [[[true]]]: three containers deep, four values.
  const std::string nested =
      Binary(std::string("\xA1\x01\xA1\x02\xA1\x03\x09", 7), "\x08\x0A\x0C\x0E", 4);
  EXPECT_TRUE(BinaryPropertyListWithinLimits(nested, 3, 4));
  EXPECT_FALSE(BinaryPropertyListWithinLimits(nested, 2, 4));
  EXPECT_FALSE(BinaryPropertyListWithinLimits(nested, 3, 3));

  // {true: [true, true]} shares one object three times: five values.
  const std::string shared =
      Binary(std::string("\xD1\x02\x01\xA2\x02\x02\x09", 7), "\x08\x0B\x0E", 3);
  EXPECT_TRUE(BinaryPropertyListWithinLimits(shared, 2, 5));
  EXPECT_FALSE(BinaryPropertyListWithinLimits(shared, 2, 4));

  // ["abcd", "abcd", "abcd"] with one string: twelve bytes of text once copied.
  const std::string copies =
      Binary(std::string("\xA3\x01\x01\x01\x54\x61\x62\x63\x64", 9), "\x08\x0C", 2);
  EXPECT_TRUE(BinaryPropertyListWithinLimits(copies, 1, 4, 12));
  EXPECT_FALSE(BinaryPropertyListWithinLimits(copies, 1, 4, 11));
}

TEST(PropertyListChecksTest, TheReadersLimitsGrowWithTheInput) {
  const BinaryPropertyListLimits small = BinaryPropertyListLimitsFor(100);
  EXPECT_EQ(small.max_nesting, kMaxNesting);
  EXPECT_EQ(small.max_values, 400u);
  EXPECT_EQ(small.max_payload_bytes, uint64_t{16} << 20);
  const BinaryPropertyListLimits large = BinaryPropertyListLimitsFor(size_t{1} << 30);
  EXPECT_EQ(large.max_values, kMaxBinaryPropertyListValues);
  EXPECT_EQ(large.max_payload_bytes, uint64_t{16} << 30);
}

}  // namespace
}  // namespace mcom::cf
