#if !defined(__linux__)
#error "authorization_linux.cc is the Linux authorization stand-in"
#endif

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/foundation/cf_data.h"
#include "core/foundation/cf_file_data.h"
#include "core/foundation/hex_text.h"
#include "core/foundation/system_path.h"
#include "platform/security/authorization.h"
#include "sim/machine/atomic_file.h"
#include "sim/machine/machine_facts.h"
#include "sim/machine/machine_paths.h"

namespace platform {

using AuthorizationId = std::array<uint8_t, sizeof(AuthorizationExternalForm::bytes)>;

// A process's handle on a reference the machine keeps under its id.
struct AuthorizationOpaqueRef {
  AuthorizationId id{};
};

namespace {

constexpr AuthorizationFlags kCopyRightsFlags =
    kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights |
    kAuthorizationFlagPartialRights | kAuthorizationFlagPreAuthorize;

// The machine's record of a reference: the names of its rights, one per line.
mcom::FilePath RecordPath(const AuthorizationId& id) {
  return sim::AuthorizationsFolder(mcom::SystemRoot()).Join(mcom::HexOf(id));
}

std::optional<std::set<std::string>> ReadRights(const AuthorizationId& id) {
  const mcom::cf::Ref<mcom::cf::Data> record = mcom::cf::CreateDataFromFile(RecordPath(id));
  if (!record) return std::nullopt;
  std::set<std::string> rights;
  std::istringstream lines{std::string(record->AsStringView())};
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) rights.insert(line);
  }
  return rights;
}

// Records are readable by every process that knows their name (a form handed over by another
// user's process) and written only by the process that made them.
bool WriteRights(const AuthorizationId& id, const std::set<std::string>& rights) {
  std::string text;
  for (const std::string& right : rights) text += right + "\n";
  return !sim::WriteFileAtomically(RecordPath(id), text, 0644);
}

// Whether one more right may be had, and if not, why.
OSStatus Extend(AuthorizationFlags flags) {
  if ((flags & kAuthorizationFlagExtendRights) == 0) return errAuthorizationDenied;
  if (::geteuid() == 0) return errAuthorizationSuccess;
  if ((flags & kAuthorizationFlagInteractionAllowed) == 0) {
    return errAuthorizationInteractionNotAllowed;
  }
  return sim::ReadAdministratorApproves(mcom::SystemRoot()) ? errAuthorizationSuccess
                                                            : errAuthorizationCanceled;
}

AuthorizationRights* CopyOfItems(const std::vector<const AuthorizationItem*>& items) {
  auto* set = new AuthorizationRights{static_cast<uint32_t>(items.size()),
                                      new AuthorizationItem[items.size()]};
  for (size_t i = 0; i < items.size(); ++i) {
    char* name = new char[std::strlen(items[i]->name) + 1];
    std::strcpy(name, items[i]->name);
    set->items[i] = AuthorizationItem{name, 0, nullptr, 0};
  }
  return set;
}

}  // namespace

OSStatus AuthorizationCreate(const AuthorizationRights* rights,
                             const AuthorizationEnvironment* environment, AuthorizationFlags flags,
                             AuthorizationRef* authorization) {
  if (authorization == nullptr) return errAuthorizationInvalidRef;
  *authorization = nullptr;
  if ((flags & ~kCopyRightsFlags) != 0) return errAuthorizationInvalidFlags;
  auto made = std::make_unique<AuthorizationOpaqueRef>();
  if (::getrandom(made->id.data(), made->id.size(), 0) != static_cast<ssize_t>(made->id.size()) ||
      !WriteRights(made->id, {})) {
    return errAuthorizationInternal;
  }
  if (rights != nullptr && rights->count > 0) {
    if (const OSStatus status =
            AuthorizationCopyRights(made.get(), rights, environment, flags, nullptr)) {
      (void)AuthorizationFree(made.release(), kAuthorizationFlagDestroyRights);
      return status;
    }
  }
  *authorization = made.release();
  return errAuthorizationSuccess;
}

OSStatus AuthorizationCopyRights(AuthorizationRef authorization, const AuthorizationRights* rights,
                                 const AuthorizationEnvironment*, AuthorizationFlags flags,
                                 AuthorizationRights** authorized) {
  if (authorized != nullptr) *authorized = nullptr;
  if (authorization == nullptr) return errAuthorizationInvalidRef;
  if ((flags & ~kCopyRightsFlags) != 0) return errAuthorizationInvalidFlags;
  if (rights == nullptr || (rights->count > 0 && rights->items == nullptr)) {
    return errAuthorizationInvalidSet;
  }
  std::optional<std::set<std::string>> held = ReadRights(authorization->id);
  if (!held) return errAuthorizationInvalidRef;
  std::vector<const AuthorizationItem*> granted;
  for (uint32_t i = 0; i < rights->count; ++i) {
    const AuthorizationItem& item = rights->items[i];
    if (item.name == nullptr) return errAuthorizationInvalidSet;
    const OSStatus status = held->contains(item.name) ? errAuthorizationSuccess : Extend(flags);
    if (status == errAuthorizationSuccess) {
      granted.push_back(&item);
    } else if ((flags & kAuthorizationFlagPartialRights) == 0) {
      return status;
    }
  }
  // A reference taken over from another process's form is only read: its record is that
  // process's.
  const size_t before = held->size();
  for (const AuthorizationItem* item : granted) held->insert(item->name);
  if (held->size() != before && !WriteRights(authorization->id, *held)) {
    return errAuthorizationInternal;
  }
  if (authorized != nullptr) *authorized = CopyOfItems(granted);
  return errAuthorizationSuccess;
}

OSStatus AuthorizationMakeExternalForm(AuthorizationRef authorization,
                                       AuthorizationExternalForm* form) {
  if (authorization == nullptr) return errAuthorizationInvalidRef;
  if (form == nullptr) return errAuthorizationInvalidSet;
  std::memcpy(form->bytes, authorization->id.data(), authorization->id.size());
  return errAuthorizationSuccess;
}

OSStatus AuthorizationCreateFromExternalForm(const AuthorizationExternalForm* form,
                                             AuthorizationRef* authorization) {
  if (authorization == nullptr || form == nullptr) return errAuthorizationInvalidRef;
  *authorization = nullptr;
  auto made = std::make_unique<AuthorizationOpaqueRef>();
  std::memcpy(made->id.data(), form->bytes, made->id.size());
  if (!ReadRights(made->id)) return errAuthorizationInvalidRef;
  *authorization = made.release();
  return errAuthorizationSuccess;
}

OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags) {
  if (authorization == nullptr) return errAuthorizationInvalidRef;
  if ((flags & ~kAuthorizationFlagDestroyRights) != 0) return errAuthorizationInvalidFlags;
  if ((flags & kAuthorizationFlagDestroyRights) != 0) {
    (void)::unlink(RecordPath(authorization->id).c_str());
  }
  delete authorization;
  return errAuthorizationSuccess;
}

OSStatus AuthorizationFreeItemSet(AuthorizationItemSet* set) {
  if (set == nullptr) return errAuthorizationInvalidSet;
  for (uint32_t i = 0; i < set->count; ++i) delete[] set->items[i].name;
  delete[] set->items;
  delete set;
  return errAuthorizationSuccess;
}

}  // namespace platform
