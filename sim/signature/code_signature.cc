#include "sim/signature/code_signature.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/property_list.h"

namespace sim::signature {
namespace {

using mcom::cf::Array;
using mcom::cf::Data;
using mcom::cf::Dictionary;
using mcom::cf::Object;
using mcom::cf::Ref;

constexpr std::string_view kMagic = "DVCSIG01";
constexpr size_t kTrailerSize = 4 + kMagic.size();

constexpr std::string_view kDeveloperIDKind = "developer-id";
constexpr std::string_view kDevelopmentKind = "development";

Ref<Object> Text(std::string_view text) {
  Ref<Object> string = mcom::cf::String::Create(text);
  if (!string) throw std::invalid_argument("a signature's text must be UTF-8");
  return string;
}

Ref<Object> Bytes(std::span<const uint8_t> bytes) { return Data::Create(bytes); }

std::vector<uint8_t> Serialized(const Ref<Object>& root) {
  const Ref<Data> data = mcom::cf::PropertyListToData(root, mcom::cf::PropertyListFormat::kBinary);
  if (!data) throw std::logic_error("a signature part is not a property list");
  return {data->span().begin(), data->span().end()};
}

// Copies data of exactly the array's size; false for any other value.
template <size_t N>
bool CopyExactly(const Ref<Data>& data, std::array<uint8_t, N>* out) {
  if (!data || data->span().size() != N) return false;
  std::copy(data->span().begin(), data->span().end(), out->begin());
  return true;
}

Ref<Dictionary> CertificateDictionary(const Certificate& certificate, bool with_signature) {
  Array::Values fields;
  for (const std::string& field : certificate.fields) fields.push_back(Text(field));
  Dictionary::Entries entries = {
      {"common-name", Text(certificate.common_name)},
      {"organizational-unit", Text(certificate.organizational_unit)},
      {"fields", Array::Create(std::move(fields))},
      {"public-key", Bytes(certificate.public_key)},
  };
  if (with_signature) entries.emplace("issuer-signature", Bytes(certificate.issuer_signature));
  return Dictionary::Create(std::move(entries));
}

std::optional<Certificate> CertificateFrom(const Ref<Dictionary>& dictionary) {
  Certificate certificate;
  const std::optional<std::string> common_name = mcom::cf::GetString(dictionary, "common-name");
  const std::optional<std::string> unit = mcom::cf::GetString(dictionary, "organizational-unit");
  const Ref<Array> fields = mcom::cf::GetArray(dictionary, "fields");
  if (!common_name || !unit || !fields || !dictionary ||
      !CopyExactly(dictionary->GetData("public-key"), &certificate.public_key) ||
      !CopyExactly(dictionary->GetData("issuer-signature"), &certificate.issuer_signature)) {
    return std::nullopt;
  }
  certificate.common_name = *common_name;
  certificate.organizational_unit = *unit;
  for (size_t i = 0; i < fields->Count(); ++i) {
    const Ref<mcom::cf::String> field = fields->Get<mcom::cf::String>(i);
    if (!field) return std::nullopt;
    certificate.fields.push_back(field->utf8());
  }
  return certificate;
}

std::optional<CertificateKind> KindOfLeaf(const Certificate& leaf) {
  const auto has = [&](const char* field) {
    return std::find(leaf.fields.begin(), leaf.fields.end(), field) != leaf.fields.end();
  };
  if (has(kDeveloperIDField)) return CertificateKind::kDeveloperID;
  if (has(kDevelopmentField)) return CertificateKind::kDevelopment;
  return std::nullopt;
}

// Where a file's parts are.
struct Layout {
  std::span<const uint8_t> program;
  std::span<const uint8_t> signature;  // empty when there is none
  bool has_trailer = false;
};

std::optional<Layout> LayoutOf(std::span<const uint8_t> file) {
  Layout layout{file, {}, false};
  if (file.size() < kTrailerSize ||
      !std::equal(kMagic.begin(), kMagic.end(), file.end() - kMagic.size(),
                  [](char magic, uint8_t byte) { return static_cast<uint8_t>(magic) == byte; })) {
    return layout;
  }
  const uint8_t* length_bytes = file.data() + file.size() - kTrailerSize;
  const size_t length = size_t{length_bytes[0]} | size_t{length_bytes[1]} << 8 |
                        size_t{length_bytes[2]} << 16 | size_t{length_bytes[3]} << 24;
  if (length == 0 || length > file.size() - kTrailerSize) return std::nullopt;
  const size_t program_size = file.size() - kTrailerSize - length;
  layout.program = file.first(program_size);
  layout.signature = file.subspan(program_size, length);
  layout.has_trailer = true;
  return layout;
}

// The signature part as the signer writes it. A signature is only ever in this form, so any
// byte the property-list reader would overlook (padding, unused trailer bytes) still counts.
std::vector<uint8_t> SignatureBytes(const std::vector<uint8_t>& code_directory,
                                    const Signature& leaf_signature,
                                    const std::vector<Certificate>& chain) {
  Array::Values certificates;
  for (const Certificate& certificate : chain) {
    certificates.push_back(CertificateDictionary(certificate, true));
  }
  return Serialized(Dictionary::Create({
      {"code-directory", Bytes(code_directory)},
      {"signature", Bytes(leaf_signature)},
      {"certificates", Array::Create(std::move(certificates))},
  }));
}

struct ParsedSignature {
  CodeSignature signature;
  std::vector<uint8_t> code_directory;  // the bytes the leaf signed
  Signature leaf_signature{};
};

std::optional<ParsedSignature> Parse(std::span<const uint8_t> bytes) {
  const Ref<Dictionary> outer =
      mcom::cf::As<Dictionary>(mcom::cf::PropertyListFromBytes(bytes.data(), bytes.size()));
  if (!outer) return std::nullopt;
  ParsedSignature parsed;
  const Ref<Data> code_directory = outer->GetData("code-directory");
  const Ref<Array> certificates = outer->GetArray("certificates");
  if (!code_directory || !certificates ||
      !CopyExactly(outer->GetData("signature"), &parsed.leaf_signature)) {
    return std::nullopt;
  }
  parsed.code_directory.assign(code_directory->span().begin(), code_directory->span().end());
  for (size_t i = 0; i < certificates->Count(); ++i) {
    std::optional<Certificate> certificate = CertificateFrom(certificates->Get<Dictionary>(i));
    if (!certificate) return std::nullopt;
    parsed.signature.chain.push_back(std::move(*certificate));
  }
  if (parsed.signature.chain.empty()) return std::nullopt;

  const Ref<Dictionary> directory = mcom::cf::As<Dictionary>(mcom::cf::PropertyListFromBytes(
      code_directory->span().data(), code_directory->span().size()));
  const std::optional<std::string> identifier = mcom::cf::GetString(directory, "identifier");
  const std::optional<std::string> team = mcom::cf::GetString(directory, "team-identifier");
  const std::optional<std::string> kind = mcom::cf::GetString(directory, "certificate-kind");
  const std::optional<int64_t> time = mcom::cf::GetInteger(directory, "signing-time");
  const Ref<Data> info_plist = directory ? directory->GetData("info-plist") : nullptr;
  CodeSignature& signature = parsed.signature;
  if (!identifier || !team || !time || !info_plist ||
      !CopyExactly(directory->GetData("code-directory-hash"), &signature.code_directory_hash)) {
    return std::nullopt;
  }
  signature.identifier = *identifier;
  signature.team_identifier = *team;
  if (kind == kDeveloperIDKind) {
    signature.certificate_kind = CertificateKind::kDeveloperID;
  } else if (kind == kDevelopmentKind) {
    signature.certificate_kind = CertificateKind::kDevelopment;
  } else if (kind) {
    return std::nullopt;
  }
  signature.signing_time = *time;
  signature.info_plist.assign(info_plist->span().begin(), info_plist->span().end());
  return parsed;
}

}  // namespace

std::vector<uint8_t> CertificateBody(const Certificate& certificate) {
  return Serialized(CertificateDictionary(certificate, false));
}

Certificate Issued(Certificate certificate, const PrivateKey& issuer_key) {
  certificate.issuer_signature = Sign(issuer_key, CertificateBody(certificate));
  return certificate;
}

std::span<const uint8_t> ProgramBytes(std::span<const uint8_t> file) {
  const std::optional<Layout> layout = LayoutOf(file);
  return layout ? layout->program : file;
}

SignatureCheck CheckSignature(std::span<const uint8_t> file, const PublicKey& trusted_anchor) {
  const std::optional<Layout> layout = LayoutOf(file);
  if (!layout) return {SignatureState::kMalformed, std::nullopt};
  if (!layout->has_trailer) return {SignatureState::kUnsigned, std::nullopt};
  std::optional<ParsedSignature> parsed = Parse(layout->signature);
  if (!parsed) return {SignatureState::kMalformed, std::nullopt};

  SignatureCheck check{SignatureState::kValid, std::move(parsed->signature)};
  const std::vector<Certificate>& chain = check.signature->chain;
  const std::vector<uint8_t> canonical =
      SignatureBytes(parsed->code_directory, parsed->leaf_signature, chain);
  bool intact = std::equal(canonical.begin(), canonical.end(), layout->signature.begin(),
                           layout->signature.end()) &&
                check.signature->code_directory_hash == Sha1(layout->program) &&
                Verify(chain.front().public_key, parsed->code_directory, parsed->leaf_signature);
  for (size_t i = 0; intact && i < chain.size(); ++i) {
    const Certificate& issuer = i + 1 < chain.size() ? chain[i + 1] : chain[i];
    intact = Verify(issuer.public_key, CertificateBody(chain[i]), chain[i].issuer_signature);
  }
  if (!intact) {
    check.state = SignatureState::kModified;
  } else if (chain.back().public_key != trusted_anchor) {
    check.state = SignatureState::kUntrusted;
  }
  return check;
}

std::vector<uint8_t> SignedBytes(std::span<const uint8_t> file, const SigningIdentity& identity,
                                 const SigningRequest& request) {
  if (identity.chain.empty()) throw std::invalid_argument("a signing identity needs a chain");
  const std::span<const uint8_t> program = ProgramBytes(file);
  const Certificate& leaf = identity.chain.front();
  Dictionary::Entries directory = {
      {"identifier", Text(request.identifier)},
      {"team-identifier", Text(leaf.organizational_unit)},
      {"info-plist", Bytes(request.info_plist)},
      {"signing-time", mcom::cf::Number::CreateInteger(request.signing_time)},
      {"code-directory-hash", Bytes(Sha1(program))},
  };
  if (const std::optional<CertificateKind> kind = KindOfLeaf(leaf)) {
    directory.emplace(
        "certificate-kind",
        Text(*kind == CertificateKind::kDeveloperID ? kDeveloperIDKind : kDevelopmentKind));
  }
  const std::vector<uint8_t> code_directory = Serialized(Dictionary::Create(std::move(directory)));
  const std::vector<uint8_t> signature =
      SignatureBytes(code_directory, Sign(identity.key, code_directory), identity.chain);

  std::vector<uint8_t> signed_file(program.begin(), program.end());
  signed_file.insert(signed_file.end(), signature.begin(), signature.end());
  const auto length = static_cast<uint32_t>(signature.size());
  for (int shift = 0; shift < 32; shift += 8) {
    signed_file.push_back(static_cast<uint8_t>(length >> shift));
  }
  signed_file.insert(signed_file.end(), kMagic.begin(), kMagic.end());
  return signed_file;
}

}  // namespace sim::signature
