#include "sim/launcher/launcher_log.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/foundation/system_path.h"

namespace sim::launcher {
namespace {

void Write(std::string_view level, std::string_view message) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  ::gmtime_r(&now.tv_sec, &parts);
  char prefix[128];
  std::snprintf(prefix, sizeof prefix,
                "%04d-%02d-%02d %02d:%02d:%02d.%06ld+0000 localhost launchd[%d] (/sbin/launchd) ",
                parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min,
                parts.tm_sec, now.tv_nsec / 1000, static_cast<int>(::getpid()));
  std::string line = prefix;
  line.append("<").append(level).append(">: ");
  // A record is one line; its continuation lines start with a tab.
  for (const char c : message) {
    if (c == '\n') {
      line.append("\n\t");
    } else {
      line.push_back(c);
    }
  }
  line.push_back('\n');
  const int fd = ::open(mcom::SystemPath("/private/var/log/system.log").c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
}

}  // namespace

void LogDefault(std::string_view message) { Write("Default", message); }

void LogError(std::string_view message) { Write("Error", message); }

}  // namespace sim::launcher
