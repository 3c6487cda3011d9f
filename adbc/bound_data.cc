#include "adbc/bound_data_internal.h"

#include <arrow/c/bridge.h>

#include <cstring>
#include <utility>

namespace norvale::adbc {
namespace {

// Hands out the batches a peek read first, then the rest of the source.
class ReplayReader final : public arrow::RecordBatchReader {
 public:
  ReplayReader(std::shared_ptr<arrow::RecordBatchReader> source,
               std::deque<std::shared_ptr<arrow::RecordBatch>> held)
      : source_(std::move(source)), held_(std::move(held)) {}
  std::shared_ptr<arrow::Schema> schema() const override { return source_->schema(); }
  arrow::Status ReadNext(std::shared_ptr<arrow::RecordBatch>* batch) override {
    if (held_.empty()) return source_->ReadNext(batch);
    *batch = std::move(held_.front());
    held_.pop_front();
    return arrow::Status::OK();
  }
  arrow::Status Close() override { return source_->Close(); }

 private:
  std::shared_ptr<arrow::RecordBatchReader> source_;
  std::deque<std::shared_ptr<arrow::RecordBatch>> held_;
};

}  // namespace

void BoundData::Bind(ArrowArrayStream* stream) {
  Clear();
  stream_ = *stream;
  std::memset(stream, 0, sizeof *stream);
}

void BoundData::Bind(std::shared_ptr<arrow::RecordBatchReader> reader) {
  Clear();
  reader_ = std::move(reader);
}

void BoundData::Clear() {
  if (stream_.release != nullptr) stream_.release(&stream_);
  std::memset(&stream_, 0, sizeof stream_);
  reader_.reset();
  held_.clear();
  open_failure_ = arrow::Status::OK();
}

bool BoundData::bound() const {
  return stream_.release != nullptr || reader_ != nullptr || !open_failure_.ok();
}

arrow::Status BoundData::Open() {
  if (reader_ != nullptr || !open_failure_.ok()) return open_failure_;
  if (stream_.release == nullptr) return arrow::Status::Invalid("no data are bound");
  // The import takes the stream over (and releases it when it fails).
  auto reader = arrow::ImportRecordBatchReader(&stream_);
  if (!reader.ok()) {
    open_failure_ = reader.status();
    return open_failure_;
  }
  reader_ = *std::move(reader);
  return arrow::Status::OK();
}

arrow::Result<std::shared_ptr<arrow::Schema>> BoundData::Schema() {
  ARROW_RETURN_NOT_OK(Open());
  return reader_->schema();
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> BoundData::PeekFirstRows() {
  ARROW_RETURN_NOT_OK(Open());
  for (const auto& batch : held_) {
    if (batch->num_rows() > 0) return batch;
  }
  for (;;) {
    std::shared_ptr<arrow::RecordBatch> batch;
    ARROW_RETURN_NOT_OK(reader_->ReadNext(&batch));
    if (batch == nullptr) return nullptr;
    held_.push_back(batch);
    if (batch->num_rows() > 0) return batch;
  }
}

arrow::Result<std::shared_ptr<arrow::RecordBatchReader>> BoundData::Take() {
  const arrow::Status opened = Open();
  std::shared_ptr<arrow::RecordBatchReader> reader = std::move(reader_);
  std::deque<std::shared_ptr<arrow::RecordBatch>> held = std::move(held_);
  Clear();
  ARROW_RETURN_NOT_OK(opened);
  if (held.empty()) return reader;
  return std::make_shared<ReplayReader>(std::move(reader), std::move(held));
}

}  // namespace norvale::adbc
