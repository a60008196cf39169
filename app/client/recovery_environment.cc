#include "app/client/recovery_environment.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>

bool ReadsAsTrue(const char* text) {
  if (text == nullptr) return false;
  while (*text == ' ' || *text == '\t') ++text;
  if (::strcasecmp(text, "YES") == 0 || ::strcasecmp(text, "true") == 0) return true;
  const char* digits = (*text == '+' || *text == '-') ? text + 1 : text;
  if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
  for (const char* digit = digits; *digit != '\0'; ++digit) {
    if (*digit != '0') return std::isdigit(static_cast<unsigned char>(*digit)) != 0;
  }
  return false;
}

bool IsRunningInRecoveryEnvironment() {
  static const bool in_recovery = ReadsAsTrue(std::getenv("__OSINSTALL_ENVIRONMENT"));
  return in_recovery;
}
