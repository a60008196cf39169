#if !defined(__linux__)
#error "registry_watcher_linux.cc is the Linux disk-arbitration stand-in"
#endif

#include "platform/disk_arbitration/registry_watcher_linux.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/dispatch/source.h"
#include "platform/posix/posix_error.h"
#include "platform/posix/scoped_fd.h"
#include "sim/machine/machine_paths.h"

namespace platform::da_internal {
namespace {

constexpr const char* kRegistryFileName = "registry.plist";

// Reads every queued event; true when one of them concerns the registry file or the queue
// overflowed (so that a change may have been lost).
bool DrainEvents(int fd) {
  alignas(struct inotify_event) char buffer[8192];
  bool relevant = false;
  for (;;) {
    const ssize_t length =
        mcom::RetryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
    if (length <= 0) return relevant;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= length;) {
      struct inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      if ((event.mask & IN_Q_OVERFLOW) != 0) relevant = true;
      if (event.len > 0 &&
          std::strncmp(buffer + at + sizeof event, kRegistryFileName, event.len) == 0) {
        relevant = true;
      }
      at += static_cast<ssize_t>(sizeof event + event.len);
    }
  }
}

}  // namespace

struct RegistryWatcher::Source {
  dispatch::Source source;
};

RegistryWatcher::RegistryWatcher(std::unique_ptr<Source> source) : source_(std::move(source)) {}

RegistryWatcher::~RegistryWatcher() { source_->source.Cancel(); }

std::unique_ptr<RegistryWatcher> RegistryWatcher::Start(const mcom::FilePath& root,
                                                        const dispatch::Queue& queue,
                                                        dispatch::Work changed) {
  // The read source's handler shares the descriptor, so it stays open until the handler has
  // been released, even when the watcher is destroyed meanwhile.
  auto descriptor = std::make_shared<mcom::ScopedFD>(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!descriptor->is_valid()) return nullptr;
  const int fd = descriptor->get();
  // The machine writes the file next to itself and renames it into place.
  const uint32_t mask = IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE;
  if (::inotify_add_watch(fd, sim::StateFolder(root).c_str(), mask) < 0) return nullptr;

  auto source = std::make_unique<Source>();
  if (dispatch::CreateReadSource(fd, queue, &source->source)) return nullptr;
  source->source.SetEventHandler([descriptor, changed = std::move(changed)] {
    if (DrainEvents(descriptor->get())) changed();
  });
  source->source.Resume();
  return std::unique_ptr<RegistryWatcher>(new RegistryWatcher(std::move(source)));
}

}  // namespace platform::da_internal
