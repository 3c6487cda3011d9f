// The snapshot poller: one thread per process that polls the control plane's catalog version
// with the settings of a live connection, records the sequence for the connections' next
// metadata calls and empties the snapshot cache when it changes. Started by the first
// successful install; stopped and joined at process exit.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "metadata/snapshot_cache_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_log.h"
#include "norvale/nv_snapshot.h"

namespace norvale::adbc {
namespace {

struct SnapshotCachePoller {
  std::thread thread;
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable cv;
  bool started = false;
  int64_t interval_s = kSnapshotPollIntervalSeconds;
  uint64_t last_sequence = 0;
  bool have_sequence = false;
  std::atomic<bool> failing{false};  // the last poll failed (a warning was logged)
  std::unordered_map<std::string, uint64_t> sequence_by_uri;  // per control plane
  // Test hooks only: a wake request ends the current sleep early; rounds counts poll rounds.
  uint64_t wake_generation = 0;
  std::atomic<uint64_t> rounds{0};

  ~SnapshotCachePoller() {
    {
      // Setting the flag under the mutex closes the window between the sleeper's predicate
      // check and its wait, in which a bare notify would be lost and exit would stall for a
      // whole interval.
      std::lock_guard<std::mutex> guard(mutex);
      stop = true;
    }
    cv.notify_all();
    if (thread.joinable()) thread.join();
  }
};

// Constructed on first use, which comes after the log and libcurl are set up, so that it is
// destroyed (and its thread joined) before anything the thread may still touch.
SnapshotCachePoller& poller() {
  static SnapshotCachePoller instance;
  return instance;
}

void poll_once(SnapshotCachePoller& p) {
  // The settings of a live connection: its TLS (private CA, client certificate), proxy and
  // time-outs apply to the poll exactly as to that connection's own requests.
  const std::shared_ptr<const PollEndpoint> endpoint = snapshot_cache_poll_target();
  if (!endpoint) return;

  int64_t interval;
  {
    std::lock_guard<std::mutex> guard(p.mutex);
    interval = p.interval_s;
  }
  const NVTlsConfig tls = endpoint->tls();
  const NVConnExtras extras = endpoint->extras();
  NVCatalogVersion version{};
  char err[256] = {0};
  const int rc = nv_route_fetch_epoch(endpoint->url.c_str(), endpoint->token.c_str(), &tls,
                                      &extras, endpoint->share(), &version, err, sizeof(err));
  if (rc != 0) {
    // Warn once per streak of failures; the repeats go to debug.
    const bool first_failure = !p.failing.exchange(true);
    nv_log_emit(first_failure ? NV_LOG_WARN : NV_LOG_DEBUG, "snapshot_poller",
                "epoch poll failed: %s (will retry in %llds)",
                err[0] != '\0' ? err : "unknown error", static_cast<long long>(interval));
    return;
  }
  if (p.failing.exchange(false)) {
    nv_log_emit(NV_LOG_INFO, "snapshot_poller", "epoch poll succeeded again");
  }
  catalog_sequence_note(endpoint->url, version.sequence);

  std::unique_lock<std::mutex> lock(p.mutex);
  p.last_sequence = version.sequence;
  p.have_sequence = true;
  // Sequences are compared per control plane: two services' counters have nothing in common.
  auto [seen, first] = p.sequence_by_uri.try_emplace(endpoint->url, version.sequence);
  if (!first && seen->second != version.sequence) {
    seen->second = version.sequence;
    lock.unlock();
    nv_log_emit(NV_LOG_INFO, "snapshot_poller",
                "catalog epoch changed (seq=%llu); evicting snapshot cache",
                static_cast<unsigned long long>(version.sequence));
    snapshot_cache_clear_uri(endpoint->url);
    return;
  }
  lock.unlock();
  nv_log_emit(NV_LOG_DEBUG, "snapshot_poller", "catalog epoch unchanged (seq=%llu)",
              static_cast<unsigned long long>(version.sequence));
}

// Sleeps first: the install that started the thread has just fetched a current snapshot, so a
// poll right away would only repeat what it knows.
void snapshot_cache_poller_run(SnapshotCachePoller* p) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(p->mutex);
      uint64_t generation = p->wake_generation;
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(p->interval_s);
      p->cv.wait_until(lock, deadline,
                       [&] { return p->stop.load() || p->wake_generation != generation; });
    }
    if (p->stop) {
      nv_log_emit(NV_LOG_DEBUG, "snapshot_poller", "thread exiting (stop requested)");
      return;
    }
    try {
      poll_once(*p);
    } catch (const std::exception& e) {
      nv_log_emit(NV_LOG_DEBUG, "snapshot_poller", "epoch poll failed: %s", e.what());
    }
    p->rounds.fetch_add(1);
  }
}

}  // namespace

void snapshot_poller_ensure_started() {
  SnapshotCachePoller& p = poller();
  std::lock_guard<std::mutex> guard(p.mutex);
  if (p.started) return;
  p.started = true;
  p.stop = false;
  p.thread = std::thread(snapshot_cache_poller_run, &p);
  nv_log_emit(NV_LOG_INFO, "snapshot_poller",
              "started (interval=%llds, epoch-driven snapshot invalidation)",
              static_cast<long long>(p.interval_s));
}

int64_t snapshot_poller_set_interval_for_test(int64_t seconds) {
  SnapshotCachePoller& p = poller();
  std::lock_guard<std::mutex> guard(p.mutex);
  int64_t previous = p.interval_s;
  p.interval_s = seconds;
  ++p.wake_generation;
  p.cv.notify_all();
  return previous;
}

void snapshot_poller_wake_for_test() {
  SnapshotCachePoller& p = poller();
  std::lock_guard<std::mutex> guard(p.mutex);
  ++p.wake_generation;
  p.cv.notify_all();
}

bool snapshot_poller_started_for_test() {
  SnapshotCachePoller& p = poller();
  std::lock_guard<std::mutex> guard(p.mutex);
  return p.started;
}

uint64_t snapshot_poller_rounds_for_test() { return poller().rounds.load(); }

std::optional<uint64_t> snapshot_poller_last_sequence_for_test() {
  SnapshotCachePoller& p = poller();
  std::lock_guard<std::mutex> guard(p.mutex);
  if (!p.have_sequence) return std::nullopt;
  return p.last_sequence;
}

}  // namespace norvale::adbc
