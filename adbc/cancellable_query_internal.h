// Queries started under a cancellable operation: the one way the ADBC layer starts a query on a
// compute node, so that every such query can be cancelled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "adbc/cancel_registry_internal.h"
#include "norvale/nv_query.h"
#include "norvale_adbc.h"

namespace norvale::adbc {

/// A query that a cancel of its operation reaches until the query is closed: on destruction,
/// or by whoever takes it with release() together with its cancel action.
class CancellableQuery {
 public:
  CancellableQuery() = default;
  CancellableQuery(const std::shared_ptr<CancelOperation>& operation, NVQueryHandle* query);
  ~CancellableQuery() { reset(); }
  CancellableQuery(CancellableQuery&& other) noexcept;
  CancellableQuery& operator=(CancellableQuery&& other) noexcept;

  NVQueryHandle* get() const { return query_; }
  explicit operator bool() const { return query_ != nullptr; }
  /// Hands the query over; its cancel action goes to `target`.
  NVQueryHandle* release(CancelTarget* target);
  /// Detaches the cancel action, then closes the query.
  void reset();

 private:
  CancelTarget target_;
  NVQueryHandle* query_ = nullptr;
};

/// nv_execute under `operation`. Nothing starts once the operation is cancelled; the result is
/// then empty and `err` says so. Without a query, `err` holds the reason.
CancellableQuery execute_cancellable(const std::shared_ptr<CancelOperation>& operation,
                                     NVConnection* conn, const char* sql,
                                     uint64_t timeout_seconds, char* err, size_t err_size);

}  // namespace norvale::adbc
