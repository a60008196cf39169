#pragma once

// The platform's opaque external form of an authorization reference: 32 bytes that travel
// verbatim between processes (AuthorizationExternalForm of the Security framework).

#if defined(__APPLE__)
#include <Security/Authorization.h>
#else
inline constexpr unsigned kAuthorizationExternalFormLength = 32;

struct AuthorizationExternalForm {
  char bytes[kAuthorizationExternalFormLength];
};
#endif

static_assert(sizeof(AuthorizationExternalForm) == 32);
