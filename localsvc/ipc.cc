#include "localsvc/ipc.h"

#include <arrow/io/memory.h>
#include <arrow/ipc/api.h>
#include <parquet/arrow/reader.h>
#include <parquet/arrow/writer.h>

#include "localsvc/wire.h"

namespace nv_localsvc {

arrow::Result<std::string> schema_ipc(const std::shared_ptr<arrow::Schema>& schema) {
  ARROW_ASSIGN_OR_RAISE(auto sink, arrow::io::BufferOutputStream::Create());
  ARROW_ASSIGN_OR_RAISE(auto writer, arrow::ipc::MakeStreamWriter(sink, schema));
  ARROW_RETURN_NOT_OK(writer->Close());
  ARROW_ASSIGN_OR_RAISE(auto buf, sink->Finish());
  return buf->ToString();
}

arrow::Result<std::shared_ptr<arrow::Buffer>> batch_payload(uint32_t result_set,
                                                            const arrow::RecordBatch& batch) {
  ARROW_ASSIGN_OR_RAISE(auto sink, arrow::io::BufferOutputStream::Create(1 << 16));
  std::string header = batch_header(result_set);
  ARROW_RETURN_NOT_OK(sink->Write(header.data(), static_cast<int64_t>(header.size())));
  ARROW_ASSIGN_OR_RAISE(auto writer, arrow::ipc::MakeStreamWriter(sink, batch.schema()));
  ARROW_RETURN_NOT_OK(writer->WriteRecordBatch(batch));
  ARROW_RETURN_NOT_OK(writer->Close());
  return sink->Finish();
}

arrow::Result<std::shared_ptr<arrow::Table>> read_ipc_stream(std::shared_ptr<arrow::Buffer> buf) {
  auto input = std::make_shared<arrow::io::BufferReader>(std::move(buf));
  ARROW_ASSIGN_OR_RAISE(auto reader, arrow::ipc::RecordBatchStreamReader::Open(input));
  return reader->ToTable();
}

arrow::Result<std::shared_ptr<arrow::Table>> read_parquet(std::shared_ptr<arrow::Buffer> buf) {
  auto input = std::make_shared<arrow::io::BufferReader>(std::move(buf));
  ARROW_ASSIGN_OR_RAISE(auto reader,
                        parquet::arrow::OpenFile(input, arrow::default_memory_pool()));
  return reader->ReadTable();
}

arrow::Result<std::shared_ptr<arrow::Buffer>> write_parquet(const arrow::Table& table) {
  ARROW_ASSIGN_OR_RAISE(auto sink, arrow::io::BufferOutputStream::Create());
  ARROW_RETURN_NOT_OK(parquet::arrow::WriteTable(table, arrow::default_memory_pool(), sink,
                                                 1 << 20));
  return sink->Finish();
}

}  // namespace nv_localsvc
