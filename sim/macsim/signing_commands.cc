#include "sim/macsim/signing_commands.h"
#include "core/foundation/hex_text.h"

#include <sys/stat.h>

#include <charconv>
#include <ctime>
#include <iostream>
#include <string_view>
#include <vector>

#include "core/foundation/file.h"
#include "sim/machine/atomic_file.h"
#include "sim/machine/machine.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_facts.h"
#include "sim/signature/code_signature.h"
#include "sim/signature/test_identities.h"

namespace macsim {
namespace {

using sim::MachineError;
namespace signature = sim::signature;

std::vector<uint8_t> ReadBytes(const mcom::FilePath& path) {
  const mcom::Result<mcom::File> file = mcom::Open(path, mcom::kOpenRead);
  if (!file) throw MachineError("cannot open " + path.string() + ": " + file.error().message());
  const mcom::Result<std::vector<char>> bytes = file->ReadAll();
  if (!bytes) throw MachineError("cannot read " + path.string() + ": " + bytes.error().message());
  return {bytes->begin(), bytes->end()};
}

signature::PublicKey TrustedAnchor(const mcom::FilePath& root) {
  const sim::Machine machine(root);  // checks that a machine is there
  const std::optional<signature::PublicKey> anchor = sim::ReadTrustedAnchor(root);
  if (!anchor) throw MachineError("the trusted anchor of " + root.string() + " is not a key");
  return *anchor;
}

std::string Timestamp(int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[32] = "";
  if (gmtime_r(&time, &parts) != nullptr) std::strftime(text, sizeof text, "%FT%TZ", &parts);
  return text;
}

// The verdict line: the platform's words for each state.
std::string_view Verdict(signature::SignatureState state) {
  switch (state) {
    case signature::SignatureState::kValid:
      return "valid on disk";
    case signature::SignatureState::kUnsigned:
      return "code object is not signed at all";
    case signature::SignatureState::kMalformed:
      return "invalid or unsupported format for signature";
    case signature::SignatureState::kModified:
      return "invalid signature (code or signature have been modified)";
    case signature::SignatureState::kUntrusted:
      return "signature is valid but signer is not trusted";
  }
  return "";
}

}  // namespace

void SignCommand(const mcom::FilePath& file, const std::string& identity,
                 const std::string& identifier, const std::string& info_plist,
                 const std::string& time) {
  const std::optional<signature::TestIdentity> signer = signature::TestIdentityNamed(identity);
  if (!signer) {
    std::string known;
    for (const std::string_view name : signature::TestIdentityNames()) {
      known += (known.empty() ? "" : ", ") + std::string(name);
    }
    throw MachineError("unknown identity " + identity + " (known: " + known + ")");
  }
  if (identifier.empty()) throw MachineError("the identifier cannot be empty");
  signature::SigningRequest request;
  request.identifier = identifier;
  request.signing_time = std::time(nullptr);
  if (!time.empty()) {
    const auto [end, failure] =
        std::from_chars(time.data(), time.data() + time.size(), request.signing_time);
    if (failure != std::errc() || end != time.data() + time.size()) {
      throw MachineError("not a time in seconds: " + time);
    }
  }
  if (!info_plist.empty()) request.info_plist = ReadBytes(mcom::FilePath(info_plist));

  struct stat status {};
  if (::stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw MachineError("not a regular file: " + file.string());
  }
  const std::vector<uint8_t> signed_bytes =
      signature::SignedBytes(ReadBytes(file), signature::TestSigningIdentity(*signer), request);
  if (const std::error_code error = sim::WriteFileAtomically(
          file,
          std::string_view(reinterpret_cast<const char*>(signed_bytes.data()), signed_bytes.size()),
          status.st_mode & 07777)) {
    throw MachineError("cannot write " + file.string() + ": " + error.message());
  }
  std::cout << file.string() << ": signed as " << identifier << " by " << identity << "\n";
}

int SignatureCommand(const mcom::FilePath& root, const mcom::FilePath& file) {
  const signature::PublicKey anchor = TrustedAnchor(root);
  const signature::SignatureCheck check = signature::CheckSignature(ReadBytes(file), anchor);
  std::cout << "Executable=" << file.string() << "\n";
  if (const std::optional<signature::CodeSignature>& found = check.signature) {
    std::cout << "Identifier=" << found->identifier << "\n"
              << "TeamIdentifier="
              << (found->team_identifier.empty() ? "not set" : found->team_identifier) << "\n";
    if (found->certificate_kind) {
      std::cout << "CertificateKind="
                << (*found->certificate_kind == signature::CertificateKind::kDeveloperID
                        ? "developer-id"
                        : "development")
                << "\n";
    }
    for (const signature::Certificate& certificate : found->chain) {
      std::cout << "Authority=" << certificate.common_name << "\n";
    }
    std::cout << "Timestamp=" << Timestamp(found->signing_time) << "\n"
              << "CDHash=" << mcom::HexOf(found->code_directory_hash) << "\n"
              << "Info.plist="
              << (found->info_plist.empty() ? std::string("not bound")
                                            : std::to_string(found->info_plist.size()) + " bytes")
              << "\n";
  }
  std::cout << file.string() << ": " << Verdict(check.state) << "\n";
  return check.state == signature::SignatureState::kValid ? 0 : 1;
}

}  // namespace macsim
