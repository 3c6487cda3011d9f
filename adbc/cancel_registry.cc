#include "adbc/cancel_registry_internal.h"

#include <algorithm>

#include "adbc/state_internal.h"

namespace norvale::adbc {

uint64_t next_cancel_owner() {
  static std::atomic<uint64_t> last{kConnectionOwner};
  return ++last;
}

void CancelOperation::cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_.store(true);
  for (auto& [id, action] : actions_) action();
}

uint64_t CancelOperation::attach(std::function<void()> action) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t id = next_id_++;
  actions_.emplace_back(id, std::move(action));
  if (cancelled_.load()) actions_.back().second();
  return id;
}

void CancelOperation::detach(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(actions_, [id](const auto& entry) { return entry.first == id; });
}

CancelTarget::CancelTarget(std::shared_ptr<CancelOperation> operation,
                           std::function<void()> action)
    : operation_(std::move(operation)) {
  if (operation_ != nullptr) id_ = operation_->attach(std::move(action));
}

CancelTarget::CancelTarget(CancelTarget&& other) noexcept
    : operation_(std::move(other.operation_)), id_(other.id_) {
  other.id_ = 0;
}

CancelTarget& CancelTarget::operator=(CancelTarget&& other) noexcept {
  if (this != &other) {
    reset();
    operation_ = std::move(other.operation_);
    id_ = other.id_;
    other.id_ = 0;
  }
  return *this;
}

void CancelTarget::reset() {
  if (operation_ != nullptr) operation_->detach(id_);
  operation_.reset();
  id_ = 0;
}

std::shared_ptr<CancelOperation> CancelRegistry::begin(uint64_t owner) {
  auto operation = std::make_shared<CancelOperation>(owner);
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(operations_, [](const auto& weak) { return weak.expired(); });
  operations_.push_back(operation);
  return operation;
}

template <typename Pick>
void CancelRegistry::cancel_where(Pick pick) {
  std::vector<std::shared_ptr<CancelOperation>> picked;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& weak : operations_) {
      if (auto operation = weak.lock(); operation != nullptr && pick(*operation)) {
        picked.push_back(std::move(operation));
      }
    }
  }
  // Outside the registry's lock, so that calls beginning operations meanwhile do not wait for
  // the cancel actions.
  for (const auto& operation : picked) operation->cancel();
}

void CancelRegistry::cancel(uint64_t owner) {
  cancel_where([owner](const CancelOperation& op) { return op.owner() == owner; });
}

void CancelRegistry::cancel_all() {
  cancel_where([](const CancelOperation&) { return true; });
}

namespace {

std::shared_ptr<CancelOperation> begin_in(NVAdbcConnectionState* connection, uint64_t owner) {
  CancelRegistry* registry = connection != nullptr ? connection->cancel_registry : nullptr;
  // Without a registry nothing can reach the operation; it still answers cancelled().
  return registry != nullptr ? registry->begin(owner) : std::make_shared<CancelOperation>(owner);
}

}  // namespace

StatementOperation::StatementOperation(NVAdbcStatementState* state) : state_(state) {
  if (state_->operation != nullptr) {
    operation_ = state_->operation->shared_from_this();
    return;
  }
  operation_ = begin_in(state_->connection, state_->cancel_owner);
  state_->operation = operation_.get();
  outermost_ = true;
}

StatementOperation::~StatementOperation() {
  if (outermost_) state_->operation = nullptr;
}

std::shared_ptr<CancelOperation> begin_connection_operation(NVAdbcConnectionState* state) {
  return begin_in(state, kConnectionOwner);
}

}  // namespace norvale::adbc
