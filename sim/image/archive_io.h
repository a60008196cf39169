#pragma once

// libarchive glue for payloads: owners of archive handles, a writer that appends to an
// open file, and a reader over a payload's byte range. Internal to sim/image.

#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "sim/image/image_description.h"

namespace sim::image_internal {

struct ArchiveReadFree {
  void operator()(archive* handle) const { archive_read_free(handle); }
};
struct ArchiveWriteFree {
  void operator()(archive* handle) const { archive_write_free(handle); }
};
struct ArchiveEntryFree {
  void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};
struct LinkResolverFree {
  void operator()(archive_entry_linkresolver* resolver) const {
    archive_entry_linkresolver_free(resolver);
  }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveReadFree>;
using ArchiveWriter = std::unique_ptr<archive, ArchiveWriteFree>;
using ArchiveEntry = std::unique_ptr<archive_entry, ArchiveEntryFree>;
using LinkResolver = std::unique_ptr<archive_entry_linkresolver, LinkResolverFree>;

// The text of libarchive's last error on `handle`, never null.
std::string ArchiveError(archive* handle);

// Appends everything an archive writer produces to `fd` from its current offset, counting
// the bytes. A failed write is kept in error() (the writer itself only learns that it
// failed), so the caller can report the errno rather than libarchive's words for it.
class FileOutput {
 public:
  explicit FileOutput(int fd) : fd_(fd) {}

  // Opens `writer` on this output, unblocked but for 64 KiB writes, with gzip (level 1, as
  // hdiutil's UDZO, and without a time stamp, so equal input gives equal bytes) when asked.
  // Throws when libarchive refuses.
  void Open(archive* writer, PayloadCompression compression);

  uint64_t written() const { return written_; }
  const std::error_code& error() const { return error_; }

 private:
  static la_ssize_t Write(archive* handle, void* context, const void* buffer, size_t length);

  int fd_;
  uint64_t written_ = 0;
  std::error_code error_;
};

// Reads a payload's bytes, [offset, offset + length) of its file, for an archive reader,
// counting how far it got. A failed read is kept in error(), as for FileOutput.
class PayloadInput {
 public:
  explicit PayloadInput(const ImagePayload& payload);

  // Opens `reader` on this input. Throws when libarchive refuses (a damaged payload is
  // kCorrupt, a failed read its errno).
  void Open(archive* reader, const std::string& name);

  uint64_t consumed() const { return position_; }
  const std::error_code& error() const { return error_; }

 private:
  static la_ssize_t Read(archive* handle, void* context, const void** buffer);

  const ImagePayload& payload_;
  uint64_t position_ = 0;
  std::vector<char> buffer_;
  std::error_code error_;
};

// Throws for a failed libarchive call on a payload being read: the errno of a failed read
// when there was one, kCorrupt with libarchive's text otherwise.
[[noreturn]] void FailReading(archive* reader, const PayloadInput& input, const std::string& what);

// The same for a payload being written: the errno of a failed write, else `fallback`.
[[noreturn]] void FailWriting(archive* writer, const FileOutput& output, const std::string& what,
                              std::error_code fallback);

}  // namespace sim::image_internal
