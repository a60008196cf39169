#if !defined(__linux__)
#error "code_signing_linux.cc is the Linux code-signing stand-in"
#endif

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/bundle.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_date.h"
#include "core/foundation/cf_file_data.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/process.h"
#include "core/foundation/property_list.h"
#include "core/foundation/system_path.h"
#include "platform/posix/process_instance.h"
#include "platform/security/code_requirement.h"
#include "platform/security/code_signing.h"
#include "sim/machine/machine_facts.h"
#include "sim/signature/code_signature.h"

namespace platform {

// A code object: the executable it stands for. A running-code object is one too (SecCode
// derives from it), so it is accepted wherever a static one is; its code is read through the
// process (/proc/PID/exe), so a file renamed over the program's path after it started does
// not stand in for it, and with a pid version only while that instance lives.
struct SecStaticCode {
  mcom::FilePath executable;
  pid_t pid = 0;             // the process of running code; 0 for a file
  uint32_t pid_version = 0;  // 0: whatever process has the id
  std::atomic<int> references{1};

  bool running() const { return pid != 0; }
};

struct SecCode : SecStaticCode {};

struct SecRequirement {
  explicit SecRequirement(CodeRequirement parsed) : requirement(std::move(parsed)) {}
  CodeRequirement requirement;
  std::atomic<int> references{1};
};

namespace {

namespace cf = mcom::cf;
namespace signature = sim::signature;

constexpr SecCSFlags kStaticValidityFlags =
    kSecCSCheckAllArchitectures | kSecCSDoNotValidateExecutable | kSecCSDoNotValidateResources |
    kSecCSCheckNestedCode | kSecCSStrictValidate | kSecCSFullReport | kSecCSRestrictSymlinks |
    kSecCSNoNetworkAccess | kSecCSEnforceRevocationChecks | kSecCSConsiderExpiration;
constexpr SecCSFlags kRunningValidityFlags = kSecCSStrictValidate | kSecCSNoNetworkAccess |
                                             kSecCSEnforceRevocationChecks |
                                             kSecCSConsiderExpiration;
constexpr SecCSFlags kInformationFlags = kSecCSInternalInformation | kSecCSSigningInformation |
                                         kSecCSRequirementInformation | kSecCSDynamicInformation |
                                         kSecCSContentInformation;

OSStatus Failure(OSStatus status, cf::Ref<cf::Error>* errors,
                 cf::Ref<cf::Dictionary> user_info = nullptr) {
  if (errors != nullptr) {
    *errors = cf::Error::Create(cf::kErrorDomainOSStatus, status, std::move(user_info));
  }
  return status;
}

// The key the machine trusts as its root; all zeros (trusting nothing) when the machine
// names none that can be read.
signature::PublicKey TrustedAnchor() {
  return sim::ReadTrustedAnchor(mcom::SystemRoot()).value_or(signature::PublicKey{});
}

// What a requirement may ask of the signed code.
CodeFacts FactsOf(const signature::CodeSignature& signed_code, const signature::PublicKey& anchor) {
  CodeFacts facts;
  facts.identifier = signed_code.identifier;
  facts.code_directory_hash = signed_code.code_directory_hash;
  for (const signature::Certificate& certificate : signed_code.chain) {
    CertificateFacts certificate_facts;
    certificate_facts.subject = {{"CN", certificate.common_name},
                                 {"OU", certificate.organizational_unit}};
    for (const std::string& field : certificate.fields) certificate_facts.fields[field] = "";
    certificate_facts.hash = signature::Sha1(signature::CertificateBody(certificate));
    certificate_facts.trusted = certificate.public_key == anchor;
    facts.chain.push_back(std::move(certificate_facts));
  }
  facts.apple_anchored =
      !signed_code.chain.empty() && signed_code.chain.back().public_key == anchor;
  const cf::Ref<cf::Dictionary> info = cf::As<cf::Dictionary>(
      cf::PropertyListFromBytes(signed_code.info_plist.data(), signed_code.info_plist.size()));
  if (info) {
    for (const auto& [key, value] : *info) {
      if (const cf::Ref<cf::String> string = cf::As<cf::String>(value)) {
        facts.info[key] = string->utf8();
      }
    }
  }
  return facts;
}

// Whether `pid` still names the instance of `pid_version` (0: any process with that id).
bool StillTheInstance(pid_t pid, uint32_t pid_version) {
  return pid_version == 0 || mcom::CurrentPidVersion(pid) == pid_version;
}

// The bytes of the code: the file, or the running instance's program; null when they cannot
// be read. The instance is checked before and after the read, since it may go and its id be
// reused in between.
cf::Ref<cf::Data> ReadCode(const SecStaticCode& code) {
  if (!code.running()) return cf::CreateDataFromFile(code.executable);
  if (!StillTheInstance(code.pid, code.pid_version)) return nullptr;
  cf::Ref<cf::Data> bytes =
      cf::CreateDataFromFile(mcom::FilePath("/proc/" + std::to_string(code.pid) + "/exe"));
  if (!StillTheInstance(code.pid, code.pid_version)) return nullptr;
  return bytes;
}

OSStatus CheckValidity(SecStaticCodeRef code, SecCSFlags flags, SecCSFlags allowed,
                       SecRequirementRef requirement, cf::Ref<cf::Error>* errors) {
  if (code == nullptr) return Failure(errSecCSObjectRequired, errors);
  if ((flags & ~allowed) != 0) return Failure(errSecCSInvalidFlags, errors);
  const cf::Ref<cf::Data> bytes = ReadCode(*code);
  if (!bytes) {
    return Failure(code->running() ? errSecCSNoSuchCode : errSecCSStaticCodeNotFound, errors);
  }
  const signature::PublicKey anchor = TrustedAnchor();
  const signature::SignatureCheck check = signature::CheckSignature(bytes->span(), anchor);
  switch (check.state) {
    case signature::SignatureState::kValid:
      break;
    case signature::SignatureState::kUnsigned:
      return Failure(errSecCSUnsigned, errors);
    case signature::SignatureState::kMalformed:
      return Failure(errSecCSSignatureInvalid, errors);
    case signature::SignatureState::kModified:
      return Failure(errSecCSSignatureFailed, errors);
    case signature::SignatureState::kUntrusted:
      return Failure(errSecCSSignatureUntrusted, errors);
  }
  if (requirement != nullptr &&
      !requirement->requirement.IsSatisfiedBy(FactsOf(*check.signature, anchor))) {
    return Failure(errSecCSReqFailed, errors);
  }
  return errSecSuccess;
}

}  // namespace

OSStatus SecStaticCodeCreateWithPath(const cf::Ref<cf::URL>& path, SecCSFlags flags,
                                     SecStaticCodeRef* code) {
  if (code == nullptr || !path) return errSecCSObjectRequired;
  *code = nullptr;
  if (flags != kSecCSDefaultFlags) return errSecCSInvalidFlags;
  if (::access(path->path().c_str(), F_OK) != 0) return errSecCSStaticCodeNotFound;
  // A bundle's code is its main executable, as its information property list names it.
  mcom::FilePath executable = path->path();
  struct stat status;
  if (::stat(executable.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    const cf::Ref<cf::Bundle> bundle = cf::Bundle::Create(cf::URLFromPath(executable, true));
    const std::optional<mcom::FilePath> main =
        bundle ? cf::CopyPathOfURL(bundle->ExecutableURL()) : std::nullopt;
    if (!main) return errSecCSStaticCodeNotFound;
    executable = *main;
  }
  auto* made = new SecStaticCode;
  made->executable = executable;
  *code = made;
  return errSecSuccess;
}

OSStatus SecCodeCopySelf(SecCSFlags flags, SecCodeRef* self) {
  if (self == nullptr) return errSecCSObjectRequired;
  *self = nullptr;
  if (flags != kSecCSDefaultFlags) return errSecCSInvalidFlags;
  const mcom::Result<mcom::FilePath> executable = mcom::ExecutablePathOfProcess(::getpid());
  if (!executable) return errSecCSStaticCodeNotFound;
  auto* made = new SecCode;
  made->executable = *executable;
  made->pid = ::getpid();
  *self = made;
  return errSecSuccess;
}

OSStatus SecCodeCopyGuestWithAttributes(SecCodeRef host, const cf::Ref<cf::Dictionary>& attributes,
                                        SecCSFlags flags, SecCodeRef* guest) {
  if (guest == nullptr) return errSecCSObjectRequired;
  *guest = nullptr;
  if (flags != kSecCSDefaultFlags) return errSecCSInvalidFlags;
  if (host != nullptr) return errSecCSNotAHost;
  pid_t pid = 0;
  uint32_t pid_version = 0;
  if (const cf::Ref<cf::Data> audit =
          attributes ? attributes->GetData(kSecGuestAttributeAudit) : nullptr) {
    uint32_t words[8];
    if (audit->span().size() != sizeof words) return errSecCSInvalidAttributeValues;
    std::memcpy(words, audit->span().data(), sizeof words);
    pid = static_cast<pid_t>(words[5]);
    pid_version = words[7];
    if (pid_version == 0) return errSecCSNoSuchCode;  // its sender had gone
  } else if (const cf::Ref<cf::Number> number =
                 attributes ? attributes->Get<cf::Number>(kSecGuestAttributePid) : nullptr) {
    const std::optional<int64_t> value = number->Int64Value();
    if (!value || *value <= 0 || *value > INT32_MAX) return errSecCSInvalidAttributeValues;
    pid = static_cast<pid_t>(*value);
  } else {
    return errSecCSUnsupportedGuestAttributes;
  }
  if (!StillTheInstance(pid, pid_version)) return errSecCSNoSuchCode;
  const mcom::Result<mcom::FilePath> executable = mcom::ExecutablePathOfProcess(pid);
  if (!executable || !StillTheInstance(pid, pid_version)) return errSecCSNoSuchCode;
  auto* made = new SecCode;
  made->executable = *executable;
  made->pid = pid;
  made->pid_version = pid_version;
  *guest = made;
  return errSecSuccess;
}

OSStatus SecRequirementCreateWithStringAndErrors(const cf::Ref<cf::String>& text, SecCSFlags flags,
                                                 cf::Ref<cf::Error>* errors,
                                                 SecRequirementRef* requirement) {
  if (requirement == nullptr || !text) return Failure(errSecCSObjectRequired, errors);
  *requirement = nullptr;
  if (flags != kSecCSDefaultFlags) return Failure(errSecCSInvalidFlags, errors);
  std::string message;
  std::optional<CodeRequirement> parsed = CodeRequirement::Parse(text->utf8(), &message);
  if (!parsed) {
    return Failure(errSecCSReqInvalid, errors,
                   cf::Dictionary::Create(
                       {{std::string(kSecCFErrorRequirementSyntax), cf::String::Create(message)}}));
  }
  *requirement = new SecRequirement(std::move(*parsed));
  return errSecSuccess;
}

OSStatus SecStaticCodeCheckValidityWithErrors(SecStaticCodeRef code, SecCSFlags flags,
                                              SecRequirementRef requirement,
                                              cf::Ref<cf::Error>* errors) {
  return CheckValidity(code, flags, kStaticValidityFlags, requirement, errors);
}

OSStatus SecCodeCheckValidityWithErrors(SecCodeRef code, SecCSFlags flags,
                                        SecRequirementRef requirement, cf::Ref<cf::Error>* errors) {
  return CheckValidity(code, flags, kRunningValidityFlags, requirement, errors);
}

OSStatus SecCodeCopySigningInformation(SecStaticCodeRef code, SecCSFlags flags,
                                       cf::Ref<cf::Dictionary>* information) {
  if (code == nullptr || information == nullptr) return errSecCSObjectRequired;
  *information = nullptr;
  if ((flags & ~kInformationFlags) != 0) return errSecCSInvalidFlags;
  const cf::Ref<cf::Data> bytes = ReadCode(*code);
  if (!bytes) return code->running() ? errSecCSNoSuchCode : errSecCSStaticCodeNotFound;
  cf::Dictionary::Entries entries = {
      {std::string(kSecCodeInfoMainExecutable),
       cf::URL::CreateFromFileSystemPath(code->executable, false)},
  };
  const signature::SignatureCheck check = signature::CheckSignature(bytes->span(), TrustedAnchor());
  if (const std::optional<signature::CodeSignature>& signed_code = check.signature) {
    entries.emplace(kSecCodeInfoIdentifier, cf::String::Create(signed_code->identifier));
    if ((flags & kSecCSSigningInformation) != 0) {
      if (!signed_code->team_identifier.empty()) {
        entries.emplace(kSecCodeInfoTeamIdentifier,
                        cf::String::Create(signed_code->team_identifier));
      }
      const cf::Ref<cf::Date> time =
          cf::Date::CreateFromSecondsSince1970(static_cast<double>(signed_code->signing_time));
      entries.emplace(kSecCodeInfoTime, time);
      entries.emplace(kSecCodeInfoTimestamp, time);
    }
    if (const cf::Ref<cf::Dictionary> info = cf::As<cf::Dictionary>(cf::PropertyListFromBytes(
            signed_code->info_plist.data(), signed_code->info_plist.size()))) {
      entries.emplace(kSecCodeInfoPList, info);
    }
    entries.emplace(kSecCodeInfoUnique, cf::Data::Create(signed_code->code_directory_hash));
  }
  *information = cf::Dictionary::Create(std::move(entries));
  return errSecSuccess;
}

OSStatus SecCodeCopySigningInformation(SecCodeRef code, SecCSFlags flags,
                                       cf::Ref<cf::Dictionary>* information) {
  return SecCodeCopySigningInformation(static_cast<SecStaticCodeRef>(code), flags, information);
}

SecCodeRef CFRetain(SecCodeRef code) {
  CFRetain(static_cast<SecStaticCodeRef>(code));
  return code;
}

void CFRelease(SecCodeRef code) { CFRelease(static_cast<SecStaticCodeRef>(code)); }

SecStaticCodeRef CFRetain(SecStaticCodeRef code) {
  if (code != nullptr) code->references.fetch_add(1, std::memory_order_relaxed);
  return code;
}

void CFRelease(SecStaticCodeRef code) {
  if (code != nullptr && code->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    if (code->running()) {
      delete static_cast<SecCode*>(code);
    } else {
      delete code;
    }
  }
}

SecRequirementRef CFRetain(SecRequirementRef requirement) {
  if (requirement != nullptr) requirement->references.fetch_add(1, std::memory_order_relaxed);
  return requirement;
}

void CFRelease(SecRequirementRef requirement) {
  if (requirement != nullptr &&
      requirement->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete requirement;
  }
}

}  // namespace platform
