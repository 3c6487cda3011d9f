// The few operations the query path needs on batch wrappers.
#pragma once

#include <cstdint>
#include <memory>

#include <arrow/record_batch.h>
#include <arrow/type_fwd.h>

#include "norvale/nv_cells.h"

namespace norvale {

/// A new wrapper holding `batch` and `schema` with byte weight 0; null when it cannot be
/// allocated. Never throws.
NVArrowBatch* query_batch_wrap(std::shared_ptr<arrow::RecordBatch> batch,
                               std::shared_ptr<arrow::Schema> schema) noexcept;
/// The wrapped record batch (may be null).
const std::shared_ptr<arrow::RecordBatch>& query_batch_record(const NVArrowBatch* batch);
/// The wrapper's schema (may be null).
const std::shared_ptr<arrow::Schema>& query_batch_schema(const NVArrowBatch* batch);
/// The byte weight counted by the queue's byte limit.
int64_t query_batch_weight(const NVArrowBatch* batch);
void query_batch_set_weight(NVArrowBatch* batch, int64_t weight);

}  // namespace norvale
