#include "sim/machine/atomic_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/foundation/file.h"
#include "core/foundation/scope_guard.h"
#include "platform/posix/posix_error.h"

namespace sim {

std::error_code WriteFileAtomically(const mcom::FilePath& path, std::string_view bytes,
                                    mode_t mode) {
  std::string name = ".";
  name += path.LastComponent();
  name += ".XXXXXX";
  std::string temporary = path.Parent().Join(name).string();
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return mcom::LastError();
  mcom::File file(fd);
  mcom::ScopeExit remove_temporary([&] { ::unlink(temporary.c_str()); });

  if (::fchmod(file.get(), mode) != 0) return mcom::LastError();
  if (std::error_code error = file.WriteAll(bytes.data(), bytes.size())) return error;
  if (mcom::RetryOnInterrupt([&] { return ::fsync(file.get()); }) != 0) {
    return mcom::LastError();
  }
  if (std::error_code error = file.Close()) return error;
  if (::rename(temporary.c_str(), path.c_str()) != 0) return mcom::LastError();
  remove_temporary.Dismiss();
  return {};
}

}  // namespace sim
