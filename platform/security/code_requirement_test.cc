#include "platform/security/code_requirement.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace platform {
namespace {

constexpr char kDeveloperID[] = "1.2.840.113635.100.6.1.13";
constexpr char kDevelopment[] = "1.2.840.113635.100.6.1.12";

// The maker's application signed with a Developer ID certificate: leaf, intermediate and the
// machine's trusted Apple root.
CodeFacts MakersApplication() {
  CodeFacts code;
  code.identifier = "com.halvex-software.Dorvane";
  code.apple_anchored = true;
  CertificateFacts leaf;
  leaf.subject = {{"OU", "Q4T7ZK2W9M"}, {"CN", "Developer ID Application: Halvex"}};
  leaf.email = "build@halvex-software.example";
  leaf.fields = {{kDeveloperID, ""}};
  leaf.hash.fill(0x11);
  CertificateFacts intermediate;
  intermediate.fields = {{"1.2.840.113635.100.6.2.6", ""}};
  CertificateFacts root;
  root.subject = {{"CN", "Apple Root CA"}};
  root.trusted = true;
  root.hash.fill(0xab);
  code.chain = {leaf, intermediate, root};
  code.code_directory_hash.fill(0x5a);
  code.info = {{"CFBundleVersion", "12"}, {"CFBundleName", "Dorvane"}};
  code.entitlements = {{"com.apple.security.get-task-allow", "true"}};
  return code;
}

bool Satisfies(const std::string& text, const CodeFacts& code) {
  std::string error;
  const std::optional<CodeRequirement> requirement = CodeRequirement::Parse(text, &error);
  EXPECT_TRUE(requirement.has_value()) << text << ": " << error;
  return requirement && requirement->IsSatisfiedBy(code);
}

TEST(CodeRequirement, TheHelpersRequirementsAdmitOnlyTheMakersCodeOfTheRightKind) {
  // As the helper builds them: with an identifier, and without one (two blanks in a row).
  const std::string with_identifier =
      "anchor apple generic and anchor trusted and identifier \"com.halvex-software.Dorvane\" "
      "and certificate leaf [subject.OU] = \"Q4T7ZK2W9M\" and certificate leaf [field." +
      std::string(kDeveloperID) + "]";
  const std::string without_identifier =
      "anchor apple generic and anchor trusted  and certificate leaf [subject.OU] = "
      "\"Q4T7ZK2W9M\" and certificate leaf [field." +
      std::string(kDeveloperID) + "]";
  struct Case {
    const char* code;
    std::function<void(CodeFacts&)> change;
    bool with_identifier;
    bool without_identifier;
  };
  const Case cases[] = {
      {"the application", [](CodeFacts&) {}, true, true},
      {"the command-line client", [](CodeFacts& c) { c.identifier += ".cli"; }, false, true},
      {"a development certificate",
       [](CodeFacts& c) {
         c.chain[0].fields = {{kDevelopment, ""}};
       },
       false, false},
      {"a foreign team", [](CodeFacts& c) { c.chain[0].subject["OU"] = "Z9Y8X7W6V5"; }, false,
       false},
      {"a leaf without a team", [](CodeFacts& c) { c.chain[0].subject.erase("OU"); }, false, false},
      {"a chain to another root", [](CodeFacts& c) { c.apple_anchored = false; }, false, false},
      {"an untrusted root", [](CodeFacts& c) { c.chain[2].trusted = false; }, false, false},
      {"unsigned code", [](CodeFacts& c) { c = CodeFacts{}; }, false, false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.code);
    CodeFacts code = MakersApplication();
    test.change(code);
    EXPECT_EQ(Satisfies(with_identifier, code), test.with_identifier);
    EXPECT_EQ(Satisfies(without_identifier, code), test.without_identifier);
  }
}

TEST(CodeRequirement, EvaluatesEveryFormAsTheFrameworkDoes) {
  const CodeFacts code = MakersApplication();
  const std::pair<const char*, bool> cases[] = {
      // Precedence: ! over and over or; parentheses; comments; constants.
      {"never or always and true", true},
      {"(never or always) and false", false},
      {"! never and ! false", true},
      {"!(always or never)", false},
      {"always /* a comment */ and # to the end of the line\n true // and here", true},
      // Spellings of the anchors.
      {"anchor generic apple", true},
      {"anchor apple", false},  // the operating system's own code only
      {"cert trusted and certificate root trusted and ! certificate leaf trusted", true},
      // Slots: 0 the leaf towards the anchor, -1 the anchor towards the leaf.
      {"certificate 0 [subject.OU] = Q4T7ZK2W9M and certificate -3 [subject.OU] = Q4T7ZK2W9M",
       true},
      {"certificate 1[field.1.2.840.113635.100.6.2.6] and certificate -2[field."
       "1.2.840.113635.100.6.2.6] exists",
       true},
      {"anchor [subject.CN] = \"Apple Root CA\" and certificate root [subject.CN] exists", true},
      {"certificate 3 [subject.CN] absent and ! certificate 3 [subject.CN] exists", false},
      {"certificate leaf = H\"1111111111111111111111111111111111111111\"", true},
      {"anchor = H\"ABABABABABABABABABABABABABABABABABABABAB\"", true},
      {"certificate leaf = H\"abababababababababababababababababababab\"", false},
      // Matches: equal, wildcards, contains, absent, numeric and textual order.
      {"certificate leaf [subject.CN] = \"Developer ID\"*", true},
      {"certificate leaf [subject.CN] = *Halvex", true},
      {"certificate leaf [subject.CN] = *\"ID Application\"*", true},
      {"certificate leaf [subject.CN] = \"Developer ID*\"", false},  // a quoted star is a star
      {"certificate leaf [subject.CN] = \"Developer ID\"", false},
      {"certificate leaf [email] ~ halvex", true},
      {"certificate leaf [subject.O] absent and certificate leaf [subject.OU] == Q4T7ZK2W9M", true},
      {"certificate leaf [subject.O] = \"\"", false},  // a missing field fails every match
      {"info [CFBundleVersion] >= 9 and info [CFBundleVersion] < 100", true},  // 12 > 9
      {"info [CFBundleName] > Aardvark and info [CFBundleName] <= Dorvane", true},
      {"info [CFBundleIdentifier]", false},
      {"entitlement [\"com.apple.security.get-task-allow\"] = true", true},
      // The code itself.
      {"identifier com.halvex-software.Dorvane and identifier == \"com.halvex-software.Dorvane\"",
       true},
      {"identifier \"com.halvex-software.dorvane\"", false},  // case counts
      {"cdhash H\"5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a\"", true},
      {"cdhash = H\"5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5b\"", false},
      {"platform = 0 and ! platform 1 and ! notarized and ! legacy", true},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(Satisfies(text, code), expected) << text;
  }
}

TEST(CodeRequirement, RefusesMalformedTextSayingWhereAndWhy) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "line 1:1: unexpected end of text"},
      {"anchor apple generic and", "line 1:25: unexpected end of text"},
      {"and always", "line 1:1: unexpected token: and"},
      {"(always", "line 1:8: unexpected end of text"},
      {"always)", "line 1:7: unexpected token: )"},
      {"always\n  or $", "line 2:6: unexpected character: $"},
      {"identifier \"com.example", "line 1:12: unterminated string"},
      {"always /* open", "line 1:8: unterminated comment"},
      {"identifier", "line 1:11: unexpected end of text"},
      {"cdhash H\"0123\"", "line 1:8: a hash is 40 hex digits: 0123"},
      {"cdhash H\"zz23456789abcdef0123456789abcdef01234567\"",
       "line 1:8: a hash is 40 hex digits: zz23456789abcdef0123456789abcdef01234567"},
      {"certificate leaf [subject.XX] = y", "line 1:19: unknown certificate key: subject.XX"},
      {"certificate -0 trusted", "line 1:14: invalid certificate slot: 0"},
      {"certificate 99999999999 trusted", "line 1:13: invalid certificate slot: 99999999999"},
      {"info CFBundleVersion", "line 1:6: unexpected token: CFBundleVersion"},
      {"platform = x", "line 1:12: unexpected token: x"},
      {"nonsense", "line 1:1: unexpected token: nonsense"},
      {std::string(100, '(') + "always" + std::string(100, ')'),
       "line 1:65: requirement nested too deeply"},
      {std::string(100, '!') + "always", "line 1:65: requirement nested too deeply"},
  };
  for (const auto& [text, message] : cases) {
    std::string error;
    EXPECT_FALSE(CodeRequirement::Parse(text, &error).has_value()) << text;
    EXPECT_EQ(error, message) << text;
  }
  // A flat list of operands needs no nesting, but it too is bounded.
  std::string long_text = "always";
  for (int i = 0; i < 5000; ++i) long_text += " and always";
  std::string error;
  EXPECT_FALSE(CodeRequirement::Parse(long_text, &error).has_value());
  EXPECT_EQ(error.substr(error.find(": ") + 2), "requirement too long");
}

}  // namespace
}  // namespace platform
