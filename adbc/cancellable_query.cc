#include "adbc/cancellable_query_internal.h"

#include <cstdio>
#include <string>
#include <utility>


namespace norvale::adbc {

CancellableQuery::CancellableQuery(const std::shared_ptr<CancelOperation>& operation,
                                   NVQueryHandle* query)
    : target_(query != nullptr ? CancelTarget(operation, [query] { nv_query_cancel(query); })
                               : CancelTarget()),
      query_(query) {}

CancellableQuery::CancellableQuery(CancellableQuery&& other) noexcept
    : target_(std::move(other.target_)), query_(std::exchange(other.query_, nullptr)) {}

CancellableQuery& CancellableQuery::operator=(CancellableQuery&& other) noexcept {
  if (this != &other) {
    reset();
    target_ = std::move(other.target_);
    query_ = std::exchange(other.query_, nullptr);
  }
  return *this;
}

NVQueryHandle* CancellableQuery::release(CancelTarget* target) {
  *target = std::move(target_);
  return std::exchange(query_, nullptr);
}

void CancellableQuery::reset() {
  // In this order: once detached, no cancel can reach the query that is being freed.
  target_.reset();
  nv_query_close(std::exchange(query_, nullptr));
}

CancellableQuery execute_cancellable(const std::shared_ptr<CancelOperation>& operation,
                                     NVConnection* conn, const char* sql,
                                     uint64_t timeout_seconds, char* err, size_t err_size) {
  if (operation->cancelled()) {
    if (err != nullptr && err_size > 0) {
      std::snprintf(err, err_size, "cancelled by client before the query started");
    }
    return {};
  }
  NVQueryHandle* query = nv_execute(conn, sql, 0, timeout_seconds, err, err_size);
  if (query == nullptr) return {};
  return CancellableQuery(operation, query);
}

}  // namespace norvale::adbc
