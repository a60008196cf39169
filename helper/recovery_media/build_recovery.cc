#include "helper/recovery_media/build_recovery.h"

#include <memory>
#include <string>

#include "core/foundation/log.h"
#include "helper/recovery_media/base_system_image.h"
#include "transport/progress_message.h"

mcom::FilePath ApplicationBundleOfCaller(const mcom::AuditToken& caller) {
  const helper::Code code = helper::CopyGuestCode(caller);
  const helper::SigningInformation information = helper::CopySigningInformation(code.get());
  // Contents/MacOS/executable
  return information.executable.Parent().Parent().Parent();
}

namespace recovery_media_internal {

std::optional<Error> BuildRecoveryWithBundle(mcom::DiskName target, const mcom::FilePath& bundle,
                                             helper::CertificateKind kind, bool t2,
                                             const RecoveryProgressCallback& progress) {
  try {
    CheckRecoveryTarget(target);
    const std::error_code result =
        BuildRecoveryMedia(mcom::FormatDiskName(target).c_str(), t2,
                           MakeApplicationCustomizer(bundle, kind), progress);
    if (result) return Error("BuildRecovery", result.message());
  } catch (const Error& error) {
    return error;
  }
  return std::nullopt;
}

}  // namespace recovery_media_internal

std::optional<Error> BuildRecovery(mcom::DiskName target, mach::PortRight<mach::Send> progress_port,
                                   const mcom::AuditToken& caller) {
  mcom::log::Default("BuildRecovery on %{public}s", mcom::FormatDiskName(target));
  mcom::FilePath bundle;
  try {
    bundle = ApplicationBundleOfCaller(caller);
  } catch (const std::system_error& failure) {
    return Error("BuildRecovery", std::string("failed to get app path: ") + failure.what());
  }
  auto port = std::make_shared<const mach::PortRight<mach::Send>>(std::move(progress_port));
  const RecoveryProgressCallback progress = [port](RecoveryProgress update) {
    ProgressUpdate message;
    if (const double* fraction = std::get_if<double>(&update)) {
      message = *fraction;
    } else {
      message = std::string(std::get<std::string_view>(update));
    }
    // A caller that stopped listening does not stop the build.
    (void)mach::SendProgress(*port, message);
  };
  return recovery_media_internal::BuildRecoveryWithBundle(
      target, bundle, helper::SelfCertificateKind(), HasT2Controller(), progress);
}
