#include "app/cli/error_keeping_controller.h"

#include <exception>

#include "app/controllers/platform_error.h"

template <typename Task>
void ErrorKeepingController::Kept(Task&& task) const {
  failure_.reset();
  try {
    task();
  } catch (const app::PlatformError& error) {
    failure_ = error.error();
    throw;
  } catch (const Error& error) {
    // A core Error that escaped the bridge still ends the task as a failure.
    failure_ = error;
    throw app::PlatformError(error);
  } catch (const std::exception& exception) {
    // Anything else the platform layers throw, with its own words.
    failure_ = Error("dorvane", exception.what());
    throw;
  }
}

void ErrorKeepingController::performBackup(const std::optional<app::APFSContainerName>& source,
                                           const mcom::FilePath& destination,
                                           const std::shared_ptr<app::Progress>& progress) const {
  Kept([&] { inner_->performBackup(source, destination, progress); });
}

void ErrorKeepingController::performRestore(const mcom::FilePath& image,
                                            const app::DiskName& target,
                                            const std::shared_ptr<app::Progress>& progress) const {
  Kept([&] { inner_->performRestore(image, target, progress); });
}
