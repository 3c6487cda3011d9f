// The owner of a statement's bound data: binding takes the host's stream over, a peek leaves
// the data as they were, taking them reads the host's stream only as the reader is read.
#include "adbc/bound_data_internal.h"

#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace norvale::adbc {
namespace {

std::shared_ptr<arrow::RecordBatch> batch_of(int64_t first, int64_t rows) {
  arrow::Int64Builder ids;
  for (int64_t i = 0; i < rows; ++i) EXPECT_TRUE(ids.Append(first + i).ok());
  return arrow::RecordBatch::Make(arrow::schema({arrow::field("id", arrow::int64())}), rows,
                                  {*ids.Finish()});
}

// A reader that counts the batches asked of it, and may fail at one of them.
class CountingReader : public arrow::RecordBatchReader {
 public:
  CountingReader(std::vector<std::shared_ptr<arrow::RecordBatch>> batches, int* reads,
                 int fail_at = -1)
      : batches_(std::move(batches)), reads_(reads), fail_at_(fail_at) {}
  std::shared_ptr<arrow::Schema> schema() const override { return batch_of(0, 0)->schema(); }
  arrow::Status ReadNext(std::shared_ptr<arrow::RecordBatch>* out) override {
    if (*reads_ == fail_at_) return arrow::Status::IOError("disk gone");
    ++*reads_;
    if (next_ == batches_.size()) {
      out->reset();
      return arrow::Status::OK();
    }
    *out = batches_[next_++];
    return arrow::Status::OK();
  }

