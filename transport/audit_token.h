#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>

namespace mcom {

// The audit token of a message's sender, exactly as the kernel writes it into the receive
// trailer: eight 32-bit words (audit_token_t). It is never sent as an argument; the
// transport reads it from the trailer of a received message.
//
// Words: 0 audit user id, 1 effective uid, 2 effective gid, 3 real uid, 4 real gid, 5 pid,
// 6 audit session id, 7 pid version. A token of all ones is the invalid token, which names
// no process; all zeros is the kernel's own.
//
// The pid version tells the sending process from a later one given the same id. On the Mac
// it also changes when the process runs another program (exec); on Linux it is the
// sender's start time (platform/posix/process_instance.h), which an exec keeps: a process
// that sends and then execs another program is still the same instance here, so a check of
// its code made after the exec sees the new program. 0 means the sender had gone.
struct AuditToken {
  std::array<uint32_t, 8> val{};

  static AuditToken Invalid() {
    AuditToken token;
    token.val.fill(0xFFFFFFFFU);
    return token;
  }

  uid_t audit_user_id() const { return val[0]; }
  uid_t effective_user_id() const { return val[1]; }
  gid_t effective_group_id() const { return val[2]; }
  uid_t real_user_id() const { return val[3]; }
  gid_t real_group_id() const { return val[4]; }
  pid_t pid() const { return static_cast<pid_t>(val[5]); }
  uint32_t audit_session_id() const { return val[6]; }
  uint32_t pid_version() const { return val[7]; }

  friend bool operator==(const AuditToken&, const AuditToken&) = default;
};

}  // namespace mcom
