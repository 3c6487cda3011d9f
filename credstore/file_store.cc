#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "credstore/file_store_internal.h"
#include "norvale/nv_credstore.h"
#include "norvale/nv_log.h"
#include "util/base64_internal.h"
#include "util/secure_zero_internal.h"

namespace norvale::credstore {
namespace {

constexpr const char* kCategory = "auth";

/// Secrets leave no copy behind in the record list.
struct RecordList {
  std::vector<FileRecord> records;
  ~RecordList() {
    for (FileRecord& r : records) secure_zero(r.secret_base64);
  }
};

/// A file descriptor closed on every path.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  /// Closes now, reporting the result.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

arrow::Status errno_status(const std::string& what, const std::string& path) {
  return arrow::Status::IOError(what, " '", path, "': ", std::strerror(errno));
}

/// HOME, else the password database. No fallback to a shared directory: secrets never go
/// where other users can reach them.
arrow::Result<std::string> home_directory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home);
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
    return std::string(found->pw_dir);
  }
  return arrow::Status::IOError(
      "credential file: no home directory (HOME is unset and the user has no entry in the "
      "password database)");
}

/// Tabs and line feeds would break the line format, so such names cannot be stored.
bool storable_name(const char* text) { return std::strpbrk(text, "\t\n") == nullptr; }

/// A directory that holds or leads to the file must be the user's and closed to others' writes:
/// anyone who can write to it can replace the file or plant a link in it.
arrow::Status check_private_directory(const std::string& dir) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) return errno_status("credential directory", dir);
  if (!S_ISDIR(st.st_mode)) {
    return arrow::Status::IOError("credential directory '", dir,
                                  "' is not a directory (a symbolic link is refused)");
  }
  if (st.st_uid != ::geteuid()) {
    return arrow::Status::IOError("credential directory '", dir,
                                  "' is not owned by the current user");
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return arrow::Status::IOError("credential directory '", dir,
                                  "' is writable by group or others; run chmod go-w on it");
  }
  return arrow::Status::OK();
}

std::string parent_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

/// Creates what is missing of the file's directories (mode 0700), then checks the
/// configuration directory and the "norvale" directory below it.
arrow::Status prepare_directories(const std::string& path) {
  const std::string dir = parent_of(path);
  size_t pos = 0;
  do {
    pos = dir.find('/', pos + 1);
    const std::string part = dir.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      return errno_status("cannot create credential directory", part);
    }
  } while (pos != std::string::npos);
  ARROW_RETURN_NOT_OK(check_private_directory(parent_of(dir)));
  return check_private_directory(dir);
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

/// Holds the writers' lock: one read-modify-write at a time across processes (flock) and
/// threads (each holder opens its own descriptor, and flock locks are per open file).
arrow::Result<std::unique_ptr<Fd>> lock_writers(const std::string& path) {
  const std::string lock_path = path + ".lock";
  auto fd = std::make_unique<Fd>(
      ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd->get() < 0) return errno_status("cannot open credential lock file", lock_path);
  while (::flock(fd->get(), LOCK_EX) != 0) {
    if (errno != EINTR) return errno_status("cannot lock credential lock file", lock_path);
  }
  return fd;
}

void log_failure(const arrow::Status& st) {
  nv_log_emit(NV_LOG_ERROR, kCategory, "credential file: %s", st.message().c_str());
}

}  // namespace

arrow::Result<std::string> credential_file_path() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/norvale/credstore";
  ARROW_ASSIGN_OR_RAISE(std::string home, home_directory());
  return home + "/.config/norvale/credstore";
}

void parse_records(std::string_view content, std::vector<FileRecord>* records) {
  records->clear();
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    const std::string_view line = content.substr(start, end - start);
    start = end + 1;
    const size_t tab1 = line.find('\t');
    const size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
    if (line.empty() || tab2 == std::string_view::npos) continue;
    records->push_back(FileRecord{std::string(line.substr(0, tab1)),
                                  std::string(line.substr(tab1 + 1, tab2 - tab1 - 1)),
                                  std::string(line.substr(tab2 + 1))});
  }
}

arrow::Status load_records(const std::string& path, std::vector<FileRecord>* records) {
  records->clear();
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) {
    if (errno == ENOENT) return arrow::Status::OK();
    return errno_status("cannot open credential file", path);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return errno_status("cannot inspect credential file", path);
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    return arrow::Status::IOError("credential file '", path,
                                  "' is not a regular file owned by the current user");
  }
  std::string content;
  char chunk[4096];
  arrow::Status status;
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      status = errno_status("cannot read credential file", path);
      break;
    }
    if (n == 0) break;
    content.append(chunk, static_cast<size_t>(n));
  }
  secure_zero(chunk, sizeof(chunk));
  if (status.ok()) parse_records(content, records);
  secure_zero(content);
  return status;
}

