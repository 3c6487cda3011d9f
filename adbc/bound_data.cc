#include "adbc/bound_data_internal.h"

#include <arrow/c/bridge.h>

#include <cstring>
#include <utility>

namespace norvale::adbc {
namespace {

// Hands out the batches a peek read first, then what the peek met after them (a failure, or the
// end of the data) or else the rest of the source.
class ReplayReader final : public arrow::RecordBatchReader {
 public:
  ReplayReader(std::shared_ptr<arrow::RecordBatchReader> source,
               std::deque<std::shared_ptr<arrow::RecordBatch>> held, arrow::Status failure,
               bool ended)
      : source_(std::move(source)),
        held_(std::move(held)),
        failure_(std::move(failure)),
        ended_(ended) {}
  std::shared_ptr<arrow::Schema> schema() const override { return source_->schema(); }
  arrow::Status ReadNext(std::shared_ptr<arrow::RecordBatch>* batch) override {
    if (held_.empty() && !failure_.ok()) return failure_;
    if (held_.empty() && ended_) {
      batch->reset();
      return arrow::Status::OK();
    }
    if (held_.empty()) return source_->ReadNext(batch);
    *batch = std::move(held_.front());
    held_.pop_front();
    return arrow::Status::OK();
  }
  arrow::Status Close() override { return source_->Close(); }

 private:
  std::shared_ptr<arrow::RecordBatchReader> source_;
  std::deque<std::shared_ptr<arrow::RecordBatch>> held_;
  arrow::Status failure_;
  bool ended_;
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
  read_failure_ = arrow::Status::OK();
  ended_ = false;
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
  ARROW_RETURN_NOT_OK(read_failure_);
  for (;;) {
    std::shared_ptr<arrow::RecordBatch> batch;
    ARROW_RETURN_NOT_OK(reader_->ReadNext(&batch));
    if (batch == nullptr) return nullptr;
    held_.push_back(batch);
    if (batch->num_rows() > 0) return batch;
  }
}

int64_t BoundData::PeekRows(int64_t rows) {
  if (!Open().ok()) return 0;  // Take reports why
  int64_t held = 0;
  for (const auto& batch : held_) held += batch->num_rows();
  while (held < rows && read_failure_.ok() && !ended_) {
    std::shared_ptr<arrow::RecordBatch> batch;
    read_failure_ = reader_->ReadNext(&batch);
    if (!read_failure_.ok()) break;
    if (batch == nullptr) {
      ended_ = true;
      break;
    }
    held += batch->num_rows();
    held_.push_back(std::move(batch));
  }
  return held;
}

arrow::Result<std::shared_ptr<arrow::RecordBatchReader>> BoundData::Take() {
  const arrow::Status opened = Open();
  std::shared_ptr<arrow::RecordBatchReader> reader = std::move(reader_);
  std::deque<std::shared_ptr<arrow::RecordBatch>> held = std::move(held_);
  arrow::Status failure = std::move(read_failure_);
  const bool ended = ended_;
  Clear();
  ARROW_RETURN_NOT_OK(opened);
  if (held.empty() && failure.ok() && !ended) return reader;
  return std::make_shared<ReplayReader>(std::move(reader), std::move(held), std::move(failure),
                                        ended);
}

}  // namespace norvale::adbc
