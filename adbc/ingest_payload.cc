// Ingest payloads: every batch travels as a self-contained Arrow IPC stream or a whole
// Parquet file, so that the server can read each one on its own.
#include <arrow/io/memory.h>
#include <arrow/ipc/writer.h>
#include <parquet/arrow/writer.h>
#include <parquet/properties.h>

#include "adbc/statement_ingest_internal.h"

namespace norvale::adbc {
namespace {

arrow::Status with_context(const char* what, const arrow::Status& st) {
  return st.WithMessage(std::string(what) + st.message());
}

}  // namespace

arrow::Result<std::shared_ptr<arrow::Buffer>> encode_schema_ipc(
    const std::shared_ptr<arrow::Schema>& schema) {
  ARROW_ASSIGN_OR_RAISE(auto sink, arrow::io::BufferOutputStream::Create());
  ARROW_ASSIGN_OR_RAISE(auto writer, arrow::ipc::MakeStreamWriter(
                                         sink, schema, arrow::ipc::IpcWriteOptions::Defaults()));
  ARROW_RETURN_NOT_OK(writer->Close());
  return sink->Finish();
}

arrow::Result<std::shared_ptr<arrow::Buffer>> encode_batch_ipc(const arrow::RecordBatch& batch) {
  ARROW_ASSIGN_OR_RAISE(auto sink, arrow::io::BufferOutputStream::Create());
  ARROW_ASSIGN_OR_RAISE(
      auto writer,
      arrow::ipc::MakeStreamWriter(sink, batch.schema(), arrow::ipc::IpcWriteOptions::Defaults()));
  ARROW_RETURN_NOT_OK(writer->WriteRecordBatch(batch));
  ARROW_RETURN_NOT_OK(writer->Close());
  return sink->Finish();
}

arrow::Result<std::shared_ptr<arrow::Buffer>> encode_batch_parquet(
    const std::shared_ptr<arrow::RecordBatch>& batch) {
  auto sink = arrow::io::BufferOutputStream::Create();
  if (!sink.ok()) return with_context("BufferOutputStream::Create: ", sink.status());
  auto writer = parquet::arrow::FileWriter::Open(*batch->schema(), arrow::default_memory_pool(),
                                                 *sink, parquet::default_writer_properties(),
                                                 parquet::default_arrow_writer_properties());
  if (!writer.ok()) return with_context("parquet::FileWriter::Open: ", writer.status());
  arrow::Status st = (*writer)->WriteRecordBatch(*batch);
  if (!st.ok()) return with_context("parquet WriteRecordBatch: ", st);
  st = (*writer)->Close();
  if (!st.ok()) return with_context("parquet writer Close: ", st);
  auto buffer = (*sink)->Finish();
  if (!buffer.ok()) return with_context("BufferOutputStream::Finish: ", buffer.status());
  return buffer;
}

}  // namespace norvale::adbc
