#include "sim/image/payload_copy.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/posix/posix_error.h"
#include "sim/image/archive_io.h"
#include "sim/image/image_error.h"
#include "sim/image/image_file_format.h"

namespace sim::image_internal {
namespace {

constexpr uint64_t kChunk = 8 << 20;

void WriteAll(int fd, const char* bytes, size_t length, const std::string& name) {
  while (length > 0) {
    const ssize_t count = mcom::RetryOnInterrupt([&] { return ::write(fd, bytes, length); });
    if (count < 0) Fail(mcom::LastError(), name + ": cannot write");
    bytes += count;
    length -= static_cast<size_t>(count);
  }
}

// pread of the payload's bytes at `position` (relative to the payload); 0 means the file
// ended early, which the caller reports.
size_t ReadPayload(const ImagePayload& payload, uint64_t position, char* buffer, size_t length,
                   const std::string& name) {
  const ssize_t count = mcom::RetryOnInterrupt([&] {
    return ::pread(payload.file->get(), buffer, length,
                   static_cast<off_t>(payload.offset + position));
  });
  if (count < 0) Fail(mcom::LastError(), name + ": cannot read the payload");
  if (count == 0) Fail(ImageErrc::kCorrupt, name + ": the file ends inside the payload");
  return static_cast<size_t>(count);
}

// The bytes as they are, in the kernel where it can, else through a buffer.
uint64_t CopyBytes(const ImagePayload& payload, int output_fd,
                   const std::function<void(uint64_t)>& consumed, const std::string& name) {
  uint64_t done = 0;
  bool in_kernel = true;
  std::vector<char> buffer;
  while (done < payload.length) {
    const size_t wanted = static_cast<size_t>(std::min(payload.length - done, kChunk));
    size_t count = 0;
    if (in_kernel) {
      loff_t from = static_cast<loff_t>(payload.offset + done);
      const ssize_t copied = mcom::RetryOnInterrupt([&] {
        return ::copy_file_range(payload.file->get(), &from, output_fd, nullptr, wanted, 0);
      });
      if (copied < 0) {
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
          Fail(mcom::LastError(), name + ": cannot copy the payload");
        }
        in_kernel = false;
        continue;
      }
      if (copied == 0) Fail(ImageErrc::kCorrupt, name + ": the file ends inside the payload");
      count = static_cast<size_t>(copied);
    } else {
      buffer.resize(wanted);
      count = ReadPayload(payload, done, buffer.data(), wanted, name);
      WriteAll(output_fd, buffer.data(), count, name);
    }
    done += count;
    if (consumed) consumed(done);
  }
  return done;
}

uint64_t Compress(const ImagePayload& payload, int output_fd,
                  const std::function<void(uint64_t)>& consumed, const std::string& name) {
  // The sink outlives the writer: freeing a writer left open by a throw flushes into it.
  FileOutput sink(output_fd);
  ArchiveWriter writer(archive_write_new());
  if (archive_write_set_format_raw(writer.get()) != ARCHIVE_OK) {
    FailWriting(writer.get(), sink, name + ": cannot compress",
                std::make_error_code(std::errc::io_error));
  }
  sink.Open(writer.get(), PayloadCompression::kGzip);
  // The raw format writes one entry's data and nothing else: the gzip stream is exactly the
  // payload's bytes, compressed.
  ArchiveEntry entry(archive_entry_new());
  archive_entry_set_filetype(entry.get(), AE_IFREG);
  archive_entry_set_pathname(entry.get(), "payload");
  if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK) {
    FailWriting(writer.get(), sink, name + ": cannot compress",
                std::make_error_code(std::errc::io_error));
  }
  std::vector<char> buffer(static_cast<size_t>(std::min(payload.length, kChunk)));
  uint64_t done = 0;
  while (done < payload.length) {
    const size_t wanted = static_cast<size_t>(std::min(payload.length - done, kChunk));
    const size_t count = ReadPayload(payload, done, buffer.data(), wanted, name);
    if (archive_write_data(writer.get(), buffer.data(), count) < 0) {
      FailWriting(writer.get(), sink, name + ": cannot compress",
                  std::make_error_code(std::errc::io_error));
    }
    done += count;
    if (consumed) consumed(done);
  }
  if (archive_write_close(writer.get()) != ARCHIVE_OK) {
    FailWriting(writer.get(), sink, name + ": cannot compress",
                std::make_error_code(std::errc::io_error));
  }
  return sink.written();
}

uint64_t Decompress(const ImagePayload& payload, int output_fd,
                    const std::function<void(uint64_t)>& consumed, const std::string& name) {
  PayloadInput input(payload);  // outlives the reader, which may still call it when freed
  ArchiveReader reader(archive_read_new());
  archive_read_support_filter_gzip(reader.get());
  archive_read_support_format_raw(reader.get());
  input.Open(reader.get(), name);
  archive_entry* entry = nullptr;
  if (archive_read_next_header(reader.get(), &entry) != ARCHIVE_OK) {
    FailReading(reader.get(), input, name + ": cannot decompress the payload");
  }
  // The raw reader passes anything through; a payload said to be compressed must be.
  if (archive_filter_code(reader.get(), 0) != ARCHIVE_FILTER_GZIP) {
    Fail(ImageErrc::kCorrupt, name + ": the payload is not gzip-compressed");
  }
  std::vector<char> buffer(kChunk);
  uint64_t written = 0;
  for (;;) {
    const la_ssize_t count = archive_read_data(reader.get(), buffer.data(), buffer.size());
    if (count < 0) FailReading(reader.get(), input, name + ": cannot decompress the payload");
    if (count == 0) break;
    WriteAll(output_fd, buffer.data(), static_cast<size_t>(count), name);
    written += static_cast<uint64_t>(count);
    if (consumed) consumed(input.consumed());
  }
  return written;
}

}  // namespace

uint64_t CopyPayload(const ImagePayload& payload, int output_fd, PayloadCompression compression,
                     const std::function<void(uint64_t)>& consumed, const std::string& name) {
  if (!payload.file) {
    Fail(std::make_error_code(std::errc::invalid_argument), name + ": the payload has no file");
  }
  if (payload.compression == compression) return CopyBytes(payload, output_fd, consumed, name);
  if (compression == PayloadCompression::kGzip) {
    return Compress(payload, output_fd, consumed, name);
  }
  return Decompress(payload, output_fd, consumed, name);
}

}  // namespace sim::image_internal
