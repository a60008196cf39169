#include "app/cli/tool_output_capture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <iostream>

namespace {

void FlushStandardStreams() {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
}

}  // namespace

std::unique_ptr<ToolOutputCapture> ToolOutputCapture::Start() {
  const int file = ::memfd_create("dorvane-tool-output", MFD_CLOEXEC);
  if (file < 0) return nullptr;
  const int saved_out = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  const int saved_err = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  FlushStandardStreams();
  if (saved_out < 0 || saved_err < 0 || ::dup2(file, STDOUT_FILENO) < 0 ||
      ::dup2(file, STDERR_FILENO) < 0) {
    if (saved_out >= 0) ::dup2(saved_out, STDOUT_FILENO);
    if (saved_err >= 0) ::dup2(saved_err, STDERR_FILENO);
    for (int fd : {file, saved_out, saved_err}) {
      if (fd >= 0) ::close(fd);
    }
    return nullptr;
  }
  return std::unique_ptr<ToolOutputCapture>(new ToolOutputCapture(file, saved_out, saved_err));
}

ToolOutputCapture::~ToolOutputCapture() {
  FlushStandardStreams();
  ::dup2(saved_out_, STDOUT_FILENO);
  ::dup2(saved_err_, STDERR_FILENO);
  ::close(saved_out_);
  ::close(saved_err_);
  ::close(file_);
}

std::string ToolOutputCapture::Contents(size_t limit) const {
  FlushStandardStreams();
  struct stat status {};
  if (::fstat(file_, &status) != 0) return {};
  const off_t size = status.st_size;
  off_t offset = size > static_cast<off_t>(limit) ? size - static_cast<off_t>(limit) : 0;
  std::string text;
  char buffer[8192];
  while (offset < size) {
    const ssize_t count = ::pread(file_, buffer, sizeof buffer, offset);
    if (count <= 0) break;
    text.append(buffer, static_cast<size_t>(count));
    offset += count;
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}
