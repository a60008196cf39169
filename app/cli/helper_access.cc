#include "app/cli/helper_access.h"

#include <unistd.h>

#include <filesystem>

#include "app/client/helper_session.h"
#include "core/foundation/bundle.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/process.h"

std::optional<std::string> WhyTheHelperWillNotServe() {
  // A copy outside the bundle has no helper of its own to compare the running one with, so it
  // would have to trust whatever answers.
  const mcom::cf::Ref<mcom::cf::Bundle> bundle = mcom::cf::Bundle::MainBundle();
  const std::optional<mcom::FilePath> bundle_path =
      bundle ? mcom::cf::CopyPathOfURL(bundle->BundleURL()) : std::nullopt;
  if (!bundle_path ||
      !std::filesystem::is_regular_file(bundle_path->Join(kBundledHelperPath).string())) {
    const mcom::Result<mcom::FilePath> self = mcom::ExecutablePathOfProcess(::getpid());
    return "outside the recovery environment dorvane works through the privileged helper, "
           "which only the copy inside the application bundle (Dorvane.app/Contents/MacOS/"
           "dorvane) may use; this one runs from " +
           (self ? self->string() : std::string("elsewhere"));
  }
  if (::geteuid() != 0) {
    return "outside the recovery environment dorvane works through the privileged helper, "
           "which serves it only when it runs as root";
  }
  return std::nullopt;
}
