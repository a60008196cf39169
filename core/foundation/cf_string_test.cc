#include "core/foundation/cf_string.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <string>
#include <vector>

namespace mcom::cf {
namespace {

using ::testing::ElementsAre;
using ::testing::IsNull;
using ::testing::NotNull;

TEST(CFStringTest, CreationAcceptsValidUTF8AndRefusesEverythingElse) {
  EXPECT_THAT(String::Create(""), NotNull());
  EXPECT_THAT(String::Create("disk3s1 caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"), NotNull());
  EXPECT_THAT(String::CreateWithCString(nullptr), IsNull());

  const std::vector<std::string> invalid = {
      "\xC3",              // truncated two-byte sequence
      "a\x80",             // lone continuation byte
      "\xC0\xAF",          // overlong "/"
      "\xE0\x80\xAF",      // overlong three-byte form
      "\xED\xA0\x80",      // a UTF-16 surrogate (CESU-8)
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xFF",
  };
  for (const std::string& text : invalid) {
    EXPECT_THAT(String::Create(text), IsNull()) << testing::PrintToString(text);
  }
}

TEST(CFStringTest, ConversionStopsBeforeTheFirstCharacterTheEncodingLacks) {
  const Ref<String> mixed = String::Create("abc\xC3\xA9\xE2\x82\xAC");  // "abcé€"
  EXPECT_EQ(mixed->ToStdString(StringEncoding::kUTF8), "abc\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(mixed->ToStdString(StringEncoding::kASCII), "abc");
  EXPECT_EQ(mixed->ToStdString(StringEncoding::kISOLatin1), "abc\xE9");

  // A first character that cannot be represented gives the empty string, never a
  // substitute character.
  EXPECT_EQ(String::Create("\xC3\xA9t\xC3\xA9")->ToStdString(StringEncoding::kASCII), "");
  EXPECT_EQ(String::Create("\xE2\x82\xACx")->ToStdString(StringEncoding::kISOLatin1), "");
  EXPECT_EQ(ToStdString(nullptr), "");
  EXPECT_EQ(ToStdString(String::Create("plain"), StringEncoding::kASCII), "plain");
}

TEST(CFStringTest, LengthCountsUTF16Units) {
  EXPECT_EQ(String::Create("")->UTF16Length(), 0u);
  EXPECT_EQ(String::Create("caf\xC3\xA9")->UTF16Length(), 4u);
  EXPECT_EQ(String::Create("a\xF0\x9F\x98\x80")->UTF16Length(), 3u);  // a surrogate pair
  EXPECT_EQ(ToUTF16("a\xF0\x9F\x98\x80"), (std::u16string{u'a', 0xD83D, 0xDE00}));
}

TEST(CFStringTest, KeysSortInLiteralUTF16Order) {
  std::vector<std::string> keys = {
      "b",
      "a",
      "B",
      "",
      "ab",
      "\xEF\xBD\x9E",      // U+FF5E, above the surrogates
      "\xF0\x9F\x98\x80",  // U+1F600, a surrogate pair in UTF-16
      "\xC3\xA9",          // U+00E9
  };
  std::sort(keys.begin(), keys.end(), UTF16Less());
  // Uppercase before lowercase, a prefix first, and U+1F600 (0xD83D...) before U+FF5E, the
  // reverse of their code point (and UTF-8 byte) order.
  EXPECT_THAT(keys,
              ElementsAre("", "B", "a", "ab", "b", "\xC3\xA9", "\xF0\x9F\x98\x80", "\xEF\xBD\x9E"));
  EXPECT_EQ(CompareUTF16("same", "same"), 0);
  EXPECT_LT(CompareUTF16("\xF0\x9F\x98\x80", "\xF0\x9F\x98\x81"), 0);
}

TEST(CFStringTest, EqualityIsByText) {
  EXPECT_TRUE(Equal(String::Create("Macintosh HD"), String::Create("Macintosh HD")));
  EXPECT_FALSE(Equal(String::Create("Macintosh HD"), String::Create("macintosh hd")));
}

}  // namespace
}  // namespace mcom::cf
