#include "core/foundation/cf_file_data.h"

#include <fcntl.h>
#include <sys/uio.h>

#include <atomic>
#include <climits>
#include <memory>
#include <new>

#include "core/foundation/file.h"
#include "platform/posix/posix_error.h"

namespace mcom::cf {
namespace {

std::atomic<FileDataReadHook> read_hook{nullptr};

}  // namespace

void SetFileDataReadHookForTesting(FileDataReadHook hook) { read_hook.store(hook); }

Ref<Data> CreateDataFromFile(const FilePath& path) {
  // Read-only, and without waiting: opening a FIFO for reading would otherwise block until
  // some writer comes along. Anything but a regular file is refused right after.
  const File file(
      RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
  if (!file) return nullptr;
  Result<FileStatus> status = StatusOf(file);
  if (!status || status->kind != FileKind::kRegular) return nullptr;
  const uint64_t size = status->size;
  if (size > static_cast<uint64_t>(SSIZE_MAX) - 1) return nullptr;

  std::unique_ptr<uint8_t[]> bytes;
  if (size > 0) {
    bytes.reset(new (std::nothrow) uint8_t[size]);
    if (!bytes) return nullptr;
  }

  if (const FileDataReadHook hook = read_hook.load()) hook(path);

  // One read that asks for one byte more than the size: exactly the size means the file is
  // what its status said; one more byte means it grew since, fewer means it shrank.
  uint8_t beyond;
  iovec parts[2] = {{bytes.get(), static_cast<size_t>(size)}, {&beyond, 1}};
  const ssize_t count = RetryOnInterrupt([&] { return ::readv(file.get(), parts, 2); });
  if (count < 0 || static_cast<uint64_t>(count) != size) return nullptr;

  Ref<Data> data = Data::CreateWithBytesNoCopy(
      bytes.get(), size, [](const void* owned) { delete[] static_cast<const uint8_t*>(owned); });
  // The data object frees the bytes from now on.
  (void)bytes.release();
  return data;
}

}  // namespace mcom::cf
