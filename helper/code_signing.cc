#include "helper/code_signing.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <variant>

#include "core/foundation/cf_data.h"
#include "core/foundation/cf_date.h"
#include "core/foundation/cf_error.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/error_category.h"
#include "core/foundation/log.h"

namespace helper {
namespace {

namespace cf = mcom::cf;
using platform::OSStatus;

// Developer ID application and development certificates.
constexpr char kDeveloperIDField[] = "1.2.840.113635.100.6.1.13";
constexpr char kDevelopmentField[] = "1.2.840.113635.100.6.1.12";
constexpr platform::SecCSFlags kStaticValidityFlags =
    platform::kSecCSCheckNestedCode | platform::kSecCSStrictValidate;

[[noreturn]] void Throw(OSStatus status) {
  throw std::system_error(status, mcom::security_category());
}

std::string StatusText(OSStatus status) {
  return std::error_code(status, mcom::security_category()).message();
}

std::string Described(const cf::Ref<cf::Error>& error) {
  return error ? error->Description() : std::string("(null)");
}

// The validity check of either kind of code object, with its log line on failure.
void CheckValidity(platform::SecCodeRef code, platform::SecRequirementRef requirement) {
  cf::Ref<cf::Error> error;
  if (const OSStatus status = platform::SecCodeCheckValidityWithErrors(
          code, platform::kSecCSDefaultFlags, requirement, &error)) {
    mcom::log::Error("code validation failed: %{public}@", Described(error));
    Throw(status);
  }
}

void CheckValidity(platform::SecStaticCodeRef code, platform::SecRequirementRef requirement) {
  cf::Ref<cf::Error> error;
  if (const OSStatus status = platform::SecStaticCodeCheckValidityWithErrors(
          code, kStaticValidityFlags, requirement, &error)) {
    mcom::log::Error("code validation failed: %{public}@", Described(error));
    Throw(status);
  }
}

template <typename CodeRef>
void Validate(CodeRef code, const std::optional<std::string>& identifier,
              const std::string& team_identifier, CertificateKind kind) {
  const Requirement requirement =
      CreateRequirement(MakeRequirementString(identifier, team_identifier, kind));
  CheckValidity(code, requirement.get());
}

[[noreturn]] void MissingKey(const char* message) {
  mcom::log::Error(message, StatusText(platform::errSecCSGuestInvalid));
  Throw(platform::errSecCSGuestInvalid);
}

template <typename CodeRef>
SigningInformation CopyInformation(CodeRef code) {
  CheckValidity(code, nullptr);
  cf::Ref<cf::Dictionary> found;
  if (const OSStatus status = platform::SecCodeCopySigningInformation(
          code, platform::kSecCSSigningInformation, &found)) {
    mcom::log::Error("failed to copy signing information: %{public}s", StatusText(status));
    Throw(status);
  }
  SigningInformation information;
  const cf::Ref<cf::URL> executable = found->Get<cf::URL>(platform::kSecCodeInfoMainExecutable);
  if (!executable) MissingKey("no executable url in guest info: %{public}s");
  information.executable = executable->path();
  const std::optional<std::string> identifier =
      cf::GetString(found, platform::kSecCodeInfoIdentifier);
  if (!identifier) MissingKey("no identifier in guest info: %{public}s");
  information.identifier = *identifier;
  const std::optional<std::string> team =
      cf::GetString(found, platform::kSecCodeInfoTeamIdentifier);
  if (!team) MissingKey("no team identifier in guest info: %{public}s");
  information.team_identifier = *team;
  information.info_plist = cf::GetDictionary(found, platform::kSecCodeInfoPList);
  if (!information.info_plist) MissingKey("no info plist in guest info: %{public}s");
  if (const cf::Ref<cf::Date> time = found->Get<cf::Date>(platform::kSecCodeInfoTimestamp)) {
    information.signing_time = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double>(time->SecondsSince1970())));
  }
  const cf::Ref<cf::Data> hash = found->GetData(platform::kSecCodeInfoUnique);
  if (hash && hash->span().size() == information.code_directory_hash.size()) {
    std::copy(hash->span().begin(), hash->span().end(), information.code_directory_hash.begin());
  }
  return information;
}

}  // namespace

