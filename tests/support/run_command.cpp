#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "sandbox_process.h"

extern char** environ;

namespace taviksms::testing {

namespace {

std::vector<std::string> merged_environment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& x : extra) replaced = replaced || x.substr(0, x.find('=')) == name;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

}  // namespace

RunResult run_command(const std::vector<std::string>& argv, const std::string& stdin_text,
                      std::chrono::milliseconds timeout,
                      const std::vector<std::string>& extra_env) {
  if (argv.empty()) throw std::invalid_argument("run_command: empty argv");
  int in_pipe[2], out_pipe[2], err_pipe[2], exec_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
      pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(exec_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("run_command: pipe failed");
  }
  // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_strings = merged_environment(extra_env);
  std::vector<char*> env;
  for (auto& e : env_strings) env.push_back(e.data());
  env.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("run_command: fork failed");
  if (pid == 0) {
    setpgid(0, 0);
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvpe(args[0], args.data(), env.data());
    int e = errno;
    [[maybe_unused]] auto w = write(exec_pipe[1], &e, sizeof e);
    _exit(127);
  }
  setpgid(pid, pid);
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  close(exec_pipe[1]);
  int exec_errno = 0;
  if (read(exec_pipe[0], &exec_errno, sizeof exec_errno) == sizeof exec_errno) {
    close(exec_pipe[0]);
    close(in_pipe[1]);
    close(out_pipe[0]);
    close(err_pipe[0]);
    waitpid(pid, nullptr, 0);
    throw std::runtime_error("run_command: cannot run " + argv[0] + ": " +
                             std::strerror(exec_errno));
  }
  close(exec_pipe[0]);

  RunResult result;
  int in_fd = in_pipe[1];
  fcntl(in_fd, F_SETFL, O_NONBLOCK);
  std::size_t written = 0;
  if (stdin_text.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  int out_fd = out_pipe[0], err_fd = err_pipe[0];
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out_fd >= 0 || err_fd >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      kill(-pid, SIGKILL);
      break;
    }
    pollfd fds[3];
    nfds_t n = 0;
    if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    int rc = poll(fds, n, static_cast<int>(std::min<long long>(left.count(), 200)));
    if (rc < 0 && errno != EINTR) break;
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_fd) {
        ssize_t w = write(in_fd, stdin_text.data() + written, stdin_text.size() - written);
        if (w > 0) written += static_cast<std::size_t>(w);
        if (w < 0 && errno != EAGAIN && errno != EINTR) written = stdin_text.size();
        if (written >= stdin_text.size()) {
          close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      char buf[8192];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        (fds[i].fd == out_fd ? result.out : result.err).append(buf, static_cast<std::size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        int& fd = fds[i].fd == out_fd ? out_fd : err_fd;
        close(fd);
        fd = -1;
      }
    }
  }
  for (int fd : {in_fd, out_fd, err_fd}) {
    if (fd >= 0) close(fd);
  }
  // The outputs are closed; the process itself must still end within the time limit.
  int status = 0;
  while (true) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (w < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timed_out = true;
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(5000);
  }
  // A finished leader may leave helpers (ssh under sftp) behind in its group.
  kill(-pid, SIGKILL);
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exit_code = 128 + WTERMSIG(status);
  }
  return result;
}

}  // namespace taviksms::testing
