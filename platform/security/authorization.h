#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/security_error.h"

// Authorization services (Authorization.h): references to the rights a process obtained,
// and their 32-byte external form, which another process turns back into a reference with
// the same rights. The references are kept by the machine, so a form made by one process is
// good in another until the reference is freed with kAuthorizationFlagDestroyRights.
//
// A right is granted without asking anybody to a process running as root. Another process
// obtains one only with kAuthorizationFlagExtendRights and kAuthorizationFlagInteractionAllowed
// (the platform would show a password prompt), and then only when the machine's
// "administrator approves" fact says so.
namespace platform {

using AuthorizationFlags = uint32_t;
inline constexpr AuthorizationFlags kAuthorizationFlagDefaults = 0;
inline constexpr AuthorizationFlags kAuthorizationFlagInteractionAllowed = 1u << 0;
inline constexpr AuthorizationFlags kAuthorizationFlagExtendRights = 1u << 1;
inline constexpr AuthorizationFlags kAuthorizationFlagPartialRights = 1u << 2;
inline constexpr AuthorizationFlags kAuthorizationFlagDestroyRights = 1u << 3;
inline constexpr AuthorizationFlags kAuthorizationFlagPreAuthorize = 1u << 4;

inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errAuthorizationInvalidSet = -60001;
inline constexpr OSStatus errAuthorizationInvalidRef = -60002;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationInteractionNotAllowed = -60007;
inline constexpr OSStatus errAuthorizationInternal = -60008;
inline constexpr OSStatus errAuthorizationInvalidFlags = -60011;

struct AuthorizationItem {
  const char* name;
  size_t valueLength;
  void* value;
  uint32_t flags;
};
struct AuthorizationItemSet {
  uint32_t count;
  AuthorizationItem* items;
};
using AuthorizationRights = AuthorizationItemSet;
using AuthorizationEnvironment = AuthorizationItemSet;

struct AuthorizationExternalForm {
  char bytes[32];
};

struct AuthorizationOpaqueRef;
using AuthorizationRef = AuthorizationOpaqueRef*;

// A new reference, with `rights` obtained as AuthorizationCopyRights would (none when null).
OSStatus AuthorizationCreate(const AuthorizationRights* rights,
                             const AuthorizationEnvironment* environment, AuthorizationFlags flags,
                             AuthorizationRef* authorization);

// Obtains `rights` for the reference: all of them, or (kAuthorizationFlagPartialRights) those
// it can. errAuthorizationDenied for a right not held and not extended,
// errAuthorizationInteractionNotAllowed when one would need a prompt that is not allowed,
// errAuthorizationCanceled when the administrator does not approve. The rights obtained go to
// `authorized` when it is given (free them with AuthorizationFreeItemSet).
OSStatus AuthorizationCopyRights(AuthorizationRef authorization, const AuthorizationRights* rights,
                                 const AuthorizationEnvironment* environment,
                                 AuthorizationFlags flags, AuthorizationRights** authorized);

OSStatus AuthorizationMakeExternalForm(AuthorizationRef authorization,
                                       AuthorizationExternalForm* form);
// errAuthorizationInvalidRef for a form of no reference the machine keeps.
OSStatus AuthorizationCreateFromExternalForm(const AuthorizationExternalForm* form,
                                             AuthorizationRef* authorization);

// Frees the reference; with kAuthorizationFlagDestroyRights its rights go too, for every
// reference made from its external form.
OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags);
OSStatus AuthorizationFreeItemSet(AuthorizationItemSet* set);

}  // namespace platform
