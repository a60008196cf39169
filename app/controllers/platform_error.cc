#include "app/controllers/platform_error.h"

namespace app {

PlatformError::PlatformError(const Error& error)
    : std::runtime_error(error.FullDescription()), domain_(error.operation()), error_(error) {}

}  // namespace app
