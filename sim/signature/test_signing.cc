#include "sim/signature/test_signing.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace sim::signature::testing {

mcom::FilePath WriteSignedCopy(const mcom::FilePath& original, const mcom::FilePath& copy,
                               const SigningIdentity& identity, const SigningRequest& request) {
  std::ifstream in(original.string(), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + original.string());
  const std::vector<uint8_t> program((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
  const std::vector<uint8_t> signed_bytes = SignedBytes(program, identity, request);
  std::ofstream out(copy.string(), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(signed_bytes.data()),
            static_cast<std::streamsize>(signed_bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + copy.string());
  std::filesystem::permissions(copy.string(), std::filesystem::perms::owner_all);
  return copy;
}

}  // namespace sim::signature::testing
