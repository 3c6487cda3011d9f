#include "tools/nvsql/interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace nvsql {
namespace {

int g_write_fd = -1;

extern "C" void on_sigint(int) {
  const int saved = errno;
  const char byte = 1;
  // Non-blocking: a full pipe already says "interrupted".
  [[maybe_unused]] const ssize_t n = write(g_write_fd, &byte, 1);
  errno = saved;
}

}  // namespace

Interrupts* Interrupts::install() {
  static Interrupts* instance = [] () -> Interrupts* {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
    g_write_fd = fds[1];
    struct sigaction action {};
    action.sa_handler = on_sigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a read at the prompt returns with EINTR
    if (sigaction(SIGINT, &action, nullptr) != 0) return nullptr;
    auto* made = new Interrupts;  // lives until the process ends, as the handler does
    made->read_fd_ = fds[0];
    return made;
  }();
  return instance;
}

bool Interrupts::take() {
  bool any = false;
  char buf[64];
  while (read(read_fd_, buf, sizeof buf) > 0) any = true;
  return any;
}

}  // namespace nvsql
