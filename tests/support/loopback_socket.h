// Plain TCP sockets on loopback for the test servers and proxies.
#pragma once

#include <cstddef>
#include <string>

namespace nv_test {

/// A listening TCP socket on a free loopback port: its descriptor (-1 on failure) and port.
struct LoopbackListener {
  int fd = -1;
  int port = 0;
};
LoopbackListener listen_on_loopback(int backlog);

/// Sends all of `data`; false once the peer is gone.
bool send_all(int fd, const char* data, size_t len);
inline bool send_all(int fd, const std::string& data) {
  return send_all(fd, data.data(), data.size());
}

}  // namespace nv_test
