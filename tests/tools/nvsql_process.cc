#include "nvsql_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

namespace nvsql_test {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// argv and envp arrays over owned strings.
struct Exec {
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::vector<char*> argv;
  std::vector<char*> envp;

  Exec(const std::vector<std::string>& a, const std::vector<std::string>& extra) {
    args.push_back(NVSQL_PATH);
    args.insert(args.end(), a.begin(), a.end());
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.insert(env.end(), extra.begin(), extra.end());
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
  }
};

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

std::string temp_path(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/nvsql_test_" + std::to_string(getpid()) +
         "_" + name;
}

NvsqlRun run_nvsql(const std::vector<std::string>& args, const std::vector<std::string>& env,
                   const std::string& input) {
  const std::string in_path = temp_path("stdin");
  const std::string out_path = temp_path("stdout");
  const std::string err_path = temp_path("stderr");
  std::ofstream(in_path, std::ios::binary) << input;
  Exec exec(args, env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = -1;
  NvsqlRun run;
  if (posix_spawn(&pid, NVSQL_PATH, &actions, nullptr, exec.argv.data(), exec.envp.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    run.exit_code = exit_code(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = slurp(out_path);
  run.err = slurp(err_path);
  for (const auto& p : {in_path, out_path, err_path}) unlink(p.c_str());
  return run;
}

NvsqlTerminal::NvsqlTerminal(const std::vector<std::string>& args,
                             const std::vector<std::string>& env) {
  Exec exec(args, env);
  winsize size{};
  size.ws_col = 120;
  size.ws_row = 40;
  pid_ = forkpty(&fd_, nullptr, nullptr, &size);
  if (pid_ == 0) {
    execve(NVSQL_PATH, exec.argv.data(), exec.envp.data());
    _exit(127);
  }
}

NvsqlTerminal::~NvsqlTerminal() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (fd_ >= 0) close(fd_);
}

void NvsqlTerminal::type(const std::string& text) {
  for (char c : text) {  // one key at a time, as typed
    // A person does not press Ctrl-C or Ctrl-D within microseconds of a prompt: the line editor
    // switches the terminal mode right after showing it, and a ^D that arrives before that is
    // read as an empty line instead of the end of input.
    if (c != '\r' && static_cast<unsigned char>(c) < 0x20) pump(150);
    if (write(fd_, &c, 1) != 1) return;
    pump(10);
  }
}

bool NvsqlTerminal::pump(int timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char buf[4096];
  const ssize_t n = read(fd_, buf, sizeof buf);
  if (n <= 0) return false;
  shown_.append(buf, static_cast<size_t>(n));
  return true;
}

bool NvsqlTerminal::expect(const std::string& needle, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    const size_t at = shown_.find(needle, mark_);
    if (at != std::string::npos) {
      mark_ = at + needle.size();
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pump(50);
  }
}

int NvsqlTerminal::wait(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    pump(20);  // keep the terminal drained so that the program never blocks writing
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      while (pump(20)) {
      }
      return exit_code(status);
    }
  }
  return -1;
}

}  // namespace nvsql_test
