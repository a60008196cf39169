#pragma once

// The baseline of the message benchmarks: a SOCK_SEQPACKET socket pair with a thread that
// sends every datagram back, which is what one request and its reply cost the kernel at
// least.

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace bench {

class SeqpacketEcho {
 public:
  SeqpacketEcho() {
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends_) != 0) return;
    thread_ = std::thread([fd = ends_[1]] {
      char buffer[64];
      for (;;) {
        const ssize_t length = ::recv(fd, buffer, sizeof buffer, 0);
        if (length <= 0) return;
        if (::send(fd, buffer, static_cast<size_t>(length), MSG_NOSIGNAL) < 0) return;
      }
    });
  }
  ~SeqpacketEcho() {
    ::close(ends_[0]);  // the echo thread reads the end of the stream
    if (thread_.joinable()) thread_.join();
    ::close(ends_[1]);
  }
  SeqpacketEcho(const SeqpacketEcho&) = delete;
  SeqpacketEcho& operator=(const SeqpacketEcho&) = delete;

  // One 24-byte datagram there and back.
  bool RoundTrip() {
    char message[24] = {1};
    char answer[64];
    return ::send(ends_[0], message, sizeof message, MSG_NOSIGNAL) == sizeof message &&
           ::recv(ends_[0], answer, sizeof answer, 0) > 0;
  }

 private:
  int ends_[2] = {-1, -1};
  std::thread thread_;
};

// Nanoseconds per bare round trip, over `rounds` of them.
inline double BareRoundTripNanoseconds(int rounds) {
  SeqpacketEcho echo;
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < rounds; ++round) echo.RoundTrip();
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
             .count() /
         rounds;
}

}  // namespace bench