arrow::Status save_records(const std::string& path, const std::vector<FileRecord>& records) {
  ARROW_RETURN_NOT_OK(prepare_directories(path));
  // A name of our own (O_EXCL: never an existing file or a planted link), so that writers
  // cannot truncate each other's temporary files.
  std::string tmp = path + ".tmp.XXXXXX";
  Fd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (fd.get() < 0) return errno_status("cannot create temporary credential file", path);
  std::string content;
  for (const FileRecord& r : records) {
    content += r.account + '\t' + r.key + '\t' + r.secret_base64 + '\n';
  }
  const bool written = write_all(fd.get(), content);
  secure_zero(content);
  arrow::Status status;
  if (!written || ::fchmod(fd.get(), 0600) != 0 || ::fsync(fd.get()) != 0) {
    status = errno_status("cannot write temporary credential file", tmp);
  } else if (!fd.Close()) {
    status = errno_status("cannot close temporary credential file", tmp);
  } else if (::rename(tmp.c_str(), path.c_str()) != 0) {
    status = errno_status("cannot replace credential file", path);
  }
  if (!status.ok()) {
    ::unlink(tmp.c_str());
    return status;
  }
  // The rename itself must reach the disk, or a crash could bring the old file back.
  Fd dir(::open(parent_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) (void)::fsync(dir.get());
  return arrow::Status::OK();
}

namespace {

template <typename Change>
int modify(Change change) {
  const auto path = credential_file_path();
  if (!path.ok()) {
    log_failure(path.status());
    return NV_CREDSTORE_ERROR;
  }
  arrow::Status st = prepare_directories(*path);
  std::unique_ptr<Fd> lock;
  if (st.ok()) {
    auto locked = lock_writers(*path);
    if (locked.ok()) {
      lock = std::move(*locked);
    } else {
      st = locked.status();
    }
  }
  RecordList list;
  if (st.ok()) st = load_records(*path, &list.records);
  if (!st.ok()) {
    log_failure(st);
    return NV_CREDSTORE_ERROR;
  }
  const int outcome = change(list.records);
  if (outcome != NV_CREDSTORE_OK) return outcome;
  st = save_records(*path, list.records);
  if (!st.ok()) {
    log_failure(st);
    return NV_CREDSTORE_ERROR;
  }
  return NV_CREDSTORE_OK;
}

}  // namespace

int file_set(const char* account, const char* key, const char* secret) {
  if (!storable_name(account) || !storable_name(key)) return NV_CREDSTORE_ERROR;
  std::string encoded = base64_encode(secret);
  const int rc = modify([&](std::vector<FileRecord>& records) {
    for (FileRecord& r : records) {
      if (r.account == account && r.key == key) {
        secure_zero(r.secret_base64);
        r.secret_base64 = encoded;
        return NV_CREDSTORE_OK;
      }
    }
    records.push_back(FileRecord{account, key, encoded});
    return NV_CREDSTORE_OK;
  });
  secure_zero(encoded);
  return rc;
}

int file_get(const char* account, const char* key, char** out) {
  const auto path = credential_file_path();
  RecordList list;
  arrow::Status st = path.status();
  if (st.ok()) {
    struct stat dir_stat {};
    const std::string dir = parent_of(*path);
    if (::lstat(dir.c_str(), &dir_stat) != 0 && errno == ENOENT) return NV_CREDSTORE_NOT_FOUND;
    st = check_private_directory(parent_of(dir));
    if (st.ok()) st = check_private_directory(dir);
  }
  // Readers need no lock: the file is only ever replaced whole, by rename.
  if (st.ok()) st = load_records(*path, &list.records);
  if (!st.ok()) {
    log_failure(st);
    return NV_CREDSTORE_ERROR;
  }
  for (const FileRecord& r : list.records) {
    if (r.account != account || r.key != key) continue;
    std::optional<std::string> secret = base64_decode_strict(r.secret_base64);
    if (!secret) return NV_CREDSTORE_ERROR;
    std::string& decoded = *secret;
    char* copy = static_cast<char*>(std::malloc(decoded.size() + 1));
    if (copy != nullptr) {
      std::memcpy(copy, decoded.data(), decoded.size());
      copy[decoded.size()] = '\0';
    }
    secure_zero(decoded);
    if (copy == nullptr) return NV_CREDSTORE_ERROR;
    *out = copy;
    return NV_CREDSTORE_OK;
  }
  return NV_CREDSTORE_NOT_FOUND;
}

int file_delete(const char* account, const char* key) {
  return modify([&](std::vector<FileRecord>& records) {
    const size_t before = records.size();
    std::erase_if(records, [&](FileRecord& r) {
      if (r.account != account || r.key != key) return false;
      secure_zero(r.secret_base64);
      return true;
    });
    return records.size() == before ? NV_CREDSTORE_NOT_FOUND : NV_CREDSTORE_OK;
  });
}

}  // namespace norvale::credstore
