#include "tools/nvsql/local_service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

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
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (getenv("NVSQL_LOCALSVC_LOG") == nullptr) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    *err = "cannot start the local service " + program + ": " + std::strerror(rc);
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
