#include "tests/support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace testing {

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& input) {
  ProgramResult result;
  int output_pipe[2];
  int input_pipe[2];
  if (::pipe2(output_pipe, O_CLOEXEC) != 0) return result;
  if (::pipe2(input_pipe, O_CLOEXEC) != 0) {
    ::close(output_pipe[0]);
    ::close(output_pipe[1]);
    return result;
  }
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, input_pipe[0], 0);
  ::posix_spawn_file_actions_adddup2(&actions, output_pipe[1], 1);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(input_pipe[0]);
  ::close(output_pipe[1]);
  if (spawned != 0) {
    ::close(input_pipe[1]);
    ::close(output_pipe[0]);
    return result;
  }

  // Feed the input and collect the output together, so that neither side can fill a pipe
  // and stall the other.
  ::signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  int input_fd = input_pipe[1];
  if (input.empty()) {
    ::close(input_fd);
    input_fd = -1;
  }
  for (;;) {
    pollfd fds[2] = {{output_pipe[0], POLLIN, 0}, {input_fd, POLLOUT, 0}};
    if (::poll(fds, input_fd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (input_fd >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t count = ::write(input_fd, input.data() + written, input.size() - written);
      if (count > 0) written += static_cast<size_t>(count);
      if (count < 0 || written == input.size()) {
        ::close(input_fd);
        input_fd = -1;
      }
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[4096];
      const ssize_t count = ::read(output_pipe[0], buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      result.output.append(buffer, static_cast<size_t>(count));
    }
  }
  if (input_fd >= 0) ::close(input_fd);
  ::close(output_pipe[0]);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace testing
