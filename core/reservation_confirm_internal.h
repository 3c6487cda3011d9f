// The reservation confirm of a connection. It only decides whether teardown abandons the
// reservation, so connecting never waits for it: it runs beside the connection's first work.
// Beside, not in the way: over HTTP/1.1 a control-plane request sent while the confirm holds
// the pooled socket would open a new TCP and TLS connection, so the confirm starts once the
// first work is under way on a compute node, or once the first control-plane request is done,
// or after a grace period without any work; and a control-plane request that finds it on the
// wire waits for it.
#pragma once

#include <chrono>

struct NVConnection;

namespace norvale {

/// Starts the confirm of the connection's reservation (it holds the connection until done).
void start_confirm(NVConnection* conn);

/// At teardown: whether the reservation was confirmed. A confirm not yet started is called off;
/// one on its way is waited for, a few seconds at most (one that has not answered by then
/// counts as unconfirmed).
bool finish_confirm(NVConnection* conn);

/// Marks a control-plane request of the connection (login, catalog version, snapshot) for its
/// lifetime: it waits for a confirm on the wire, and the confirm does not start beside it.
class ControlPlaneUse {
 public:
  explicit ControlPlaneUse(NVConnection* conn);
  ~ControlPlaneUse();
  ControlPlaneUse(const ControlPlaneUse&) = delete;
  ControlPlaneUse& operator=(const ControlPlaneUse&) = delete;

 private:
  NVConnection* conn_;
};

/// The connection's work on its compute node begins (a query, an ingest): the confirm may run
/// beside it, over another socket.
void note_compute_work(NVConnection* conn);

/// Test hooks: the longest wait of teardown and of a control-plane request for a confirm on
/// its way (3 seconds unless set), and the grace period before a confirm starts on its own
/// (1 second unless set). Each returns the previous value.
std::chrono::milliseconds set_confirm_wait_for_test(std::chrono::milliseconds limit);
std::chrono::milliseconds set_confirm_grace_for_test(std::chrono::milliseconds grace);

}  // namespace norvale
