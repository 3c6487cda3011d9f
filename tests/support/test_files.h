// Small file helpers for tests.
#pragma once

#include <string>

namespace nv_test {

/// The whole content of a file, or "" when it cannot be read.
std::string read_file(const std::string& path);

/// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace nv_test
