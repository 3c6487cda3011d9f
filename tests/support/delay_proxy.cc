#include "support/delay_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <optional>

#include "support/loopback_socket.h"

namespace nv_test {
namespace {

using Clock = std::chrono::steady_clock;

// Reads exactly `len` bytes within ten seconds; false when the peer goes or stays silent.
bool read_exact(int fd, unsigned char* out, size_t len) {
  while (len > 0) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return false;
    const ssize_t n = ::recv(fd, out, len, 0);
    if (n <= 0) return false;
    out += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

int connect_loopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

// The SOCKS5 greeting and CONNECT request (RFC 1928, no authentication). The destination
// port, or nothing after a refusal was sent for anything but a loopback address.
std::optional<int> socks_handshake(int client) {
  unsigned char head[2];
  if (!read_exact(client, head, 2) || head[0] != 5) return std::nullopt;
  unsigned char methods[255];
  if (!read_exact(client, methods, head[1])) return std::nullopt;
  const unsigned char no_auth[2] = {5, 0};
  if (!send_all(client, reinterpret_cast<const char*>(no_auth), 2)) return std::nullopt;

  unsigned char req[4];
  if (!read_exact(client, req, 4) || req[0] != 5) return std::nullopt;
  bool loopback = false;
  if (req[3] == 1) {
    unsigned char ip[4];
    if (!read_exact(client, ip, 4)) return std::nullopt;
    loopback = ip[0] == 127;
  } else if (req[3] == 3) {
    unsigned char len = 0;
    char name[256] = {0};
    if (!read_exact(client, &len, 1) ||
        !read_exact(client, reinterpret_cast<unsigned char*>(name), len)) {
      return std::nullopt;
    }
    const std::string host(name, len);
    loopback = host == "localhost" || host.rfind("127.", 0) == 0;
  } else if (req[3] == 4) {
    unsigned char ip[16];
    if (!read_exact(client, ip, 16)) return std::nullopt;
  } else {
    return std::nullopt;
  }
  unsigned char port[2];
  if (!read_exact(client, port, 2)) return std::nullopt;
  if (req[1] != 1 || !loopback) {
    const unsigned char refused[10] = {5, 2, 0, 1, 0, 0, 0, 0, 0, 0};
    send_all(client, reinterpret_cast<const char*>(refused), sizeof(refused));
    return std::nullopt;
  }
  return (port[0] << 8) | port[1];
}

}  // namespace

// One direction of a relayed connection: a reader that stamps what arrives, and a writer that
// passes each piece on half a round trip after it arrived.
struct DelayProxy::Session {
  struct Piece {
    Clock::time_point arrived;
    std::string bytes;  // empty: the sender closed its side
  };
  struct Direction {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Piece> pieces;
    bool done = false;
  };

  static void pump(DelayProxy* proxy, int from, int to, std::chrono::microseconds delay,
                   Recorded* record) {
    Direction dir;
    std::thread writer([&] {
      for (;;) {
        std::unique_lock<std::mutex> lock(dir.mutex);
        dir.ready.wait(lock, [&] { return !dir.pieces.empty() || dir.done; });
        if (dir.pieces.empty()) return;
        Piece piece = std::move(dir.pieces.front());
        dir.pieces.pop_front();
        lock.unlock();
        std::this_thread::sleep_until(piece.arrived + delay);
        if (piece.bytes.empty() || !send_all(to, piece.bytes.data(), piece.bytes.size())) {
          ::shutdown(to, SHUT_WR);
          return;
        }
      }
    });
    char buf[65536];
    for (;;) {
      pollfd p{from, POLLIN, 0};
      const int ready = ::poll(&p, 1, 50);
      if (proxy->stop_) break;
      if (ready <= 0) continue;
      const ssize_t n = ::recv(from, buf, sizeof(buf), 0);
      Piece piece{Clock::now(), n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string()};
      if (record != nullptr && n > 0) {
        std::lock_guard<std::mutex> lock(proxy->mutex_);
        record->sent.append(buf, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> lock(dir.mutex);
        dir.pieces.push_back(std::move(piece));
      }
      dir.ready.notify_one();
      if (n <= 0) break;
    }
    {
      std::lock_guard<std::mutex> lock(dir.mutex);
      dir.done = true;
      if (proxy->stop_) dir.pieces.clear();
    }
    dir.ready.notify_one();
    writer.join();
  }
};

DelayProxy::DelayProxy(std::chrono::microseconds rtt, bool record) : rtt_(rtt), record_(record) {
  const LoopbackListener listener = listen_on_loopback(64);
  if (listener.fd < 0) return;
  listen_fd_ = listener.fd;
  port_ = listener.port;
  acceptor_ = std::thread([this] { accept_loop(); });
}

DelayProxy::~DelayProxy() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> sessions;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions.swap(sessions_);
  }
  for (std::thread& t : sessions) t.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

std::string DelayProxy::url() const {
  return "socks5h://127.0.0.1:" + std::to_string(port_);
}

std::vector<DelayProxy::Recorded> DelayProxy::recorded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Recorded> out;
  for (const auto& r : recorded_) out.push_back(*r);
  return out;
}

void DelayProxy::accept_loop() {
  while (!stop_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.emplace_back([this, client] {
      serve(client);
      ::close(client);
    });
  }
}

void DelayProxy::serve(int client) {
  const std::optional<int> port = socks_handshake(client);
  if (!port) return;
  const int upstream = connect_loopback(*port);
  // The TCP handshake with a distant server: one round trip before the client may send.
  std::this_thread::sleep_for(rtt_);
  const unsigned char reply[10] = {5, static_cast<unsigned char>(upstream >= 0 ? 0 : 5),
                                   0, 1, 0, 0, 0, 0, 0, 0};
  if (!send_all(client, reinterpret_cast<const char*>(reply), sizeof(reply)) || upstream < 0) {
    if (upstream >= 0) ::close(upstream);
    return;
  }
  ++connections_;
  Recorded* record = nullptr;
  if (record_) {
    auto r = std::make_shared<Recorded>();
    r->upstream_port = *port;
    record = r.get();
    std::lock_guard<std::mutex> lock(mutex_);
    recorded_.push_back(std::move(r));
  }
  const auto half = rtt_ / 2;
  std::thread down([&] { Session::pump(this, upstream, client, half, nullptr); });
  Session::pump(this, client, upstream, half, record);
  down.join();
  ::close(upstream);
}

}  // namespace nv_test
