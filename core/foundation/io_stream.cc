#include "core/foundation/io_stream.h"

#include <unistd.h>

namespace mcom {
namespace file_details {

FileBuffer::int_type FileBuffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  // One read. Anything below one byte ends the stream: end of data, a failure, and an
  // interrupted read alike.
  const ssize_t count = ::read(file_.get(), buffer_.data(), buffer_.size());
  if (count < 1) return traits_type::eof();
  setg(buffer_.data(), buffer_.data(), buffer_.data() + count);
  // Through to_int_type, so that a byte 0xff is a byte and not end of file.
  return traits_type::to_int_type(buffer_[0]);
}

}  // namespace file_details

// The base class is built before the buffer member exists, so it starts without a buffer
// and is bound to it once the member is constructed.
IOStream::IOStream(File file) : std::iostream(nullptr), buffer_(std::move(file)) {
  rdbuf(&buffer_);
}

}  // namespace mcom
