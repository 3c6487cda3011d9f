// Notices that the client of a request went away while the request's work runs, so that the
// service stops DuckDB's work for a client that no longer waits for it. The client of a query
// goes away when it cancels (the driver cancels by closing the transfer), and that of an ingest
// when its upload is cut.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace nv_localsvc {

/// Watches the socket of one request on a thread of its own. Once the peer has closed or reset
/// its end, `on_gone` is called, and called again every 50 ms until the watch stops: an
/// interrupt that lands between two DuckDB statements, or before one starts, is not lost. Stops
/// on destruction (or stop()).
class DisconnectWatch {
 public:
  DisconnectWatch(int local_port, int remote_port, std::function<void()> on_gone);
  ~DisconnectWatch() { stop(); }
  DisconnectWatch(const DisconnectWatch&) = delete;
  DisconnectWatch& operator=(const DisconnectWatch&) = delete;

  /// Ends the watch at once; `on_gone` is not called after it returns.
  void stop();
  /// True once `on_gone` was called.
  bool fired() const { return fired_.load(); }
  /// True when the peer has gone, asked now rather than when the watch thread next looks.
  bool gone() const;

 private:
  void run();

  std::function<void()> on_gone_;
  std::atomic<bool> fired_{false};
  int socket_fd_ = -1;
  int wake_fd_ = -1;  // an eventfd that ends the watch
  std::thread thread_;
};

/// Calls `fn(fd, local_port, remote_port)` for every connected socket of the process.
void for_each_connected_socket(const std::function<void(int fd, int local, int remote)>& fn);

/// The descriptor of this process's TCP connection between the two ports, or -1.
int connection_fd(int local_port, int remote_port);

}  // namespace nv_localsvc
