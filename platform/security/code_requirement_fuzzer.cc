// Fuzz target for the requirement language, whose texts come from property lists of programs
// we did not sign. For any input: parsing must not crash, hang or leak, a refusal says where,
// and a parsed requirement evaluates (against signed and unsigned code) without fault.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/security/code_requirement.h"

namespace {

platform::CodeFacts SignedCode() {
  platform::CodeFacts code;
  code.identifier = "com.example.tool";
  code.apple_anchored = true;
  platform::CertificateFacts leaf;
  leaf.subject = {{"OU", "ABCDE12345"}, {"CN", "Example"}};
  leaf.fields = {{"1.2.840.113635.100.6.1.13", ""}};
  code.chain = {leaf, platform::CertificateFacts{}, platform::CertificateFacts{}};
  code.chain.back().trusted = true;
  code.info = {{"CFBundleVersion", "12"}};
  return code;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const platform::CodeFacts kSigned = SignedCode();
  static const platform::CodeFacts kUnsigned;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const std::optional<platform::CodeRequirement> requirement =
      platform::CodeRequirement::Parse(text, &error);
  if (!requirement) {
    if (!error.starts_with("line ")) {
      std::fprintf(stderr, "code_requirement_fuzzer: a refusal without a place: %s\n",
                   error.c_str());
      std::abort();
    }
    return 0;
  }
  (void)requirement->IsSatisfiedBy(kSigned);
  (void)requirement->IsSatisfiedBy(kUnsigned);
  return 0;
}
