// The query path's view of the batch wrapper.
#include "cells/arrow_batch_internal.h"
#include "core/query_batch_internal.h"

namespace norvale {

NVArrowBatch* query_batch_wrap(std::shared_ptr<arrow::RecordBatch> batch,
                               std::shared_ptr<arrow::Schema> schema) noexcept {
  return cells::new_arrow_batch(std::move(batch), std::move(schema));
}

const std::shared_ptr<arrow::RecordBatch>& query_batch_record(const NVArrowBatch* batch) {
  return batch->record_batch;
}

const std::shared_ptr<arrow::Schema>& query_batch_schema(const NVArrowBatch* batch) {
  return batch->schema;
}

int64_t query_batch_weight(const NVArrowBatch* batch) { return batch->byte_weight; }

void query_batch_set_weight(NVArrowBatch* batch, int64_t weight) { batch->byte_weight = weight; }

}  // namespace norvale
