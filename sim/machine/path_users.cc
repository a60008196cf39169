#include "sim/machine/path_users.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace sim {
namespace {

// The target of a /proc link, or "" when it cannot be read.
std::string LinkTarget(const std::string& link) {
  std::string target(4096, '\0');
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
  if (length < 0 || static_cast<size_t>(length) >= target.size()) return {};
  target.resize(static_cast<size_t>(length));
  return target;
}

bool IsAtOrBelow(std::string_view candidate, std::string_view path) {
  if (candidate.ends_with(" (deleted)")) candidate.remove_suffix(10);
  if (!candidate.starts_with(path)) return false;
  return candidate.size() == path.size() || candidate[path.size()] == '/' || path == "/";
}

bool Uses(const std::string& process, std::string_view path) {
  if (IsAtOrBelow(LinkTarget(process + "/cwd"), path)) return true;
  if (IsAtOrBelow(LinkTarget(process + "/root"), path)) return true;
  const std::string descriptors = process + "/fd";
  DIR* folder = ::opendir(descriptors.c_str());
  if (folder == nullptr) return false;
  bool uses = false;
  while (const dirent* entry = ::readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    if (IsAtOrBelow(LinkTarget(descriptors + "/" + entry->d_name), path)) {
      uses = true;
      break;
    }
  }
  ::closedir(folder);
  return uses;
}

bool IsNumber(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
  }
  return true;
}

}  // namespace

std::vector<pid_t> ProcessesUsingPath(const mcom::FilePath& path) {
  std::string wanted = path.string();
  while (wanted.size() > 1 && wanted.ends_with('/')) wanted.pop_back();
  std::vector<pid_t> users;
  DIR* processes = ::opendir("/proc");
  if (processes == nullptr) return users;
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(processes)) {
    if (!IsNumber(entry->d_name)) continue;
    const pid_t pid = static_cast<pid_t>(std::stol(entry->d_name));
    if (pid == self) continue;
    if (Uses(std::string("/proc/") + entry->d_name, wanted)) users.push_back(pid);
  }
  ::closedir(processes);
  std::sort(users.begin(), users.end());
  return users;
}

}  // namespace sim
