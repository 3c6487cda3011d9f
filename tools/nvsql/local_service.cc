#include "tools/nvsql/local_service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include <nlohmann/json.hpp>

namespace nvsql {
namespace {

std::string random_hex(size_t n) {
  std::random_device rd;
  std::string out;
  static const char* digits = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) out.push_back(digits[rd() % 16]);
  return out;
}

// Reads one line from `fd`, waiting at most until `deadline`. False on end of file or time-out.
bool read_line(int fd, std::chrono::steady_clock::time_point deadline, std::string* line) {
  char c = 0;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    line->push_back(c);
  }
}

}  // namespace

LocalService::~LocalService() {
  if (stdout_fd_ >= 0) close(stdout_fd_);
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

std::unique_ptr<LocalService> LocalService::start(const std::string& program, std::string* err) {
  std::unique_ptr<LocalService> svc(new LocalService);
  svc->password_ = random_hex(24);
  const std::string user_arg = svc->user_ + ":" + svc->password_;
  std::vector<std::string> args = {program, "--port", "0", "--seed", "demo", "--user", user_arg};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *err = std::string("pipe: ") + std::strerror(errno);
    return nullptr;
  }
  // Everything the child needs is prepared before fork: it only makes async-signal-safe calls.
  const bool quiet = getenv("NVSQL_LOCALSVC_LOG") == nullptr;
  int errors[2];  // reports a failed exec to the parent
  if (pipe2(errors, O_CLOEXEC) != 0) {
    *err = std::string("pipe: ") + std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return nullptr;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // A process group of its own: Ctrl-C at the terminal is for nvsql (the shell cancels a
    // statement with it), not for the service. It still ends with nvsql, however nvsql ends.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(out[1], STDOUT_FILENO);
    const int null_in = open("/dev/null", O_RDONLY);
    if (null_in > STDERR_FILENO) {
      dup2(null_in, STDIN_FILENO);
      close(null_in);
    }
    if (quiet) {
      const int null_out = open("/dev/null", O_WRONLY);
      if (null_out > STDERR_FILENO) {
        dup2(null_out, STDERR_FILENO);
        close(null_out);
      }
    }
    execvp(argv[0], argv.data());
    const int code = errno;
    [[maybe_unused]] const ssize_t n = write(errors[1], &code, sizeof code);
    _exit(127);
  }
  close(out[1]);
  close(errors[1]);
  if (pid < 0) {
    const int code = errno;
    close(out[0]);
    close(errors[0]);
    *err = "cannot start the local service " + program + ": " + std::strerror(code);
    return nullptr;
  }
  int exec_error = 0;
  const bool exec_failed = read(errors[0], &exec_error, sizeof exec_error) == sizeof exec_error;
  close(errors[0]);
  if (exec_failed) {
    close(out[0]);
    waitpid(pid, nullptr, 0);
    *err = "cannot start the local service " + program + ": " + std::strerror(exec_error);
    return nullptr;
  }
  svc->pid_ = pid;

  std::string line;
  const bool got = read_line(out[0], std::chrono::steady_clock::now() + std::chrono::seconds(60),
                             &line);
  svc->stdout_fd_ = out[0];
  if (!got) {
    *err = "the local service " + program + " did not report ready (set NVSQL_LOCALSVC_LOG=1 "
           "to see its messages)";
    return nullptr;
  }
  const auto doc = nlohmann::json::parse(line, nullptr, false);
  if (!doc.is_object() || !doc.contains("control_plane_url") ||
      !doc["control_plane_url"].is_string()) {
    *err = "unexpected start-up line from the local service: " + line;
    return nullptr;
  }
  svc->control_plane_url_ = doc["control_plane_url"].get<std::string>();
  return svc;
}

}  // namespace nvsql
