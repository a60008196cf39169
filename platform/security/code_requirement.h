#pragma once

// Code requirements: the small language in which a program states which signed code it
// trusts ("anchor apple generic and certificate leaf [subject.OU] = \"Q4T7ZK2W9M\""), parsed
// and evaluated as the Security framework does for SecRequirementCreateWithString and the
// validity checks.
//
//   expr    : term ("or" term)*
//   term    : primary ("and" primary)*
//   primary : "(" expr ")" | "!" primary | "always" | "true" | "never" | "false"
//           | "anchor" "apple" ["generic"] | "anchor" "generic" "apple"
//           | ("certificate" | "cert" | "anchor") "trusted"
//           | ("certificate" | "cert") slot ("[" key "]" match | "=" hash | "trusted")
//           | "anchor" ("[" key "]" match | "=" hash)
//           | "info" "[" key "]" match | "entitlement" "[" key "]" match
//           | "identifier" ["=" | "=="] value | "cdhash" ["="] hash
//           | "platform" ["="] integer | "notarized" | "legacy"
//   slot    : integer (0 is the leaf, counting towards the anchor) | "-" integer (-1 is the
//             anchor, counting towards the leaf) | "leaf" | "root"
//   match   : [ "exists" ] | "absent" | ("=" | "==") ["*"] value ["*"] | "~" value
//           | ("<" | ">" | "<=" | ">=") value
//   hash    : H"<40 hex digits>"
//
// "!" binds tighter than "and", which binds tighter than "or"; values are quoted strings
// (with \" and \\ escapes), bare dotted words or integers; /* */, // and # comments are
// skipped.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using CodeDirectoryHash = std::array<uint8_t, 20>;

// What a requirement can ask of one certificate of a signing chain.
struct CertificateFacts {
  std::map<std::string, std::string> subject;  // "CN", "OU", "O", …
  std::string email;
  std::map<std::string, std::string> fields;  // OID → value, for "field." and "extension."
  std::vector<std::string> policies;          // OIDs, for "policy."
  CodeDirectoryHash hash{};                   // SHA-1 of the certificate, for "= H\"…\""
  bool trusted = false;                       // in the machine's trust settings
};

// What a requirement is evaluated against: one signed program.
struct CodeFacts {
  std::string identifier;
  CodeDirectoryHash code_directory_hash{};
  std::vector<CertificateFacts> chain;  // leaf first, anchor last; empty when unsigned
  bool apple_anchored = false;          // the chain ends at the machine's Apple root
  bool apple_own_code = false;          // the operating system's own programs
  bool notarized = false;
  int platform = 0;
  std::map<std::string, std::string> info;          // the information property list's strings
  std::map<std::string, std::string> entitlements;  // entitlement → value as text
};

class CodeRequirement {
 public:
  // The parsed requirement, or nothing with `*error` set to the parser's message
  // ("line 1:9: unexpected token: and").
  static std::optional<CodeRequirement> Parse(std::string_view text, std::string* error);

  bool IsSatisfiedBy(const CodeFacts& code) const;

  struct Node;  // the parsed expression, defined with the evaluator

  CodeRequirement(CodeRequirement&&) noexcept;
  CodeRequirement& operator=(CodeRequirement&&) noexcept;
  ~CodeRequirement();

 private:
  explicit CodeRequirement(std::unique_ptr<Node> root);

  std::unique_ptr<Node> root_;
};

}  // namespace platform
