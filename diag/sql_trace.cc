// The SQL trace: a separate file with one line per statement the library runs.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "diag/log_internal.h"
#include "norvale/nv_log.h"

namespace norvale::diag {
namespace {

constexpr size_t kBodyBuffer = 4096;
constexpr int kCallerDepth = 8;

struct TraceState {
  std::mutex mutex;
  std::atomic<int> enabled{0};
  int fd = -1;
  std::string path;
};

TraceState& trace_state() {
  static TraceState* s = new TraceState();  // never destroyed: threads may trace during exit
  return *s;
}

thread_local const char* t_callers[kCallerDepth];
thread_local int t_depth = 0;

}  // namespace
}  // namespace norvale::diag

extern "C" {

int nv_apilog_init(const char* path) {
  auto& s = norvale::diag::trace_state();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.fd >= 0) {
    ::close(s.fd);
    s.fd = -1;
  }
  s.path.clear();
  s.enabled.store(0);
  if (path == nullptr || path[0] == '\0') return 0;
  int fd = norvale::diag::open_private_append(path);
  if (fd < 0) {
    int err = errno;
    lock.unlock();
    if (nv_log_level() >= NV_LOG_ERROR) {
      nv_log_emit(NV_LOG_ERROR, "apilog", "Failed to open SQL trace file '%s': %s", path,
                  std::strerror(err));
    }
    return 0;
  }
  s.fd = fd;
  s.path = path;
  s.enabled.store(1);
  lock.unlock();
  if (nv_log_level() >= NV_LOG_INFO) {
    nv_log_emit(NV_LOG_INFO, "apilog", "SQL trace enabled, writing to '%s'", path);
  }
  return 0;
}

int nv_apilog_init_from_env(void) {
  const char* path = std::getenv("NV_SQL_TRACE_PATH");
  if (path == nullptr || path[0] == '\0') path = std::getenv("NV_API_TRACE_PATH");
  if (path == nullptr || path[0] == '\0') return 0;
  return nv_apilog_init(path);
}

int nv_apilog_enabled(void) { return norvale::diag::trace_state().enabled.load(); }

void nv_apilog_emit(const char* fmt, ...) {
  auto& s = norvale::diag::trace_state();
  if (!s.enabled.load() || fmt == nullptr) return;
  char stack_body[norvale::diag::kBodyBuffer];
  va_list args;
  va_start(args, fmt);
  norvale::diag::FormattedText body(stack_body, sizeof(stack_body), fmt, args);
  va_end(args);
  // A body that cannot be had whole is dropped rather than traced cut short.
  if (body.text() == nullptr || body.truncated()) return;
  std::string clean;
  try {
    clean = norvale::diag::redact(body.text());
  } catch (...) {
    return;
  }
  char prefix[64];
  size_t prefix_len = 0;
  char stamp[40];
  if (norvale::diag::format_utc_timestamp(stamp, sizeof(stamp)) >= 0) {
    int n = std::snprintf(prefix, sizeof(prefix), "%s [tid=%lu] ", stamp,
                          norvale::diag::log_thread_number());
    if (n > 0 && static_cast<size_t>(n) < sizeof(prefix)) prefix_len = static_cast<size_t>(n);
  }
  size_t body_len = clean.size();
  size_t total = prefix_len + body_len + 1;
  char* line = static_cast<char*>(std::malloc(total));
  if (line != nullptr) {
    std::memcpy(line, prefix, prefix_len);
    std::memcpy(line + prefix_len, clean.data(), body_len);
    line[total - 1] = '\n';
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.fd >= 0) {
      ssize_t w;
      do {
        w = ::write(s.fd, line, total);
      } while (w < 0 && errno == EINTR);
    }
  }
  std::free(line);
}

void nv_sql_trace(const char* label, const char* sql) {
  if (sql == nullptr || !nv_apilog_enabled()) return;
  nv_apilog_emit("%s -> %s", label != nullptr ? label : "unknown", sql);
}

void nv_sql_caller_push(const char* name) {
  using namespace norvale::diag;
  if (t_depth >= kCallerDepth) return;
  t_callers[t_depth++] = name != nullptr ? name : "unknown";
}

void nv_sql_caller_pop(void) {
  using namespace norvale::diag;
  if (t_depth <= 0) return;
  t_callers[--t_depth] = nullptr;
}

const char* nv_sql_caller_get(void) {
  using namespace norvale::diag;
  return t_depth > 0 ? t_callers[t_depth - 1] : "unknown";
}

// Performance counters are not collected; the hooks keep their call sites cheap and stable.
int nv_perf_is_enabled(void) { return 0; }
void nv_perf_add_transport(uint64_t, uint64_t) {}
void nv_perf_add_decode(uint64_t, uint64_t) {}
void nv_perf_add_convert(uint64_t, uint64_t) {}

}  // extern "C"