 private:
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches_;
  size_t next_ = 0;
  int* reads_;
  int fail_at_;
};

void bind_reader(BoundData& data, std::shared_ptr<arrow::RecordBatchReader> reader) {
  ArrowArrayStream stream{};
  ASSERT_TRUE(arrow::ExportRecordBatchReader(std::move(reader), &stream).ok());
  data.Bind(&stream);
  EXPECT_EQ(stream.release, nullptr) << "the host's stream passes to the owner";
}

std::vector<int64_t> first_ids(arrow::RecordBatchReader& reader) {
  std::vector<int64_t> ids;
  for (;;) {
    std::shared_ptr<arrow::RecordBatch> batch;
    EXPECT_TRUE(reader.ReadNext(&batch).ok());
    if (batch == nullptr) return ids;
    ids.push_back(batch->num_rows() == 0
                      ? -1
                      : std::static_pointer_cast<arrow::Int64Array>(batch->column(0))->Value(0));
  }
}

TEST(BoundData, PeekLeavesTheDataAsTheyWere) {
  int reads = 0;
  BoundData data;
  EXPECT_FALSE(data.bound());
  bind_reader(data, std::make_shared<CountingReader>(
                 std::vector{batch_of(0, 0), batch_of(10, 2), batch_of(20, 3), batch_of(30, 1)},
                 &reads));
  EXPECT_TRUE(data.bound());
  ASSERT_EQ((*data.Schema())->num_fields(), 1);
  EXPECT_EQ(reads, 0) << "the schema costs no batch";

  auto first = data.PeekFirstRows();
  ASSERT_TRUE(first.ok());
  EXPECT_EQ((*first)->num_rows(), 2);
  EXPECT_EQ(reads, 2) << "only the batches up to the first with rows are read";
  EXPECT_EQ((*data.PeekFirstRows())->num_rows(), 2);
  EXPECT_EQ(reads, 2) << "a second peek reads nothing more";

  auto reader = data.Take();
  ASSERT_TRUE(reader.ok());
  EXPECT_FALSE(data.bound()) << "an execution consumes its bind";
  EXPECT_EQ(first_ids(**reader), (std::vector<int64_t>{-1, 10, 20, 30}));
  EXPECT_EQ(reads, 5);
}

TEST(BoundData, TakeReadsTheStreamOnlyAsItIsRead) {
  int reads = 0;
  BoundData data;
  bind_reader(data, std::make_shared<CountingReader>(std::vector{batch_of(0, 1), batch_of(1, 1)},
                                              &reads));
  auto reader = *data.Take();
  EXPECT_EQ(reads, 0);
  std::shared_ptr<arrow::RecordBatch> batch;
  ASSERT_TRUE(reader->ReadNext(&batch).ok());
  EXPECT_EQ(reads, 1);
}

TEST(BoundData, NoRowsAndFailuresAreReported) {
  int reads = 0;
  BoundData empty;
  bind_reader(empty, std::make_shared<CountingReader>(std::vector{batch_of(0, 0)}, &reads));
  auto none = empty.PeekFirstRows();
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(*none, nullptr);

  reads = 0;
  BoundData failing;
  bind_reader(failing, std::make_shared<CountingReader>(std::vector{batch_of(0, 0), batch_of(1, 1)},
                                                 &reads, /*fail_at=*/1));
  auto peeked = failing.PeekFirstRows();
  ASSERT_FALSE(peeked.ok());
  EXPECT_NE(peeked.status().message().find("disk gone"), std::string::npos);
  // What was read before the failure is still handed out, then the failure again.
  auto reader = *failing.Take();
  std::shared_ptr<arrow::RecordBatch> batch;
  ASSERT_TRUE(reader->ReadNext(&batch).ok());
  EXPECT_EQ(batch->num_rows(), 0);
  EXPECT_FALSE(reader->ReadNext(&batch).ok());
}

TEST(BoundData, ReadingAheadKeepsTheRowsTheEndAndAFailureForTheTake) {
  int reads = 0;
  BoundData data;
  bind_reader(data, std::make_shared<CountingReader>(
                        std::vector{batch_of(0, 2), batch_of(10, 0), batch_of(20, 3)}, &reads));
  EXPECT_EQ(data.PeekRows(2), 2);
  EXPECT_EQ(reads, 1) << "no batch beyond the rows asked for";
  EXPECT_EQ(data.PeekRows(4), 5);
  EXPECT_EQ(reads, 3);
  EXPECT_EQ(data.PeekRows(100), 5) << "the data end";
  EXPECT_EQ(reads, 4);
  auto reader = *data.Take();
  EXPECT_EQ(first_ids(*reader), (std::vector<int64_t>{0, -1, 20}));
  EXPECT_EQ(reads, 4) << "the end met ahead is not asked of the stream again";

  reads = 0;
  BoundData failing;
  bind_reader(failing, std::make_shared<CountingReader>(std::vector{batch_of(0, 2), batch_of(5, 2)},
                                                        &reads, /*fail_at=*/1));
  EXPECT_EQ(failing.PeekRows(3), 2);
  auto cut = *failing.Take();
  std::shared_ptr<arrow::RecordBatch> batch;
  ASSERT_TRUE(cut->ReadNext(&batch).ok());
  EXPECT_EQ(batch->num_rows(), 2);
  const arrow::Status failure = cut->ReadNext(&batch);
  EXPECT_NE(failure.message().find("disk gone"), std::string::npos) << failure.ToString();
}

TEST(BoundData, AStreamThatCannotOpenFailsTheTake) {
  struct NoSchema {
    static int get_schema(ArrowArrayStream*, ArrowSchema*) { return EIO; }
    static int get_next(ArrowArrayStream*, ArrowArray*) { return EIO; }
    static const char* get_last_error(ArrowArrayStream*) { return "no schema here"; }
    static void release(ArrowArrayStream* s) { s->release = nullptr; }
  };
  ArrowArrayStream stream{NoSchema::get_schema, NoSchema::get_next, NoSchema::get_last_error,
                          NoSchema::release, nullptr};
  BoundData data;
  data.Bind(&stream);
  EXPECT_FALSE(data.Schema().ok());
  EXPECT_TRUE(data.bound()) << "bound, but unreadable: taking the data says why";
  auto taken = data.Take();
  ASSERT_FALSE(taken.ok());
  EXPECT_NE(taken.status().message().find("no schema here"), std::string::npos)
      << taken.status().ToString();
  EXPECT_FALSE(data.bound());
}

TEST(BoundData, ABindReplacesTheDataBefore) {
  int first_reads = 0, second_reads = 0;
  BoundData data;
  bind_reader(data, std::make_shared<CountingReader>(std::vector{batch_of(1, 1)}, &first_reads));
  bind_reader(data, std::make_shared<CountingReader>(std::vector{batch_of(2, 1)}, &second_reads));
  auto reader = *data.Take();
  EXPECT_EQ(first_ids(*reader), std::vector<int64_t>{2});
  EXPECT_EQ(first_reads, 0);
}

}  // namespace
}  // namespace norvale::adbc
