// The result stream over query handles fed frame by frame (no network).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <arrow/c/bridge.h>

#include "adbc/result_stream_internal.h"
#include "adbc/status_internal.h"
#include "tests/core/frame_builder.h"
#include "tests/core/query_test_util.h"

namespace {

using nv_test::batch_payload;
using nv_test::eos_payload;
using nv_test::feed;
using nv_test::ipc_stream;

std::string data_frame(int64_t rows, int64_t start = 0) {
  return batch_payload(0, ipc_stream(nv_test::int_schema(), nv_test::int_batch(rows, start)));
}

std::string init_with_schema() {
  return R"({"resultSets":[{"schemaIpc":")" +
         norvale::base64_encode(ipc_stream(nv_test::int_schema(), nullptr)) + "\"}]}";
}

struct Stream {
  ArrowArrayStream s{};
  explicit Stream(NVQueryHandle* q) {
    AdbcError error{};
    EXPECT_EQ(nv_adbc_stream_init(&s, q, &error), ADBC_STATUS_OK);
  }
  ~Stream() {
    if (s.release != nullptr) s.release(&s);
  }
  // Row counts from get_next until the end, or "error: ..." with get_last_error's text.
  std::vector<std::string> drain() {
    std::vector<std::string> seen;
    for (;;) {
      ArrowArray array{};
      const int rc = s.get_next(&s, &array);
      if (rc != 0) {
        const char* msg = s.get_last_error(&s);
        seen.push_back("error " + std::to_string(rc) + ": " + (msg ? msg : "(none)"));
        return seen;
      }
      if (array.release == nullptr) {
        seen.push_back("end");
        return seen;
      }
      seen.push_back(std::to_string(array.length));
      array.release(&array);
    }
  }
};

TEST(ResultStream, EndBeforeAnySchemaGivesEmptyStruct) {
  NVQueryHandle* q = nv_test::bare_query();
  feed(q, NV_FRAME_INIT, R"({"resultSets":[{}]})");
  feed(q, NV_FRAME_EOS, eos_payload(0));
  Stream stream(q);
  ArrowSchema schema{};
  ASSERT_EQ(stream.s.get_schema(&stream.s, &schema), 0);
  EXPECT_STREQ(schema.format, "+s");
  EXPECT_EQ(schema.n_children, 0);
  ASSERT_NE(schema.release, nullptr);
  schema.release(&schema);
  EXPECT_EQ(schema.release, nullptr);
  EXPECT_EQ(stream.drain(), (std::vector<std::string>{"end"}));
}

TEST(ResultStream, SchemaWithoutRows) {
  NVQueryHandle* q = nv_test::bare_query();
  feed(q, NV_FRAME_INIT, init_with_schema());
  feed(q, NV_FRAME_EOS, eos_payload(0));
  Stream stream(q);
  ArrowSchema schema{};
  ASSERT_EQ(stream.s.get_schema(&stream.s, &schema), 0);
  auto imported = arrow::ImportSchema(&schema);
  ASSERT_TRUE(imported.ok());
  EXPECT_TRUE((*imported)->Equals(*nv_test::int_schema()));
  EXPECT_EQ(stream.drain(), (std::vector<std::string>{"end"})) << "the zero-row batch is skipped";
}

TEST(ResultStream, ZeroRowCarriersAreSkippedAndGetNextWorksAlone) {
  NVQueryHandle* q = nv_test::bare_query(0);
  feed(q, NV_FRAME_INIT, init_with_schema());
  Stream stream(q);
  // The first batch the stream sees is the zero-row prelude; data follows.
  feed(q, NV_FRAME_BATCH, data_frame(0));
  feed(q, NV_FRAME_BATCH, data_frame(3));
  feed(q, NV_FRAME_BATCH, data_frame(0));
  feed(q, NV_FRAME_BATCH, data_frame(2));
  feed(q, NV_FRAME_EOS, eos_payload(0));
  EXPECT_EQ(stream.drain(), (std::vector<std::string>{"3", "2", "end"}));
  EXPECT_EQ(stream.drain(), (std::vector<std::string>{"end"})) << "asking again stays at the end";
}

