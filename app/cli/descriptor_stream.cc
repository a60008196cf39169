#include "app/cli/descriptor_stream.h"
#include "platform/posix/posix_error.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

DescriptorStream::DescriptorStream(int fd) : std::ostream(nullptr), buffer_(fd) { rdbuf(&buffer_); }

DescriptorStream::~DescriptorStream() {
  flush();
  ::close(buffer_.fd());
}

DescriptorStream::Buffer::int_type DescriptorStream::Buffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  pending_.push_back(traits_type::to_char_type(c));
  if ((c == '\n' || pending_.size() >= 4096) && !Flush()) return traits_type::eof();
  return c;
}

std::streamsize DescriptorStream::Buffer::xsputn(const char* data, std::streamsize count) {
  pending_.append(data, static_cast<size_t>(count));
  // Whole lines go out at once: a message must not wait for the end of a long operation.
  const bool line_ended = std::memchr(data, '\n', static_cast<size_t>(count)) != nullptr;
  if ((line_ended || pending_.size() >= 4096) && !Flush()) return 0;
  return count;
}

int DescriptorStream::Buffer::sync() { return Flush() ? 0 : -1; }

bool DescriptorStream::Buffer::Flush() {
  size_t written = 0;
  while (written < pending_.size()) {
    const ssize_t count = mcom::RetryOnInterrupt(
        [&] { return ::write(fd_, pending_.data() + written, pending_.size() - written); });
    if (count <= 0) {
      pending_.clear();  // a closed pipe or a full disk: what cannot be written is dropped
      return false;
    }
    written += static_cast<size_t>(count);
  }
  pending_.clear();
  return true;
}
