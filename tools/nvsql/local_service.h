// The local service started by nvsql --local: a child process on free loopback ports with the
// demo data, stopped when nvsql ends.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace nvsql {

class LocalService {
 public:
  ~LocalService();
  LocalService(const LocalService&) = delete;
  LocalService& operator=(const LocalService&) = delete;

  /// Starts `program` and waits (up to 60 s) for the line it prints once it listens.
  static std::unique_ptr<LocalService> start(const std::string& program, std::string* err);

  const std::string& control_plane_url() const { return control_plane_url_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }

 private:
  LocalService() = default;
  pid_t pid_ = -1;
  int stdout_fd_ = -1;  // kept open so that later output cannot kill the service
  std::string control_plane_url_;
  std::string user_ = "nvsql";
  std::string password_;
};

}  // namespace nvsql
