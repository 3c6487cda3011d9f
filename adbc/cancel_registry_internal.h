// Cancellation of the work that ADBC calls start. Every call that may reach the network (a
// statement's execution and the result stream it hands out, an ingest, a metadata call) runs as
// an operation registered with its connection's registry; AdbcStatementCancel and
// AdbcConnectionCancel cancel registered operations from any thread. Cancelling takes only the
// registry's and the operations' own short-lived locks, never one held across network I/O.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

struct NVAdbcConnectionState;
struct NVAdbcStatementState;

namespace norvale::adbc {

/// Owner of the operations a connection runs itself (metadata calls); statements get their own
/// from next_cancel_owner().
inline constexpr uint64_t kConnectionOwner = 0;

/// A new owner identity for a statement, never reused in the process, so that a cancel of a new
/// statement never reaches a stream left behind by a released one.
uint64_t next_cancel_owner();

/// One operation. Cancelling it marks it cancelled and runs every cancel action attached to it;
/// an action attached later runs at once.
class CancelOperation : public std::enable_shared_from_this<CancelOperation> {
 public:
  explicit CancelOperation(uint64_t owner) : owner_(owner) {}
  CancelOperation(const CancelOperation&) = delete;
  CancelOperation& operator=(const CancelOperation&) = delete;

  uint64_t owner() const { return owner_; }
  bool cancelled() const { return cancelled_.load(); }
  /// For transfers on the caller's thread, which poll it (snapshot and version fetches).
  const std::atomic<bool>* cancelled_flag() const { return &cancelled_; }
  void cancel();

 private:
  friend class CancelTarget;
  uint64_t attach(std::function<void()> action);
  void detach(uint64_t id);

  const uint64_t owner_;
  std::atomic<bool> cancelled_{false};
  // Held while actions run, so that detaching waits for a cancel that is using the action.
  std::mutex mutex_;
  std::vector<std::pair<uint64_t, std::function<void()>>> actions_;
  uint64_t next_id_ = 1;
};

/// A cancel action attached to an operation for as long as the target lives. Destroying it
/// detaches the action and waits for a cancel that is running it: what the action cancels may
/// be freed right after.
class CancelTarget {
 public:
  CancelTarget() = default;
  CancelTarget(std::shared_ptr<CancelOperation> operation, std::function<void()> action);
  ~CancelTarget() { reset(); }
  CancelTarget(CancelTarget&& other) noexcept;
  CancelTarget& operator=(CancelTarget&& other) noexcept;
  CancelTarget(const CancelTarget&) = delete;
  CancelTarget& operator=(const CancelTarget&) = delete;

  void reset();

 private:
  std::shared_ptr<CancelOperation> operation_;
  uint64_t id_ = 0;
};

/// The operations of one connection. It holds them weakly: an operation ends when the call, or
/// the result stream, that holds it lets go.
class CancelRegistry {
 public:
  std::shared_ptr<CancelOperation> begin(uint64_t owner);
  /// Cancels the running operations of `owner`.
  void cancel(uint64_t owner);
  /// Cancels every running operation of the connection, its statements' included.
  void cancel_all();

 private:
  template <typename Pick>
  void cancel_where(Pick pick);

  std::mutex mutex_;
  std::vector<std::weak_ptr<CancelOperation>> operations_;
};

/// The operation of one ADBC call on a statement, kept in the statement's state for the call's
/// duration. A call made inside another (ExecuteQuery handing an ingest to ExecuteUpdate, each
/// statement run for a bound row) joins the outer call's operation, so that one cancel stops
/// them all.
class StatementOperation {
 public:
  explicit StatementOperation(NVAdbcStatementState* state);
  ~StatementOperation();
  StatementOperation(const StatementOperation&) = delete;
  StatementOperation& operator=(const StatementOperation&) = delete;

  CancelOperation& operator*() const { return *operation_; }
  CancelOperation* operator->() const { return operation_.get(); }
  const std::shared_ptr<CancelOperation>& shared() const { return operation_; }

 private:
  NVAdbcStatementState* state_;
  std::shared_ptr<CancelOperation> operation_;
  bool outermost_ = false;
};

/// A new operation of the connection itself (a metadata call).
std::shared_ptr<CancelOperation> begin_connection_operation(NVAdbcConnectionState* state);

}  // namespace norvale::adbc
