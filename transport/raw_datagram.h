#pragma once

// Sends bytes that need not be a well-formed message, with descriptors attached, straight to
// a port's socket: how the tests and fuzz targets play a hostile local process.

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace transport_testing {

// One datagram of `size` bytes at `data` with `fds` (at most 16) as SCM_RIGHTS; the caller
// keeps its descriptors. Whether sendmsg() accepted it.
inline bool SendRawDatagram(int socket, const void* data, size_t size, const std::vector<int>& fds,
                            int flags = MSG_NOSIGNAL) {
  constexpr size_t kMostDescriptors = 16;
  if (fds.size() > kMostDescriptors) return false;
  iovec vector{const_cast<void*>(data), size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMostDescriptors)];
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  if (!fds.empty()) {
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(rights), fds.data(), sizeof(int) * fds.size());
  }
  return ::sendmsg(socket, &message, flags) >= 0;
}

}  // namespace transport_testing
