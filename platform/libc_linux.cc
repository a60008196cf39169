#ifndef __linux__
#error "This file implements the C library gaps for Linux only."
#endif

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <sstream>

#include "platform/libc.h"

namespace platform {
namespace {

std::error_code LastError() { return std::error_code(errno, std::generic_category()); }

// readlink of a /proc link, without the " (deleted)" that Linux appends once the target is
// gone: the Mac reports the path a descriptor or process was opened with.
std::error_code ReadProcLink(const std::string& link, std::string* path) {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
  if (length < 0) return LastError();
  if (static_cast<size_t>(length) == sizeof buffer)
    return std::make_error_code(std::errc::filename_too_long);
  std::string target(buffer, static_cast<size_t>(length));
  constexpr std::string_view kDeleted = " (deleted)";
  if (target.size() > kDeleted.size() && target.ends_with(kDeleted)) {
    target.resize(target.size() - kDeleted.size());
  }
  *path = std::move(target);
  return {};
}

}  // namespace

std::error_code PathOfDescriptor(int fd, std::string* path) {
  if (fd < 0) return std::make_error_code(std::errc::bad_file_descriptor);
  return ReadProcLink("/proc/self/fd/" + std::to_string(fd), path);
}

std::error_code ExecutablePathOfProcess(pid_t pid, std::string* path) {
  if (pid < 1) return std::make_error_code(std::errc::invalid_argument);
  std::error_code error = ReadProcLink("/proc/" + std::to_string(pid) + "/exe", path);
  // A process that has exited (or never existed) is ESRCH on the Mac, not ENOENT.
  if (error == std::errc::no_such_file_or_directory) {
    return std::make_error_code(std::errc::no_such_process);
  }
  return error;
}

std::error_code ChildProcesses(pid_t pid, std::vector<pid_t>* children) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return LastError();
  children->clear();
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long candidate = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    std::ifstream stat_file("/proc/" + std::string(entry->d_name) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
    // The parent id is the second field after the command name, which may itself hold
    // spaces and parentheses: start after the last ')'.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    long parent = 0;
    if (fields >> state >> parent && parent == pid)
      children->push_back(static_cast<pid_t>(candidate));
  }
  ::closedir(proc);
  return {};
}

std::error_code CreateCloseOnExecPipe(int ends[2]) {
  if (::pipe2(ends, O_CLOEXEC) != 0) return LastError();
  return {};
}

std::error_code MakePath(const char* path, mode_t mode) {
  std::string partial;
  std::string_view rest(path);
  if (rest.empty()) return std::make_error_code(std::errc::no_such_file_or_directory);
  // Make each prefix ending before a "/", then the whole path.
  for (size_t slash = rest.find('/', 1);; slash = rest.find('/', slash + 1)) {
    const std::string prefix(rest.substr(0, slash));
    if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) return LastError();
    if (slash == std::string_view::npos) break;
  }
  struct stat info {};
  if (::stat(path, &info) != 0) return LastError();
  if (!S_ISDIR(info.st_mode)) return std::make_error_code(std::errc::file_exists);
  return {};
}

}  // namespace platform
