#if !defined(__linux__)
#error "service_management_linux.cc is the Linux service-manager stand-in"
#endif

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/foundation/bundle.h"
#include "core/foundation/cf_array.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_file_data.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/property_list.h"
#include "core/foundation/system_path.h"
#include "platform/security/code_signing.h"
#include "platform/service_management/embedded_section.h"
#include "platform/service_management/service_management.h"
#include "sim/launcher/launcher_control.h"
#include "sim/launcher/pid_file.h"
#include "sim/machine/atomic_file.h"

namespace platform {
namespace {

namespace cf = mcom::cf;

constexpr char kHelperToolsFolder[] = "/Library/PrivilegedHelperTools/";
constexpr char kLaunchDaemonsFolder[] = "/Library/LaunchDaemons/";
constexpr SecCSFlags kStrictStaticCheck = kSecCSCheckNestedCode | kSecCSStrictValidate;

// A refusal: the error SMJobBless reports.
struct Refusal {
  long code;
};

void Check(bool holds, long code) {
  if (!holds) throw Refusal{code};
}

// The requirement `text` states; an empty owner when it cannot be read.
ScopedSecRequirement RequirementOf(const cf::Ref<cf::String>& text) {
  SecRequirementRef requirement = nullptr;
  if (SecRequirementCreateWithStringAndErrors(text, kSecCSDefaultFlags, nullptr, &requirement)) {
    return ScopedSecRequirement(nullptr);
  }
  return ScopedSecRequirement(requirement);
}

void CheckAuthorization(AuthorizationRef authorization) {
  Check(authorization != nullptr, kSMErrorAuthorizationFailure);
  AuthorizationItem item{kSMRightBlessPrivilegedHelper, 0, nullptr, 0};
  const AuthorizationRights rights{1, &item};
  Check(
      AuthorizationCopyRights(authorization, &rights, nullptr,
                              kAuthorizationFlagExtendRights | kAuthorizationFlagInteractionAllowed,
                              nullptr) == errAuthorizationSuccess,
      kSMErrorAuthorizationFailure);
}

// The application's requirement on its helper holds for the helper in its bundle, and the
// helper's clients include the calling program. Answers the helper's path.
mcom::FilePath CheckSignatures(std::string_view label) {
  const cf::Ref<cf::Bundle> bundle = cf::Bundle::MainBundle();
  const std::optional<mcom::FilePath> bundle_path =
      bundle ? cf::CopyPathOfURL(bundle->BundleURL()) : std::nullopt;
  const cf::Ref<cf::Dictionary> privileged =
      bundle ? bundle->InfoDictionary()->GetDictionary("SMPrivilegedExecutables") : nullptr;
  const std::optional<std::string> wanted =
      privileged ? privileged->GetString(label) : std::nullopt;
  Check(bundle_path && wanted, kSMErrorToolNotValid);
  mcom::FilePath helper =
      bundle_path->Join("Contents/Library/LaunchServices").Join(std::string(label));

  SecStaticCodeRef static_code = nullptr;
  Check(SecStaticCodeCreateWithPath(cf::URL::CreateFromFileSystemPath(helper, false),
                                    kSecCSDefaultFlags, &static_code) == 0,
        kSMErrorToolNotValid);
  const ScopedSecStaticCode code(static_code);
  const ScopedSecRequirement requirement = RequirementOf(cf::String::Create(*wanted));
  Check(requirement && SecStaticCodeCheckValidityWithErrors(code.get(), kStrictStaticCheck,
                                                            requirement.get(), nullptr) == 0,
        kSMErrorInvalidSignature);

  cf::Ref<cf::Dictionary> information;
  Check(SecCodeCopySigningInformation(code.get(), kSecCSSigningInformation, &information) == 0,
        kSMErrorInvalidSignature);
  const cf::Ref<cf::Dictionary> info_plist = information->GetDictionary(kSecCodeInfoPList);
  const cf::Ref<cf::Array> clients =
      info_plist ? info_plist->GetArray("SMAuthorizedClients") : nullptr;
  Check(clients != nullptr, kSMErrorInvalidSignature);
  SecCodeRef self_code = nullptr;
  Check(SecCodeCopySelf(kSecCSDefaultFlags, &self_code) == 0, kSMErrorInvalidSignature);
  const ScopedSecCode self(self_code);
  bool authorized = false;
  for (size_t index = 0; index < clients->Count() && !authorized; ++index) {
    const cf::Ref<cf::String> client = clients->Get<cf::String>(index);
    const ScopedSecRequirement client_requirement =
        client ? RequirementOf(client) : ScopedSecRequirement(nullptr);
    authorized = client_requirement &&
                 SecCodeCheckValidityWithErrors(self.get(), kSecCSDefaultFlags,
                                                client_requirement.get(), nullptr) == 0;
  }
  Check(authorized, kSMErrorInvalidSignature);
  return helper;
}

// The helper's job as launchd gets it: the embedded list with the installed program.
std::string JobPropertyList(std::span<const uint8_t> helper, std::string_view label,
                            const std::string& installed) {
  std::string embedded;
  Check(!ReadEmbeddedSection(helper, "__launchd_plist", &embedded), kSMErrorInvalidPlist);
  const cf::Ref<cf::Dictionary> job =
      cf::As<cf::Dictionary>(cf::PropertyListFromBytes(embedded.data(), embedded.size()));
  Check(job && job->GetString("Label") == std::string(label), kSMErrorInvalidPlist);
  const cf::Ref<cf::MutableDictionary> written = job->MutableCopy();
  written->RemoveValue("Program");
  written->SetValue("ProgramArguments",
                    cf::Array::Create(cf::Array::Values{cf::String::Create(installed)}));
  const cf::Ref<cf::Data> data = cf::PropertyListToData(written, cf::PropertyListFormat::kXML);
  Check(data != nullptr, kSMErrorInternalFailure);
  return std::string(data->AsStringView());
}

void Bless(std::string_view domain, std::string_view label, AuthorizationRef authorization) {
  Check(domain == kSMDomainSystemLaunchd, kSMErrorInternalFailure);
  CheckAuthorization(authorization);
  const mcom::FilePath helper = CheckSignatures(label);
  const cf::Ref<cf::Data> program = cf::CreateDataFromFile(helper);
  Check(program != nullptr, kSMErrorToolNotValid);
  const std::string installed = kHelperToolsFolder + std::string(label);
  const std::string job = JobPropertyList(program->span(), label, installed);
  const mcom::FilePath root = mcom::SystemRoot();
  Check(sim::launcher::RunningLauncherPid(root).has_value(), kSMErrorServiceUnavailable);

  Check(!sim::WriteFileAtomically(mcom::SystemPath(installed), program->AsStringView(), 0544),
        kSMErrorInternalFailure);
  Check(!sim::WriteFileAtomically(
            mcom::SystemPath(kLaunchDaemonsFolder + std::string(label) + ".plist"), job, 0644),
        kSMErrorInternalFailure);
  try {
    sim::launcher::ReloadLauncher(root);
  } catch (const std::exception&) {
    throw Refusal{kSMErrorServiceUnavailable};
  }
}

}  // namespace

bool SMJobBless(std::string_view domain, std::string_view label, AuthorizationRef authorization,
                cf::Ref<cf::Error>* error) {
  try {
    Bless(domain, label, authorization);
    return true;
  } catch (const Refusal& refusal) {
    if (error) *error = cf::Error::Create(kSMErrorDomainLaunchd, refusal.code, nullptr);
    return false;
  }
}

pid_t LaunchdProcessId() {
  return sim::launcher::RunningLauncherPid(mcom::SystemRoot()).value_or(0);
}

}  // namespace platform
