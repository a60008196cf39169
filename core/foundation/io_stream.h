#pragma once

#include <array>
#include <iostream>
#include <streambuf>
#include <utility>

#include "core/foundation/file.h"

namespace mcom {
namespace file_details {

// A read-only stream buffer over an owned descriptor with a 4096-byte buffer. A read that
// returns less than 1 byte (end of data or any error, an interrupted read included) is end
// of file.
class FileBuffer : public std::streambuf {
 public:
  explicit FileBuffer(File file) : file_(std::move(file)) {}

 protected:
  int_type underflow() override;

 private:
  File file_;
  std::array<char, 4096> buffer_;
};

}  // namespace file_details

// A standard stream over an owned descriptor, used to read a child's output line by line as
// it comes. Destroying it closes the descriptor.
class IOStream : public std::iostream {
 public:
  explicit IOStream(File file);
  // The stream is bound to its own buffer member, so it cannot be copied or moved.
  IOStream(const IOStream&) = delete;
  IOStream& operator=(const IOStream&) = delete;

 private:
  file_details::FileBuffer buffer_;
};

}  // namespace mcom
