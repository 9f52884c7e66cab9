#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tests/support/run_process.h"

namespace test_support {
namespace {

void ClosePipe(int fds[2]) {
  for (int i = 0; i < 2; ++i) {
    if (fds[i] >= 0) close(fds[i]);
    fds[i] = -1;
  }
}

[[noreturn]] void ExecChild(const ProcessRequest& request, int in[2], int out[2], int err[2]) {
  dup2(in[0], STDIN_FILENO);
  dup2(out[1], STDOUT_FILENO);
  dup2(err[1], STDERR_FILENO);
  ClosePipe(in);
  ClosePipe(out);
  ClosePipe(err);
  if (!request.working_directory.empty() && chdir(request.working_directory.c_str()) != 0)
    _exit(126);
  for (const auto& [name, value] : request.environment) setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(request.program.c_str()));
  for (const std::string& arg : request.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(request.program.c_str(), argv.data());
  _exit(127);
}

}  // namespace

ProcessRun RunProcess(const ProcessRequest& request) {
  ProcessRun run;
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ClosePipe(in);
    ClosePipe(out);
    ClosePipe(err);
    return run;
  }
  pid_t child = fork();
  if (child == 0) ExecChild(request, in, out, err);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in[0] = out[1] = err[1] = -1;

  signal(SIGPIPE, SIG_IGN);
  if (!request.input.empty()) {
    ssize_t ignored = write(in[1], request.input.data(), request.input.size());
    (void)ignored;
  }
  if (request.close_input) {
    close(in[1]);
    in[1] = -1;
  }

  auto deadline = std::chrono::steady_clock::now() + request.time_limit;
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timed_out = true;
      kill(child, SIGKILL);
      break;
    }
    pollfd fds[2] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0}};
    int ready = poll(fds, 2, static_cast<int>(left.count() > 100 ? 100 : left.count()));
    if (ready < 0 && errno != EINTR) break;
    bool more = false;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(got));
        more = true;
      } else if (got == 0 || errno != EINTR) {
        (i == 0 ? out_open : err_open) = false;
      }
    }
    if (more && request.on_output) {
      int signal_number = request.on_output(run);
      if (signal_number != 0) kill(child, signal_number);
    }
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.term_signal = WTERMSIG(status);
  if (in[1] >= 0) close(in[1]);
  close(out[0]);
  close(err[0]);
  return run;
}

}  // namespace test_support
