#pragma once

#include <cstdint>
#include <string_view>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_error.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/cf_url.h"
#include "platform/posix/scoped_generic.h"
#include "platform/security_error.h"

// Code signing services (SecCode.h, SecStaticCode.h, SecRequirement.h): code objects for
// files on disk and for the running process, requirements, validity checks and signing
// information. Failures are the framework's statuses (security_error.h has their texts); a
// call given a place for an error object also gets one, in the OSStatus domain.
namespace platform {

using SecCSFlags = uint32_t;

inline constexpr SecCSFlags kSecCSDefaultFlags = 0;
// Validity checks.
inline constexpr SecCSFlags kSecCSCheckAllArchitectures = 1u << 0;
inline constexpr SecCSFlags kSecCSDoNotValidateExecutable = 1u << 1;
inline constexpr SecCSFlags kSecCSDoNotValidateResources = 1u << 2;
inline constexpr SecCSFlags kSecCSCheckNestedCode = 1u << 3;
inline constexpr SecCSFlags kSecCSStrictValidate = 1u << 4;
inline constexpr SecCSFlags kSecCSFullReport = 1u << 5;
inline constexpr SecCSFlags kSecCSRestrictSymlinks = 1u << 7;
inline constexpr SecCSFlags kSecCSNoNetworkAccess = 1u << 29;
inline constexpr SecCSFlags kSecCSEnforceRevocationChecks = 1u << 30;
inline constexpr SecCSFlags kSecCSConsiderExpiration = 1u << 31;
// SecCodeCopySigningInformation.
inline constexpr SecCSFlags kSecCSInternalInformation = 1u << 0;
inline constexpr SecCSFlags kSecCSSigningInformation = 1u << 1;
inline constexpr SecCSFlags kSecCSRequirementInformation = 1u << 2;
inline constexpr SecCSFlags kSecCSDynamicInformation = 1u << 3;
inline constexpr SecCSFlags kSecCSContentInformation = 1u << 4;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecCSInvalidFlags = -67070;
inline constexpr OSStatus errSecCSObjectRequired = -67069;
inline constexpr OSStatus errSecCSStaticCodeNotFound = -67068;
inline constexpr OSStatus errSecCSUnsupportedGuestAttributes = -67067;
inline constexpr OSStatus errSecCSInvalidAttributeValues = -67066;
inline constexpr OSStatus errSecCSNoSuchCode = -67065;
inline constexpr OSStatus errSecCSGuestInvalid = -67063;
inline constexpr OSStatus errSecCSUnsigned = -67062;
inline constexpr OSStatus errSecCSSignatureFailed = -67061;
inline constexpr OSStatus errSecCSReqInvalid = -67052;
inline constexpr OSStatus errSecCSReqFailed = -67050;
inline constexpr OSStatus errSecCSNotAHost = -67046;
inline constexpr OSStatus errSecCSSignatureInvalid = -67045;
inline constexpr OSStatus errSecCSSignatureUntrusted = -66996;

// The keys of the signing information. Without kSecCSSigningInformation only the main
// executable and the identifier are given (the identifier only for signed code).
inline constexpr std::string_view kSecCodeInfoMainExecutable = "main-executable";  // URL
inline constexpr std::string_view kSecCodeInfoIdentifier = "identifier";           // string
inline constexpr std::string_view kSecCodeInfoTeamIdentifier = "teamid";           // string
inline constexpr std::string_view kSecCodeInfoPList = "info-plist";                // dictionary
inline constexpr std::string_view kSecCodeInfoTime = "signing-time";               // date
inline constexpr std::string_view kSecCodeInfoTimestamp = "signing-timestamp";     // date
inline constexpr std::string_view kSecCodeInfoUnique = "unique";  // data, the 20-byte hash

// Guest attributes: the 32 bytes of an audit token (data), or a process id (number).
inline constexpr std::string_view kSecGuestAttributeAudit = "audit";
inline constexpr std::string_view kSecGuestAttributePid = "pid";

// The user-information key of a requirement's syntax error: the parser's message.
inline constexpr std::string_view kSecCFErrorRequirementSyntax = "SecRequirementSyntax";

// Code objects. Opaque; reference counted (CFRetain and CFRelease below); thread-safe. A
// running-code object (SecCodeRef) is a static one too, as on the platform: the calls that
// take either have an overload for each.
struct SecStaticCode;
struct SecCode;
struct SecRequirement;
using SecStaticCodeRef = SecStaticCode*;
using SecCodeRef = SecCode*;
using SecRequirementRef = SecRequirement*;

// The code of the executable file at `path` (a host path). errSecCSStaticCodeNotFound when
// nothing is there.
OSStatus SecStaticCodeCreateWithPath(const mcom::cf::Ref<mcom::cf::URL>& path, SecCSFlags flags,
                                     SecStaticCodeRef* code);

// The code of the calling process: the executable it runs.
OSStatus SecCodeCopySelf(SecCSFlags flags, SecCodeRef* self);

// The code of a process, a guest of the system (`host` null; any other host is
// errSecCSNotAHost). By kSecGuestAttributeAudit the token's process instance (its id and pid
// version): errSecCSNoSuchCode once that process has gone or its id names another, when the
// guest is made and whenever its code is read later. By kSecGuestAttributePid alone, whatever
// process has that id when it is read. errSecCSUnsupportedGuestAttributes without either,
// errSecCSInvalidAttributeValues for a token that is not 32 bytes.
OSStatus SecCodeCopyGuestWithAttributes(SecCodeRef host,
                                        const mcom::cf::Ref<mcom::cf::Dictionary>& attributes,
                                        SecCSFlags flags, SecCodeRef* guest);

// A requirement from its text (code_requirement.h has the language). errSecCSReqInvalid for
// text it cannot parse; the error object then carries the parser's message under
// kSecCFErrorRequirementSyntax.
OSStatus SecRequirementCreateWithStringAndErrors(const mcom::cf::Ref<mcom::cf::String>& text,
                                                 SecCSFlags flags,
                                                 mcom::cf::Ref<mcom::cf::Error>* errors,
                                                 SecRequirementRef* requirement);

// Whether the code's signature is intact and trusted and, given a requirement, satisfies it:
// errSecCSUnsigned, errSecCSSignatureInvalid (unreadable), errSecCSSignatureFailed (changed
// after signing), errSecCSSignatureUntrusted (a chain to another root), errSecCSReqFailed.
// A running-code check refuses kSecCSCheckNestedCode (errSecCSInvalidFlags), as the
// platform's does.
OSStatus SecStaticCodeCheckValidityWithErrors(SecStaticCodeRef code, SecCSFlags flags,
                                              SecRequirementRef requirement,
                                              mcom::cf::Ref<mcom::cf::Error>* errors);
OSStatus SecCodeCheckValidityWithErrors(SecCodeRef code, SecCSFlags flags,
                                        SecRequirementRef requirement,
                                        mcom::cf::Ref<mcom::cf::Error>* errors);

// What the code's signature says (the keys above). It does not check the signature: callers
// check validity first.
OSStatus SecCodeCopySigningInformation(SecStaticCodeRef code, SecCSFlags flags,
                                       mcom::cf::Ref<mcom::cf::Dictionary>* information);
OSStatus SecCodeCopySigningInformation(SecCodeRef code, SecCSFlags flags,
                                       mcom::cf::Ref<mcom::cf::Dictionary>* information);

// One more reference (returned), or one less; an object goes with its last reference. Null
// is ignored.
SecStaticCodeRef CFRetain(SecStaticCodeRef code);
void CFRelease(SecStaticCodeRef code);
SecCodeRef CFRetain(SecCodeRef code);
void CFRelease(SecCodeRef code);
SecRequirementRef CFRetain(SecRequirementRef requirement);
void CFRelease(SecRequirementRef requirement);

// Owners of one reference each, released with CFRelease.
template <typename Ref>
struct SecurityObjectTraits {
  static Ref InvalidValue() { return nullptr; }
  static void Free(Ref object) { CFRelease(object); }
};
using ScopedSecCode = mcom::ScopedGeneric<SecCodeRef, SecurityObjectTraits<SecCodeRef>>;
using ScopedSecStaticCode =
    mcom::ScopedGeneric<SecStaticCodeRef, SecurityObjectTraits<SecStaticCodeRef>>;
using ScopedSecRequirement =
    mcom::ScopedGeneric<SecRequirementRef, SecurityObjectTraits<SecRequirementRef>>;

}  // namespace platform
