// Decoding snapshot result sets straight from the received blocks: each block becomes an Arrow
// buffer that owns it, so the decoded arrays view the bytes without a copy.
#include <cstdlib>
#include <string>
#include <vector>

#include <arrow/array/builder_base.h>
#include <arrow/buffer.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/memory_pool.h>

#include "core/ipc_options_internal.h"
#include "metadata/snapshot_decode_internal.h"

namespace norvale::adbc {
namespace {

class MallocBlockBuffer : public arrow::Buffer {
 public:
  MallocBlockBuffer(uint8_t* block, size_t len)
      : arrow::Buffer(block, static_cast<int64_t>(len)), block_(block) {}
  ~MallocBlockBuffer() override { std::free(block_); }

 private:
  uint8_t* block_;
};

arrow::Status rs_error(int index, const std::string& what) {
  return arrow::Status::Invalid("snapshot RS ", index, ": ", what);
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> empty_batch(
    int index, const std::shared_ptr<arrow::Schema>& schema) {
  std::vector<std::shared_ptr<arrow::Array>> columns;
  columns.reserve(static_cast<size_t>(schema->num_fields()));
  for (int i = 0; i < schema->num_fields(); ++i) {
    std::unique_ptr<arrow::ArrayBuilder> builder;
    arrow::Status st =
        arrow::MakeBuilder(arrow::default_memory_pool(), schema->field(i)->type(), &builder);
    if (!st.ok()) {
      return rs_error(index, "empty-array build failed for field " + std::to_string(i) + ": " +
                                 st.message());
    }
    std::shared_ptr<arrow::Array> column;
    st = builder->Finish(&column);
    if (!st.ok()) {
      return rs_error(index, "empty-array finish failed for field " + std::to_string(i) + ": " +
                                 st.message());
    }
    columns.push_back(std::move(column));
  }
  return arrow::RecordBatch::Make(schema, 0, std::move(columns));
}

}  // namespace

arrow::Result<std::shared_ptr<arrow::RecordBatch>> decode_result_set(int index, uint8_t* block,
                                                                     size_t len) {
  if (block == nullptr || len == 0) {
    std::free(block);
    return rs_error(index, "empty IPC bytes");
  }
  auto buffer = std::make_shared<MallocBlockBuffer>(block, len);
  auto input = std::make_shared<arrow::io::BufferReader>(std::move(buffer));
  auto opened =
      arrow::ipc::RecordBatchStreamReader::Open(std::move(input), server_ipc_read_options());
  if (!opened.ok()) {
    return rs_error(index, "IPC stream open failed: " + opened.status().message());
  }
  std::shared_ptr<arrow::RecordBatch> batch;
  arrow::Status st = (*opened)->ReadNext(&batch);
  // Every reader of the snapshot (GetObjects, GetTableSchema, the engine's relations) trusts
  // its offsets and UTF-8: they are checked here, once, before the store takes the batch.
  if (st.ok() && batch) st = batch->ValidateFull();
  if (!st.ok()) return rs_error(index, "IPC ReadNext failed: " + st.message());
  if (batch) return batch;
  return empty_batch(index, (*opened)->schema());
}

}  // namespace norvale::adbc
