#pragma once

#include <ostream>
#include <streambuf>
#include <string>

// An output stream that writes straight to a descriptor it owns, one whole line at a time
// (and whatever is pending at a flush); dorvane writes its progress and its messages through
// two of them while the standard descriptors are lent to the engine and its tools (main.cc).
class DescriptorStream : public std::ostream {
 public:
  // Takes over `fd`.
  explicit DescriptorStream(int fd);
  ~DescriptorStream() override;
  DescriptorStream(const DescriptorStream&) = delete;
  DescriptorStream& operator=(const DescriptorStream&) = delete;

 private:
  class Buffer : public std::streambuf {
   public:
    explicit Buffer(int fd) : fd_(fd) {}
    int fd() const { return fd_; }

   protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* data, std::streamsize count) override;
    int sync() override;

   private:
    bool Flush();

    int fd_;
    std::string pending_;
  };

  Buffer buffer_;
};