std::string MakeRequirementString(const std::optional<std::string>& identifier,
                                  const std::string& team_identifier, CertificateKind kind) {
  const std::string first = identifier ? "and identifier \"" + *identifier + "\"" : "";
  return "anchor apple generic and anchor trusted " + first +
         " and certificate leaf [subject.OU] = \"" + team_identifier +
         "\" and certificate leaf [field." + (kind ? kDeveloperIDField : kDevelopmentField) + "]";
}

Code CopySelfCode() {
  platform::SecCodeRef code = nullptr;
  if (const OSStatus status = platform::SecCodeCopySelf(platform::kSecCSDefaultFlags, &code)) {
    mcom::log::Error("code copy self failed: %{public}s", StatusText(status));
    Throw(status);
  }
  return Code(code);
}

Code CopyGuestCode(const mcom::AuditToken& token) {
  const cf::Ref<cf::Dictionary> attributes =
      cf::Dictionary::Create({{std::string(platform::kSecGuestAttributeAudit),
                               cf::Data::Create(token.val.data(), sizeof token.val)}});
  platform::SecCodeRef code = nullptr;
  if (const OSStatus status = platform::SecCodeCopyGuestWithAttributes(
          nullptr, attributes, platform::kSecCSDefaultFlags, &code)) {
    mcom::log::Error("failed to copy guest for pid %d: %{public}s", token.pid(),
                     StatusText(status));
    Throw(status);
  }
  return Code(code);
}

StaticCode CreateStaticCode(const mcom::FilePath& path) {
  platform::SecStaticCodeRef code = nullptr;
  if (const OSStatus status = platform::SecStaticCodeCreateWithPath(
          cf::URL::CreateFromFileSystemPath(path, false), platform::kSecCSDefaultFlags, &code)) {
    mcom::log::Error("failed to create static code from %{public}s: %{public}s", path,
                     StatusText(status));
    Throw(status);
  }
  return StaticCode(code);
}

Requirement CreateRequirement(const std::string& text) {
  platform::SecRequirementRef requirement = nullptr;
  cf::Ref<cf::Error> error;
  if (const OSStatus status = platform::SecRequirementCreateWithStringAndErrors(
          cf::String::Create(text), platform::kSecCSDefaultFlags, &error, &requirement)) {
    mcom::log::Error("failed to create requirement from string '%{public}s': %{public}@", text,
                     Described(error));
    Throw(status);
  }
  return Requirement(requirement);
}

void ValidateCode(platform::SecCodeRef code, const std::optional<std::string>& identifier,
                  const std::string& team_identifier, CertificateKind kind) {
  Validate(code, identifier, team_identifier, kind);
}

void ValidateStaticCode(platform::SecStaticCodeRef code,
                        const std::optional<std::string>& identifier,
                        const std::string& team_identifier, CertificateKind kind) {
  Validate(code, identifier, team_identifier, kind);
}

SigningInformation CopySigningInformation(platform::SecCodeRef code) {
  return CopyInformation(code);
}

SigningInformation CopySigningInformation(platform::SecStaticCodeRef code) {
  return CopyInformation(code);
}

CertificateKind SelfCertificateKind() {
  static std::once_flag once;
  static std::variant<CertificateKind, std::string> kind_or_failure;
  std::call_once(once, [] {
    try {
      const Code self = CopySelfCode();
      for (const CertificateKind kind : {true, false}) {
        try {
          ValidateCode(self.get(), std::nullopt, kTeamIdentifier, kind);
          kind_or_failure = kind;
          return;
        } catch (const std::system_error& failure) {
          kind_or_failure = std::string(failure.what());
        }
      }
    } catch (const std::system_error& failure) {
      kind_or_failure = std::string(failure.what());
    }
  });
  if (const auto* failure = std::get_if<std::string>(&kind_or_failure)) {
    mcom::log::Error("invalid signature: %s\n", *failure);
    std::exit(1);
  }
  return std::get<CertificateKind>(kind_or_failure);
}

bool IsCallerAllowed(const mcom::AuditToken& token) {
  try {
    const Code code = CopyGuestCode(token);
    ValidateCode(code.get(), std::nullopt, kTeamIdentifier, SelfCertificateKind());
    const SigningInformation information = CopySigningInformation(code.get());
    if (information.identifier == kApplicationIdentifier) return true;
    return information.identifier == kCommandLineClientIdentifier && token.effective_user_id() == 0;
  } catch (const std::system_error&) {
    return false;  // the failing step has logged why
  }
}

}  // namespace helper
