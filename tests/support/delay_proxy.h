// A SOCKS5 proxy on loopback that stands in for a wide-area link between the driver and the
// local service. Every piece of data it relays waits half the round-trip time before it is
// passed on, in each direction, and opening a connection to the service costs one round trip
// (the TCP handshake) before the client hears that it is connected; the link's bandwidth is
// not limited. It can also record what each client connection sends, for tests that look at
// the requests on the wire. Only loopback destinations are served.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nv_test {

class DelayProxy {
 public:
  /// Starts listening on a free loopback port; ok() tells whether it does.
  explicit DelayProxy(std::chrono::microseconds rtt, bool record = false);
  ~DelayProxy();
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  bool ok() const { return port_ != 0; }
  /// The proxy URL for libcurl (names are resolved by the proxy).
  std::string url() const;
  std::chrono::microseconds rtt() const { return rtt_; }

  /// Connections relayed so far.
  int connections() const { return connections_.load(); }

  /// What one client connection sent (recorded only when asked for at construction).
  struct Recorded {
    int upstream_port = 0;
    std::string sent;
  };
  std::vector<Recorded> recorded() const;

 private:
  struct Session;
  void accept_loop();
  void serve(int client);

  std::chrono::microseconds rtt_;
  bool record_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<std::thread> sessions_;
  std::vector<std::shared_ptr<Recorded>> recorded_;
};

}  // namespace nv_test
