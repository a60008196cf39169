#include "app/cli/json_text.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(JsonText, EscapesWhatJsonCannotHoldLiterallyKeepsUtf8AndReplacesBytesThatAreNot) {
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("line\nnext\ttab\r"), "\"line\\nnext\\ttab\\r\"");
  EXPECT_EQ(JsonString(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
  EXPECT_EQ(JsonString(std::string("a\0b", 3)), "\"a\\u0000b\"");
  // UTF-8 stays; bytes that are none become replacement characters.
  EXPECT_EQ(JsonString("Replicating (1/2)\xE2\x80\xA6"), "\"Replicating (1/2)\xE2\x80\xA6\"");
  EXPECT_EQ(JsonString("\xF0\x9F\x92\xBE"), "\"\xF0\x9F\x92\xBE\"");
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(JsonString("a\xFF"
                       "b"),
            "\"a" + replacement + "b\"");
  EXPECT_EQ(JsonString("\xE2\x80"), "\"" + replacement + replacement + "\"");  // cut short
  EXPECT_EQ(JsonString("\xC0\xAF"), "\"" + replacement + replacement + "\"");  // overlong
  EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"" + replacement + replacement + replacement + "\"");
}

TEST(JsonText, BuildsOneObjectInTheOrderGiven) {
  const std::string nested = JsonText().Add("operation", "AttachImage").str();
  EXPECT_EQ(JsonText()
                .Add("type", "result")
                .Add("success", false)
                .Add("fraction", 0.25)
                .Add("bad", std::nan(""))
                .AddRaw("error", nested)
                .str(),
            "{\"type\":\"result\",\"success\":false,\"fraction\":0.25,\"bad\":null,"
            "\"error\":{\"operation\":\"AttachImage\"}}");
  EXPECT_EQ(JsonText().str(), "{}");
}

}  // namespace
