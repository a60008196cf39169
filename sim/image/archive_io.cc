#include "sim/image/archive_io.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/posix_error.h"
#include "sim/image/image_error.h"
#include "sim/image/image_file_format.h"

namespace sim::image_internal {
namespace {

constexpr size_t kBlockLength = 64 << 10;
constexpr size_t kReadLength = 1 << 20;

}  // namespace

std::string ArchiveError(archive* handle) {
  const char* text = archive_error_string(handle);
  return text != nullptr ? text : "unknown archive error";
}

void FileOutput::Open(archive* writer, PayloadCompression compression) {
  int status = ARCHIVE_OK;
  if (compression == PayloadCompression::kGzip) {
    status = archive_write_add_filter_gzip(writer);
    if (status == ARCHIVE_OK) status = archive_write_set_options(writer, "gzip:!timestamp");
    if (status == ARCHIVE_OK) {
      status = archive_write_set_filter_option(writer, "gzip", "compression-level", "1");
    }
  }
  // Full 64 KiB writes, but no padding of the last one: the payload ends where its data ends.
  if (status == ARCHIVE_OK) status = archive_write_set_bytes_per_block(writer, kBlockLength);
  if (status == ARCHIVE_OK) status = archive_write_set_bytes_in_last_block(writer, 1);
  if (status == ARCHIVE_OK) status = archive_write_open(writer, this, nullptr, &Write, nullptr);
  if (status != ARCHIVE_OK) {
    FailWriting(writer, *this, "cannot start a payload", std::make_error_code(std::errc::io_error));
  }
}

la_ssize_t FileOutput::Write(archive* handle, void* context, const void* buffer, size_t length) {
  auto* output = static_cast<FileOutput*>(context);
  size_t done = 0;
  while (done < length) {
    const ssize_t count = mcom::RetryOnInterrupt([&] {
      return ::write(output->fd_, static_cast<const char*>(buffer) + done, length - done);
    });
    if (count < 0) {
      output->error_ = mcom::LastError();
      archive_set_error(handle, output->error_.value(), "cannot write the payload");
      return -1;
    }
    done += static_cast<size_t>(count);
  }
  output->written_ += length;
  return static_cast<la_ssize_t>(length);
}

PayloadInput::PayloadInput(const ImagePayload& payload) : payload_(payload) {}

void PayloadInput::Open(archive* reader, const std::string& name) {
  if (!payload_.file) {
    Fail(std::make_error_code(std::errc::invalid_argument), name + ": the payload has no file");
  }
  if (archive_read_open(reader, this, nullptr, &Read, nullptr) != ARCHIVE_OK) {
    FailReading(reader, *this, name + ": cannot read the payload");
  }
}

la_ssize_t PayloadInput::Read(archive* handle, void* context, const void** buffer) {
  auto* input = static_cast<PayloadInput*>(context);
  const uint64_t left = input->payload_.length - input->position_;
  if (left == 0) return 0;
  if (input->buffer_.empty()) input->buffer_.resize(kReadLength);
  const size_t wanted = static_cast<size_t>(std::min<uint64_t>(left, input->buffer_.size()));
  const ssize_t count = mcom::RetryOnInterrupt([&] {
    return ::pread(input->payload_.file->get(), input->buffer_.data(), wanted,
                   static_cast<off_t>(input->payload_.offset + input->position_));
  });
  if (count < 0) {
    input->error_ = mcom::LastError();
    archive_set_error(handle, input->error_.value(), "cannot read the payload");
    return -1;
  }
  if (count == 0) {
    // The file became shorter than the metadata said when it was read.
    archive_set_error(handle, -1, "the file ends inside the payload");
    return -1;
  }
  input->position_ += static_cast<uint64_t>(count);
  *buffer = input->buffer_.data();
  return count;
}

void FailReading(archive* reader, const PayloadInput& input, const std::string& what) {
  if (input.error()) Fail(input.error(), what);
  Fail(ImageErrc::kCorrupt, what + ": " + ArchiveError(reader));
}

void FailWriting(archive* writer, const FileOutput& output, const std::string& what,
                 std::error_code fallback) {
  if (output.error()) Fail(output.error(), what);
  Fail(fallback, what + ": " + ArchiveError(writer));
}

}  // namespace sim::image_internal