TEST(ResultStream, HeldBatchIsHandedOutAfterGetSchema) {
  NVQueryHandle* q = nv_test::bare_query(0);
  feed(q, NV_FRAME_BATCH, data_frame(4, 10));
  feed(q, NV_FRAME_BATCH, data_frame(1, 20));
  feed(q, NV_FRAME_EOS, eos_payload(0));
  Stream stream(q);
  ArrowSchema schema{};
  ASSERT_EQ(stream.s.get_schema(&stream.s, &schema), 0);
  schema.release(&schema);
  ArrowArray array{};
  ASSERT_EQ(stream.s.get_next(&stream.s, &array), 0);
  auto batch = arrow::ImportRecordBatch(&array, nv_test::int_schema());
  ASSERT_TRUE(batch.ok());
  EXPECT_EQ((*batch)->num_rows(), 4);
  EXPECT_EQ(std::static_pointer_cast<arrow::Int64Array>((*batch)->column(0))->Value(0), 10);
  EXPECT_EQ(stream.drain(), (std::vector<std::string>{"1", "end"}));
}

TEST(ResultStream, ErrorAfterSomeBatchesIsCutTo511Bytes) {
  NVQueryHandle* q = nv_test::bare_query(0);
  feed(q, NV_FRAME_BATCH, data_frame(2));
  Stream stream(q);
  ArrowArray array{};
  ASSERT_EQ(stream.s.get_next(&stream.s, &array), 0);
  array.release(&array);
  const std::string message(2000, 'e');
  feed(q, NV_FRAME_ERROR, R"({"message":")" + message + "\"}");
  ASSERT_EQ(stream.s.get_next(&stream.s, &array), EIO);
  const std::string cached = stream.s.get_last_error(&stream.s);
  EXPECT_EQ(cached.size(), 511u);
  EXPECT_EQ(cached, ("compute reported error: " + message).substr(0, 511));
  // A failed get_next does not release the stream; get_schema reports the error too.
  ArrowSchema schema{};
  EXPECT_EQ(stream.s.get_schema(&stream.s, &schema), EIO);
}

TEST(ResultStream, NullArgumentsAndDoubleRelease) {
  NVQueryHandle* q = nv_make_local_query_handle(nullptr, nv_test::int_schema(),
                                                {nv_test::int_batch(1)});
  Stream stream(q);
  EXPECT_EQ(stream.s.get_next(&stream.s, nullptr), EINVAL);
  EXPECT_EQ(stream.s.get_schema(&stream.s, nullptr), EINVAL);
  EXPECT_EQ(stream.s.get_last_error(&stream.s), nullptr);
  ArrowArrayStream copy = stream.s;
  stream.s.release(&stream.s);
  EXPECT_EQ(stream.s.release, nullptr);
  EXPECT_EQ(stream.s.private_data, nullptr);
  norvale::adbc::nv_adbc_stream_release(&stream.s);  // finds no state: harmless
  ArrowArray array{};
  EXPECT_EQ(norvale::adbc::nv_adbc_stream_get_next(&stream.s, &array), EINVAL);
  (void)copy;

  AdbcError error{};
  ArrowArrayStream out{};
  EXPECT_EQ(nv_adbc_stream_init(nullptr, q, &error), ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "nv_adbc_stream_init: null output stream");
  error.release(&error);
  EXPECT_EQ(nv_adbc_stream_init(&out, nullptr, &error), ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "nv_adbc_stream_init: null query handle");
  EXPECT_EQ(std::string(error.sqlstate, 5), "HY009");
  error.release(&error);
}

TEST(ResultStream, ExportSingleBatch) {
  ArrowArrayStream out{};
  ASSERT_TRUE(norvale::adbc::export_single_batch(nv_test::int_batch(3), &out).ok());
  auto reader = arrow::ImportRecordBatchReader(&out);
  ASSERT_TRUE(reader.ok());
  auto table = (*reader)->ToTable();
  ASSERT_TRUE(table.ok());
  EXPECT_EQ((*table)->num_rows(), 3);

  AdbcError error{};
  EXPECT_EQ(norvale::adbc::to_adbc(norvale::adbc::export_single_batch(nullptr, &out), &error),
            ADBC_STATUS_INTERNAL);
  EXPECT_STREQ(error.message, "metadata: null record batch");
  EXPECT_EQ(std::string(error.sqlstate, 5), "HY000");
  error.release(&error);
}

TEST(ResultStream, ProfileIsSilentWhenOff) {
  if (norvale::adbc::profile_enabled()) GTEST_SKIP() << "NV_ADBC_PROFILE is set";
  testing::internal::CaptureStderr();
  nv_adbc_profile_reset_and_dump("off");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
