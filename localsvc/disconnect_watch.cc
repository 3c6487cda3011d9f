#include "localsvc/disconnect_watch.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace nv_localsvc {

namespace {

int port_of(const sockaddr_storage& ss) {
  if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(ss).sin_port);
  if (ss.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(ss).sin6_port);
  return -1;
}

constexpr short kPeerGone = POLLRDHUP | POLLHUP | POLLERR | POLLNVAL;
constexpr int kRepeatMs = 50;

}  // namespace

void for_each_connected_socket(const std::function<void(int fd, int local, int remote)>& fn) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (dirent* e = readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || fd == dirfd(dir)) continue;
    sockaddr_storage local{}, peer{};
    socklen_t ll = sizeof(local), pl = sizeof(peer);
    if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &ll) != 0) continue;
    if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &pl) != 0) continue;
    fn(static_cast<int>(fd), port_of(local), port_of(peer));
  }
  closedir(dir);
}

int connection_fd(int local_port, int remote_port) {
  int found = -1;
  for_each_connected_socket([&](int fd, int local, int remote) {
    if (found < 0 && local == local_port && remote == remote_port) found = fd;
  });
  return found;
}

DisconnectWatch::DisconnectWatch(int local_port, int remote_port, std::function<void()> on_gone)
    : on_gone_(std::move(on_gone)) {
  socket_fd_ = connection_fd(local_port, remote_port);
  wake_fd_ = eventfd(0, EFD_CLOEXEC);
  if (socket_fd_ < 0 || wake_fd_ < 0) return;  // nothing to watch: the work runs to its end
  thread_ = std::thread([this] { run(); });
}

bool DisconnectWatch::gone() const {
  if (fired()) return true;
  if (socket_fd_ < 0) return false;
  pollfd fd{socket_fd_, POLLRDHUP, 0};
  return poll(&fd, 1, 0) > 0 && (fd.revents & kPeerGone) != 0;
}

void DisconnectWatch::stop() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_fd_, &one, sizeof one);
    thread_.join();
  }
  if (wake_fd_ >= 0) close(wake_fd_);
  wake_fd_ = -1;
}

void DisconnectWatch::run() {
  // Only the end of the peer's stream is asked for: data the peer still sends stay unread
  // for the server, and do not wake the watch.
  pollfd fds[2] = {{socket_fd_, POLLRDHUP, 0}, {wake_fd_, POLLIN, 0}};
  int nfds = 2;
  int timeout_ms = -1;
  for (;;) {
    // Once the peer is gone only the wake-up is watched, with a timeout that repeats on_gone.
    const int ready = nfds == 2 ? poll(fds, 2, timeout_ms) : poll(&fds[1], 1, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (fds[1].revents & POLLIN) != 0) return;
    if (nfds == 2 && (fds[0].revents & kPeerGone) == 0) continue;
    fired_.store(true);
    on_gone_();
    nfds = 1;
    timeout_ms = kRepeatMs;
  }
}

}  // namespace nv_localsvc
