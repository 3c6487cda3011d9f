#include "support/child_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace nv_test {

std::string run_self(const std::vector<std::string>& args, int* exit_status,
                     const ChildInput& input) {
  if (exit_status != nullptr) *exit_status = -1;
  std::string self = "/proc/self/exe";
  std::vector<std::string> owned = args;
  std::vector<char*> argv = {self.data()};
  for (std::string& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text = input.env;
  for (char** e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  int in[2], out[2];
  if (pipe(in) != 0) return {};
  if (pipe(out) != 0) {
    close(in[0]);
    close(in[1]);
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    return {};
  }
  // Small inputs only: the whole text fits the pipe before the child reads any of it.
  const std::string& text = input.stdin_text;
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = write(in[1], text.data() + at, text.size() - at);
    if (n <= 0) break;
    at += static_cast<size_t>(n);
  }
  close(in[1]);
  std::string output;
  char buf[4096];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) output.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (exit_status != nullptr && WIFEXITED(status)) *exit_status = WEXITSTATUS(status);
  return output;
}

}  // namespace nv_test
