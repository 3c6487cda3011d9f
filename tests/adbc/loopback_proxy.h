// A minimal forwarding HTTP proxy on loopback for tests: one request per client connection,
// forwarded with "Connection: close" to the host named in the absolute request URI. It records
// each request line and Proxy-Authorization header.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_socket.h"
#include "util/strings_internal.h"

namespace nv_test {

class LoopbackProxy {
 public:
  LoopbackProxy() {
    const LoopbackListener listener = listen_on_loopback(16);
    if (listener.fd < 0) return;
    listen_fd_ = listener.fd;
    port_ = listener.port;
    acceptor_ = std::thread([this] { accept_loop(); });
  }

  ~LoopbackProxy() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& t : workers_) t.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
  }

  LoopbackProxy(const LoopbackProxy&) = delete;
  LoopbackProxy& operator=(const LoopbackProxy&) = delete;

  bool ok() const { return port_ != 0; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  std::vector<std::string> request_lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return request_lines_;
  }
  std::vector<std::string> proxy_authorizations() {
    std::lock_guard<std::mutex> lock(mutex_);
    return proxy_authorizations_;
  }

 private:
  void accept_loop() {
    while (!stop_) {
      pollfd p{listen_fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      workers_.emplace_back([this, client] {
        serve(client);
        ::close(client);
      });
    }
  }

  /// Appends what the peer sends next; false once it closed or sent nothing for 10 seconds.
  static bool read_some(int fd, std::string* buf) {
    char chunk[8192];
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return false;
    const ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
    if (n <= 0) return false;
    buf->append(chunk, static_cast<size_t>(n));
    return true;
  }

  void serve(int client) {
    std::string in;
    size_t head_end;
    while ((head_end = in.find("\r\n\r\n")) == std::string::npos) {
      if (!read_some(client, &in)) return;
    }
    const std::string head = in.substr(0, head_end + 2);
    size_t content_length = 0;
    std::string forwarded_headers;
    std::string proxy_auth;
    size_t line_end = head.find("\r\n");
    const std::string request_line = head.substr(0, line_end);
    for (size_t pos = line_end + 2; pos < head.size();) {
      const size_t end = head.find("\r\n", pos);
      const std::string line = head.substr(pos, end - pos);
      pos = end + 2;
      const std::string name = norvale::ascii_lower(line.substr(0, line.find(':')));
      const std::string value = line.substr(std::min(line.size(), line.find(':') + 2));
      if (name == "content-length") content_length = std::strtoul(value.c_str(), nullptr, 10);
      if (name == "proxy-authorization") proxy_auth = value;
      if (name == "proxy-authorization" || name == "proxy-connection" || name == "connection") {
        continue;
      }
      forwarded_headers += line + "\r\n";
    }
    while (in.size() < head_end + 4 + content_length) {
      if (!read_some(client, &in)) return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request_lines_.push_back(request_line);
      proxy_authorizations_.push_back(proxy_auth);
    }
    // "METHOD http://host:port/path HTTP/1.1"
    const size_t sp1 = request_line.find(' ');
    const size_t sp2 = request_line.rfind(' ');
    const std::string uri = request_line.substr(sp1 + 1, sp2 - sp1 - 1);
    const size_t host_start = uri.find("://") + 3;
    const size_t path_start = uri.find('/', host_start);
    const std::string authority = uri.substr(host_start, path_start - host_start);
    const std::string path = path_start == std::string::npos ? "/" : uri.substr(path_start);
    const int port = std::atoi(authority.substr(authority.rfind(':') + 1).c_str());

    const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (upstream < 0 ||
        ::connect(upstream, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      send_all(client,
               "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      if (upstream >= 0) ::close(upstream);
      return;
    }
    const std::string out = request_line.substr(0, sp1) + " " + path +
                            request_line.substr(sp2) + "\r\n" + forwarded_headers +
                            "Connection: close\r\n\r\n" + in.substr(head_end + 4);
    std::string response;
    if (send_all(upstream, out)) {
      while (read_some(upstream, &response)) {
      }
    }
    ::close(upstream);
    send_all(client, response);
  }

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::vector<std::string> request_lines_;
  std::vector<std::string> proxy_authorizations_;
};

}  // namespace nv_test
