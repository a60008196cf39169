// Fuzz target for reading code signatures, which the platform stand-ins read from any
// executable on the machine. For any input: the check must not crash, hang or leak, and a
// file it calls valid carries the hash of its own program bytes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "sim/signature/code_signature.h"
#include "sim/signature/test_identities.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const sim::signature::PublicKey kAnchor = sim::signature::TestAnchorKey();
  const std::span<const uint8_t> file(data, size);
  const sim::signature::SignatureCheck check = sim::signature::CheckSignature(file, kAnchor);
  if (check.state == sim::signature::SignatureState::kValid &&
      check.signature->code_directory_hash !=
          sim::signature::Sha1(sim::signature::ProgramBytes(file))) {
    std::fprintf(stderr, "code_signature_fuzzer: valid with another program's hash\n");
    std::abort();
  }
  return 0;
}
