// The per-connection snapshot store.
#include <mutex>
#include <new>
#include <shared_mutex>

#include "metadata/info_schema_internal.h"

namespace norvale::adbc {

NVAdbcInfoSchemaStore* info_schema_store_create() {
  try {
    return new (std::nothrow) NVAdbcInfoSchemaStore();
  } catch (...) {  // the lock's construction may report a system error
    return nullptr;
  }
}

void info_schema_store_destroy(NVAdbcInfoSchemaStore* store) { delete store; }

std::shared_ptr<arrow::RecordBatch> catalog_batch(NVAdbcInfoSchemaStore* store, int index) {
  if (store == nullptr || index < 0 || index >= kSnapshotResultSets) return nullptr;
  std::shared_lock<std::shared_mutex> lock(store->lock);
  return store->batches[static_cast<size_t>(index)];
}

}  // namespace norvale::adbc
