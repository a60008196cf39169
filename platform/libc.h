#pragma once

#include <sys/types.h>

#include <string>
#include <system_error>
#include <vector>

// C library facilities that the Mac has and Linux lacks, with the Mac's results. Every
// function reports failure as an errno value in the generic category and never throws.
namespace platform {

// fcntl(fd, F_GETPATH): the current path of an open descriptor.
std::error_code PathOfDescriptor(int fd, std::string* path);

// proc_pidpath: the path of the executable a process runs. A replaced or deleted executable
// still reports the path it was started from.
std::error_code ExecutablePathOfProcess(pid_t pid, std::string* path);

// proc_listchildpids: the process ids of the children of `pid`.
std::error_code ChildProcesses(pid_t pid, std::vector<pid_t>* children);

// A pipe whose two ends are close-on-exec from the moment they exist, so that a child
// spawned by another thread never inherits them (it would hold the pipe open).
std::error_code CreateCloseOnExecPipe(int ends[2]);

// mkpath_np: makes `path` and every missing parent with `mode`; an existing directory is
// success, an existing non-directory is EEXIST (ENOTDIR for a parent).
std::error_code MakePath(const char* path, mode_t mode);

}  // namespace platform
