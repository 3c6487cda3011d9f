// The engine log: one process-wide sink (standard error or a rotating file) and level.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "diag/log_internal.h"
#include "norvale/nv_log.h"
#include "util/strings_internal.h"

namespace norvale::diag {
namespace {

enum class Sink { kStderr = 1, kFile = 2 };

constexpr size_t kMessageBuffer = 1024;
constexpr size_t kLineBuffer = 5120;
constexpr uint64_t kDefaultRotationLimit = 10485760;
constexpr int kKeptFiles = 5;

struct LogState {
  std::mutex mutex;
  std::atomic<int> level{NV_LOG_OFF};
  Sink sink = Sink::kStderr;
  int fd = -1;
  std::string path;
  uint64_t bytes_written = 0;
  uint64_t rotation_limit = kDefaultRotationLimit;
};

LogState& state() {
  static LogState* s = new LogState();  // never destroyed: threads may log during exit
  return *s;
}

const char* level_name(int level) {
  switch (level) {
    case NV_LOG_OFF: return "OFF  ";
    case NV_LOG_ERROR: return "ERROR";
    case NV_LOG_WARN: return "WARN ";
    case NV_LOG_INFO: return "INFO ";
    case NV_LOG_DEBUG: return "DEBUG";
    case NV_LOG_TRACE: return "TRACE";
    default: return "?????";
  }
}

int open_append(const char* path) { return open_private_append(path); }

// Caller holds the mutex.
void open_sink(LogState& s, const char* path) {
  if (s.fd >= 0) {
    ::close(s.fd);
    s.fd = -1;
  }
  s.path.clear();
  s.sink = Sink::kStderr;
  if (path == nullptr || path[0] == '\0') return;
  int fd = open_append(path);
  if (fd < 0) {
    std::fprintf(stderr, "nv_log: failed to open '%s' for append: %s; falling back to stderr\n",
                 path, std::strerror(errno));
    return;
  }
  s.fd = fd;
  s.sink = Sink::kFile;
  s.path = path;
  off_t end = ::lseek(fd, 0, SEEK_END);
  s.bytes_written = end > 0 ? static_cast<uint64_t>(end) : 0;
}

// Caller holds the mutex. Keeps .1 (newest) to .5 (oldest).
void rotate(LogState& s) {
  ::close(s.fd);
  s.fd = -1;
  s.sink = Sink::kStderr;
  char from[1024];
  char to[1024];
  std::snprintf(from, sizeof(from), "%s.%d", s.path.c_str(), kKeptFiles);
  ::unlink(from);
  for (int n = kKeptFiles - 1; n >= 1; --n) {
    std::snprintf(from, sizeof(from), "%s.%d", s.path.c_str(), n);
    std::snprintf(to, sizeof(to), "%s.%d", s.path.c_str(), n + 1);
    ::rename(from, to);
  }
  std::snprintf(to, sizeof(to), "%s.1", s.path.c_str());
  ::rename(s.path.c_str(), to);
  int fd = open_append(s.path.c_str());
  if (fd < 0) {
    s.path.clear();
    return;
  }
  s.fd = fd;
  s.sink = Sink::kFile;
  s.bytes_written = 0;
}

// Caller holds the mutex.
void write_line(LogState& s, int level, const char* category, const char* message) {
  char stamp[40];
  if (format_utc_timestamp(stamp, sizeof(stamp)) < 0) return;
  char line[kLineBuffer];
  int n = std::snprintf(line, sizeof(line), "%s [tid=%lu] [%s] [%s] %s\n", stamp,
                        log_thread_number(), level_name(level),
                        category != nullptr ? category : "nv", message != nullptr ? message : "");
  if (n < 0) return;
  size_t len = static_cast<size_t>(n);
  if (len >= sizeof(line)) {
    len = sizeof(line) - 1;
    line[len - 1] = '\n';
  }
  if (s.sink == Sink::kStderr) {
    std::fwrite(line, 1, len, stderr);
    std::fflush(stderr);
    s.bytes_written += len;
    return;
  }
  ssize_t written;
  do {
    written = ::write(s.fd, line, len);
  } while (written < 0 && errno == EINTR);
  if (written <= 0) return;
  s.bytes_written += static_cast<uint64_t>(written);
  if (s.rotation_limit != 0 && s.bytes_written >= s.rotation_limit && !s.path.empty()) rotate(s);
}

int parse_env_level(const char* text) {
  if (text == nullptr || text[0] == '\0') return NV_LOG_OFF;
  if (text[0] >= '0' && text[0] <= '9') {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*end != '\0' || v < 0 || v > 5) return NV_LOG_OFF;
    return static_cast<int>(v);
  }
  const std::string upper = ascii_upper(text);
  static const char* kNames[] = {"OFF", "ERROR", "WARN", "INFO", "DEBUG", "TRACE"};
  for (int i = 0; i < 6; ++i) {
    if (upper == kNames[i]) return i;
  }
  return NV_LOG_OFF;
}

}  // namespace

