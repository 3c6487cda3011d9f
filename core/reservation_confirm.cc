#include "core/reservation_confirm_internal.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <system_error>

#include "core/connection_internal.h"
#include "core/worker_pool_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_log.h"

namespace norvale {

/// Guarded by `mutex`.
struct ReservationConfirm {
  std::mutex mutex;
  std::condition_variable changed;
  bool go = false;         // the connection's first work lets the confirm start
  bool cancelled = false;  // teardown came before the confirm started
  bool started = false;    // the confirm request is on its way
  bool done = false;
  bool confirmed = false;
  int control_plane_requests = 0;  // of the connection, in flight now
};

namespace {

constexpr const char* kTransport = "transport";

// A confirm normally answers within a round trip.
std::atomic<int64_t> g_wait_ms{3000};
// A connection idle this long after connecting is confirmed anyway, so that its slot stays.
std::atomic<int64_t> g_grace_ms{1000};

std::chrono::milliseconds wait_limit() { return std::chrono::milliseconds(g_wait_ms.load()); }

/// Sends the confirm and records the outcome; a failure is only logged.
void send_confirm(NVConnection* conn, ReservationConfirm* state) {
  bool confirmed = false;
  try {
    const NVConnExtras extras = conn->extras();
    const SessionToken token(*conn);
    confirmed = nv_route_confirm(conn->control_plane_url.c_str(), token.text().c_str(),
                                 conn->reservation.c_str(), &conn->tls, &extras,
                                 conn->share()) == 0;
  } catch (...) {
    // Reported below as a failed confirm.
  }
  if (!confirmed) {
    // Reservation identifiers are secrets: the line names none.
    nv_log_emit(NV_LOG_WARN, kTransport,
                "nv_route_confirm failed for reservation %s; slot will expire after TTL",
                "[REDACTED]");
  }
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->done = true;
    state->confirmed = confirmed;
  }
  state->changed.notify_all();
}

// Waits for the moment to confirm; false when teardown called the confirm off.
bool await_start(ReservationConfirm* state) {
  std::unique_lock<std::mutex> lock(state->mutex);
  state->changed.wait_for(lock, std::chrono::milliseconds(g_grace_ms.load()),
                          [&] { return state->go || state->cancelled; });
  state->changed.wait(lock,
                      [&] { return state->cancelled || state->control_plane_requests == 0; });
  if (state->cancelled) {
    state->done = true;
    return false;
  }
  state->started = true;
  return true;
}

void run_confirm(NVConnection* conn, const std::shared_ptr<ReservationConfirm>& state) {
  if (await_start(state.get())) send_confirm(conn, state.get());
  state->changed.notify_all();
}

void let_go(NVConnection* conn) {
  if (!conn->confirm) return;
  {
    std::lock_guard<std::mutex> lock(conn->confirm->mutex);
    conn->confirm->go = true;
  }
  conn->confirm->changed.notify_all();
}

}  // namespace

void start_confirm(NVConnection* conn) {
  auto state = std::make_shared<ReservationConfirm>();
  conn->confirm = state;
  retain_connection(conn);
  try {
    PooledThread([conn, state] {
      run_confirm(conn, state);
      release_connection(conn);
    }).detach();
  } catch (const std::system_error&) {
    // No thread to run it beside the connection's work: confirm now.
    state->go = true;
    run_confirm(conn, state);
    release_connection(conn);
  }
}

bool finish_confirm(NVConnection* conn) {
  if (!conn->confirm) return false;
  ReservationConfirm& state = *conn->confirm;
  std::unique_lock<std::mutex> lock(state.mutex);
  if (!state.started) {
    state.cancelled = true;
    lock.unlock();
    state.changed.notify_all();
    return false;
  }
  state.changed.wait_for(lock, wait_limit(), [&] { return state.done; });
  return state.done && state.confirmed;
}

ControlPlaneUse::ControlPlaneUse(NVConnection* conn) : conn_(conn) {
  if (!conn_->confirm) return;
  ReservationConfirm& state = *conn_->confirm;
  std::unique_lock<std::mutex> lock(state.mutex);
  // The confirm answers within about a round trip; a new TCP and TLS connection takes two.
  state.changed.wait_for(lock, wait_limit(), [&] { return !state.started || state.done; });
  ++state.control_plane_requests;
}

ControlPlaneUse::~ControlPlaneUse() {
  if (!conn_->confirm) return;
  {
    std::lock_guard<std::mutex> lock(conn_->confirm->mutex);
    --conn_->confirm->control_plane_requests;
    conn_->confirm->go = true;
  }
  conn_->confirm->changed.notify_all();
}

void note_compute_work(NVConnection* conn) {
  if (conn != nullptr) let_go(conn);
}

std::chrono::milliseconds set_confirm_wait_for_test(std::chrono::milliseconds limit) {
  return std::chrono::milliseconds(g_wait_ms.exchange(limit.count()));
}

std::chrono::milliseconds set_confirm_grace_for_test(std::chrono::milliseconds grace) {
  return std::chrono::milliseconds(g_grace_ms.exchange(grace.count()));
}

}  // namespace norvale
