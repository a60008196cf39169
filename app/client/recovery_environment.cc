#include "app/client/recovery_environment.h"

#include <cstdlib>

bool IsRunningInRecoveryEnvironment() {
  static const bool in_recovery = [] {
    const char* value = std::getenv("__OSINSTALL_ENVIRONMENT");
    return value != nullptr && value[0] != '\0';
  }();
  return in_recovery;
}