unsigned long log_thread_number() {
  thread_local unsigned long number =
      static_cast<unsigned long>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
  return number;
}

FormattedText::FormattedText(char* stack, size_t size, const char* fmt, va_list args) {
  va_list again;
  va_copy(again, args);
  int needed = std::vsnprintf(stack, size, fmt, args);
  if (needed >= 0 && static_cast<size_t>(needed) < size) {
    text_ = stack;
    length_ = static_cast<size_t>(needed);
  } else if (needed >= 0) {
    heap_ = static_cast<char*>(std::malloc(static_cast<size_t>(needed) + 1));
    if (heap_ != nullptr) {
      std::vsnprintf(heap_, static_cast<size_t>(needed) + 1, fmt, again);
      text_ = heap_;
      length_ = static_cast<size_t>(needed);
    } else {
      text_ = stack;
      length_ = size - 1;
      truncated_ = true;
    }
  }
  va_end(again);
}

FormattedText::~FormattedText() { std::free(heap_); }

int format_utc_timestamp(char* out, size_t size) {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
  tm fields{};
  if (gmtime_r(&now.tv_sec, &fields) == nullptr) return -1;
  int year = fields.tm_year + 1900;
  if (year < 0) year = 0;
  if (year > 9999) year = 9999;
  int n = std::snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, fields.tm_mon + 1,
                        fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec,
                        static_cast<int>(now.tv_nsec / 1000000));
  if (n < 0 || static_cast<size_t>(n) >= size) return -1;
  return n;
}

}  // namespace norvale::diag

extern "C" {

int nv_log_init(const char* path, int level) {
  auto& s = norvale::diag::state();
  std::unique_lock<std::mutex> lock(s.mutex);
  norvale::diag::open_sink(s, path);
  s.level.store(level, std::memory_order_relaxed);
  return 0;
}

int nv_log_init_from_env(void) {
  auto& s = norvale::diag::state();
  const char* path = std::getenv("NV_LOG_PATH");
  const char* level_text = std::getenv("NV_LOG_LEVEL");
  const char* trace_sse = std::getenv("NV_TRACE_SSE");
  const char* max_bytes = std::getenv("NV_LOG_MAX_BYTES");
  if (max_bytes != nullptr && max_bytes[0] >= '0' && max_bytes[0] <= '9') {
    std::unique_lock<std::mutex> lock(s.mutex);
    s.rotation_limit = std::strtoull(max_bytes, nullptr, 10);
  }
  int level = norvale::diag::parse_env_level(level_text);
  if (trace_sse != nullptr && trace_sse[0] != '\0') level = NV_LOG_TRACE;
  return nv_log_init(path, level);
}

int nv_log_level(void) {
  return norvale::diag::state().level.load(std::memory_order_relaxed);
}

void nv_log_emit(int level, const char* category, const char* fmt, ...) {
  auto& s = norvale::diag::state();
  if (fmt == nullptr || level > s.level.load(std::memory_order_relaxed)) return;
  char stack_buffer[norvale::diag::kMessageBuffer];
  va_list args;
  va_start(args, fmt);
  norvale::diag::FormattedText message(stack_buffer, sizeof(stack_buffer), fmt, args);
  va_end(args);
  if (message.text() == nullptr) return;
  std::string clean;
  try {
    clean = norvale::diag::redact(message.text());
  } catch (...) {
    return;  // a line that cannot be cleaned is not written
  }
  std::unique_lock<std::mutex> lock(s.mutex);
  norvale::diag::write_line(s, level, category, clean.c_str());
}

int nv_log_percell_enabled(void) {
  static int decided = -1;
  if (decided >= 0) return decided;
  const char* value = std::getenv("NV_TRACE_PERCELL");
  int on = 0;
  if (value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0) {
    const std::string lower = norvale::ascii_lower(value);
    on = (lower == "off" || lower == "false" || lower == "no") ? 0 : 1;
  }
  decided = on;
  return on;
}

}  // extern "C"
