// Arrow IPC stream bytes for frames.
#pragma once

#include <memory>
#include <string>

#include <arrow/api.h>

namespace nv_localsvc {

/// An IPC stream with the schema and no batch.
arrow::Result<std::string> schema_ipc(const std::shared_ptr<arrow::Schema>& schema);

/// A BATCH payload: the 8-byte header for `result_set`, then an IPC stream holding the
/// schema and this one batch.
arrow::Result<std::shared_ptr<arrow::Buffer>> batch_payload(uint32_t result_set,
                                                            const arrow::RecordBatch& batch);

/// Reads every batch of an IPC stream.
arrow::Result<std::shared_ptr<arrow::Table>> read_ipc_stream(std::shared_ptr<arrow::Buffer> buf);

/// Reads a whole Parquet file held in memory.
arrow::Result<std::shared_ptr<arrow::Table>> read_parquet(std::shared_ptr<arrow::Buffer> buf);

/// Writes a table as a Parquet file in memory.
arrow::Result<std::shared_ptr<arrow::Buffer>> write_parquet(const arrow::Table& table);

}  // namespace nv_localsvc
