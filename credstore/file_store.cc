#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/secure_zero_internal.h"
#include "core/base64_internal.h"
#include "credstore/file_store_internal.h"
#include "norvale/nv_credstore.h"

namespace norvale::credstore {
namespace {

std::mutex g_file_mutex;

/// Secrets leave no copy behind in the record list.
struct RecordList {
  std::vector<FileRecord> records;
  ~RecordList() {
    for (FileRecord& r : records) secure_zero(r.secret_base64);
  }
};

std::string home_directory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
    return found->pw_dir;
  }
  return "/tmp";
}

/// Tabs and line feeds would break the line format, so such names cannot be stored.
bool storable_name(const char* text) { return std::strpbrk(text, "\t\n") == nullptr; }

bool make_parent_directories(const std::string& path) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    const std::string dir = path.substr(0, pos);
    struct stat st{};
    if (::stat(dir.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return false;
      continue;
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool write_all_once(int fd, const std::string& line) {
  const ssize_t written = ::write(fd, line.data(), line.size());
  return written == static_cast<ssize_t>(line.size());
}

}  // namespace

std::string credential_file_path() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string base =
      xdg != nullptr && xdg[0] != '\0' ? std::string(xdg) : home_directory() + "/.config";
  return base + "/norvale/credstore";
}

bool load_records(const std::string& path, std::vector<FileRecord>* records) {
  records->clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  std::string content;
  char chunk[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    content.append(chunk, static_cast<size_t>(n));
  }
  secure_zero(chunk, sizeof(chunk));
  ::close(fd);
  if (ok) {
    size_t start = 0;
    while (start < content.size()) {
      size_t end = content.find('\n', start);
      if (end == std::string::npos) end = content.size();
      const std::string_view line(content.data() + start, end - start);
      start = end + 1;
      const size_t tab1 = line.find('\t');
      const size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
      if (line.empty() || tab2 == std::string_view::npos) continue;
      records->push_back(FileRecord{std::string(line.substr(0, tab1)),
                                    std::string(line.substr(tab1 + 1, tab2 - tab1 - 1)),
                                    std::string(line.substr(tab2 + 1))});
    }
  }
  secure_zero(content);
  return ok;
}

bool save_records(const std::string& path, const std::vector<FileRecord>& records) {
  if (!make_parent_directories(path)) return false;
  const std::string tmp = path + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  for (const FileRecord& r : records) {
    std::string line = r.account + '\t' + r.key + '\t' + r.secret_base64 + '\n';
    const bool written = write_all_once(fd, line);
    secure_zero(line);
    if (!written) {
      ::close(fd);
      ::unlink(tmp.c_str());
      return false;
    }
  }
  const bool synced = ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!synced || !closed || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  ::chmod(path.c_str(), 0600);
  return true;
}

int file_set(const char* account, const char* key, const char* secret) {
  if (!storable_name(account) || !storable_name(key)) return NV_CREDSTORE_ERROR;
  std::lock_guard<std::mutex> lock(g_file_mutex);
  const std::string path = credential_file_path();
  RecordList list;
  if (!load_records(path, &list.records)) return NV_CREDSTORE_ERROR;
  std::string encoded = base64_encode(secret);
  bool replaced = false;
  for (FileRecord& r : list.records) {
    if (r.account == account && r.key == key) {
      secure_zero(r.secret_base64);
      r.secret_base64 = encoded;
      replaced = true;
      break;
    }
  }
  if (!replaced) list.records.push_back(FileRecord{account, key, encoded});
  secure_zero(encoded);
  return save_records(path, list.records) ? NV_CREDSTORE_OK : NV_CREDSTORE_ERROR;
}

int file_get(const char* account, const char* key, char** out) {
  std::lock_guard<std::mutex> lock(g_file_mutex);
  RecordList list;
  if (!load_records(credential_file_path(), &list.records)) return NV_CREDSTORE_ERROR;
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
  std::lock_guard<std::mutex> lock(g_file_mutex);
  const std::string path = credential_file_path();
  RecordList list;
  if (!load_records(path, &list.records)) return NV_CREDSTORE_ERROR;
  const size_t before = list.records.size();
  std::erase_if(list.records, [&](FileRecord& r) {
    if (r.account != account || r.key != key) return false;
    secure_zero(r.secret_base64);
    return true;
  });
  if (list.records.size() == before) return NV_CREDSTORE_NOT_FOUND;
  return save_records(path, list.records) ? NV_CREDSTORE_OK : NV_CREDSTORE_ERROR;
}

}  // namespace norvale::credstore
