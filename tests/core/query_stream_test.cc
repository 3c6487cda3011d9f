// The query frame handler and the consumer side of the batch queue, driven frame by frame.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/query_batch_internal.h"
#include "core/query_internal.h"
#include "norvale/nv_stream.h"
#include "tests/core/frame_builder.h"
#include "tests/core/query_test_util.h"
#include "util/base64_internal.h"

namespace {

using nv_test::batch_payload;
using nv_test::eos_payload;
using nv_test::feed;
using nv_test::ipc_stream;

struct QueryCloser {
  void operator()(NVQueryHandle* q) const { nv_query_close(q); }
};
using QueryPtr = std::unique_ptr<NVQueryHandle, QueryCloser>;

std::string init_with_schema(const std::string& extra = "") {
  const std::string ipc = ipc_stream(nv_test::int_schema(), nullptr);
  return R"({"streamId":"s-1","resultSets":[{"schemaIpc":")" + norvale::base64_encode(ipc) + "\"" +
         extra + "}]}";
}

std::string data_batch(int64_t rows, int64_t start = 0) {
  return batch_payload(0, ipc_stream(nv_test::int_schema(), nv_test::int_batch(rows, start)));
}

// What the consumer sees: row counts of the batches handed out, then "end" or the error.
std::vector<std::string> drain(NVQueryHandle* q) {
  std::vector<std::string> seen;
  for (;;) {
    char err[256] = "untouched";
    NVArrowBatch* b = nv_next_batch(q, err, sizeof err);
    if (b == nullptr) {
      seen.push_back(std::string(err) == "untouched" ? "end" : std::string("error: ") + err);
      return seen;
    }
    seen.push_back(std::to_string(norvale::query_batch_record(b)->num_rows()));
    nv_batch_free(b);
  }
}

TEST(QueryStream, SchemaPreludeFromInitBeforeData) {
  QueryPtr q(nv_test::bare_query());
  ASSERT_EQ(feed(q.get(), NV_FRAME_INIT, init_with_schema()), 0);
  EXPECT_EQ(q->stream_id, "s-1");
  char err[64] = "";
  NVArrowBatch* prelude = nv_next_batch(q.get(), err, sizeof err);
  ASSERT_NE(prelude, nullptr) << err;
  EXPECT_EQ(norvale::query_batch_record(prelude)->num_rows(), 0);
  EXPECT_TRUE(norvale::query_batch_record(prelude)->schema()->Equals(*nv_test::int_schema()));
  nv_batch_free(prelude);

  ASSERT_EQ(feed(q.get(), NV_FRAME_BATCH, data_batch(3)), 0);
  ASSERT_EQ(feed(q.get(), NV_FRAME_EOS, eos_payload(0)), 0);
  EXPECT_EQ(drain(q.get()), (std::vector<std::string>{"3", "end"}))
      << "no zero-row batch follows the last data batch";
}

TEST(QueryStream, SchemaOnlyFromFirstBatch) {
  QueryPtr q(nv_test::bare_query());
  ASSERT_EQ(feed(q.get(), NV_FRAME_INIT, R"({"resultSets":[{}]})"), 0);
  ASSERT_EQ(feed(q.get(), NV_FRAME_BATCH, data_batch(2)), 0);
  ASSERT_EQ(feed(q.get(), NV_FRAME_BATCH, data_batch(5)), 0);
  ASSERT_EQ(feed(q.get(), NV_FRAME_EOS, eos_payload(0)), 0);
  EXPECT_EQ(drain(q.get()), (std::vector<std::string>{"2", "5", "0", "end"}));
}

TEST(QueryStream, SchemaWithoutRows) {
  QueryPtr q(nv_test::bare_query());
  ASSERT_EQ(feed(q.get(), NV_FRAME_INIT, init_with_schema()), 0);
  ASSERT_EQ(feed(q.get(), NV_FRAME_EOS, eos_payload(0)), 0);
  EXPECT_EQ(drain(q.get()), (std::vector<std::string>{"0", "end"}));
  EXPECT_EQ(drain(q.get()), (std::vector<std::string>{"end"}));
}

TEST(QueryStream, SchemaOnlyIpcInBatchFrame) {
  QueryPtr q(nv_test::bare_query());
  const std::string schema_only = ipc_stream(nv_test::int_schema(), nullptr);
  ASSERT_EQ(feed(q.get(), NV_FRAME_BATCH, batch_payload(0, schema_only)), 0);
  EXPECT_NE(q->schema, nullptr) << "the schema of a batch-less IPC stream is taken over";
  EXPECT_EQ(nv_test::queued(q.get()), 0u);
}

TEST(QueryStream, ErrorWinsOverQueuedBatches) {
  QueryPtr q(nv_test::bare_query());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(feed(q.get(), NV_FRAME_BATCH, data_batch(1)), 0);
  ASSERT_EQ(feed(q.get(), NV_FRAME_ERROR, R"j({"message":"disk on fire (code: 7)"})j"), 1);
  EXPECT_EQ(drain(q.get()),
            (std::vector<std::string>{"error: compute reported error: disk on fire (code: 7)"}));
  EXPECT_EQ(nv_query_native_error(q.get()), 7);
  EXPECT_EQ(nv_query_sqlstate(q.get()), nullptr);
  // Cancel after an error keeps the first error.
  EXPECT_EQ(nv_query_cancel(q.get()), 0);
  EXPECT_STREQ(nv_query_error(q.get()), "compute reported error: disk on fire (code: 7)");
  EXPECT_EQ(nv_query_cancelled(q.get()), 1);
}

// An ERROR frame's code chooses the SQLSTATE as an error answer's code does, so that a failure
// in the middle of a result reaches the host with one.
TEST(QueryStream, ErrorFrameCodeChoosesTheSqlstate) {
  struct Case {
    std::string payload;
    const char* sqlstate;  // nullptr: none
  };
  const Case cases[] = {
      {R"({"message":"division by zero","code":"INTERNAL_ERROR"})", "22012"},
      {R"({"message":"Cast error: 'x' to INT","code":"INTERNAL_ERROR"})", "22018"},
      {R"({"message":"Table t does not exist","code":"MISSING_OBJECT"})", "42S02"},
      {R"({"message":"duplicate key","code":"INTEGRITY_VIOLATION"})", "23000"},
      {R"({"message":"syntax error at or near x","code":"QUERY_ERROR"})", "42000"},
      {R"({"message":"syntax error at or near x"})", "42000"},
      {R"({"message":"injected failure","code":"INTERNAL_ERROR"})", nullptr},
      {R"({"message":"overloaded","code":"SOMETHING_NEW"})", nullptr},
      {"plain text: no such table", "42S02"},
      {"disk on fire", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    QueryPtr q(nv_test::bare_query());
    ASSERT_EQ(feed(q.get(), NV_FRAME_ERROR, c.payload), 1);
    const char* sqlstate = nv_query_sqlstate(q.get());
    if (c.sqlstate == nullptr) {
      EXPECT_EQ(sqlstate, nullptr);
    } else {
      ASSERT_NE(sqlstate, nullptr);
      EXPECT_STREQ(sqlstate, c.sqlstate);
    }
  }
}

TEST(QueryStream, StreamIdComesFromTheFirstInitFrame) {
  QueryPtr q(nv_test::bare_query());
  EXPECT_EQ(nv_query_stream_id(q.get()), nullptr);
  EXPECT_EQ(nv_query_http_status(q.get()), 0);
  ASSERT_EQ(feed(q.get(), NV_FRAME_INIT, R"({"streamId":"qs-1","resultSets":[]})"), 0);
  const char* first = nv_query_stream_id(q.get());
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first, "qs-1");
  // A later INIT frame changes nothing: the text handed out stays valid.
  ASSERT_EQ(feed(q.get(), NV_FRAME_INIT, R"({"streamId":"qs-2","resultSets":[]})"), 0);
  EXPECT_EQ(nv_query_stream_id(q.get()), first);
  EXPECT_STREQ(first, "qs-1");
  EXPECT_EQ(nv_query_stream_id(nullptr), nullptr);
  EXPECT_EQ(nv_query_http_status(nullptr), 0);
}

TEST(QueryStream, FrameCases) {
  struct Case {
    const char* name;
    uint8_t type;
    std::string payload;
    int rc;
    const char* error;  // nullptr: none recorded
    int32_t native;
  };
  const std::vector<Case> cases = {
      {"plain text error", NV_FRAME_ERROR, "boom happened (code: 42)", 1,
       "compute reported error: boom happened (code: 42)", 42},
      {"error member", NV_FRAME_ERROR, R"({"error":"bad"})", 1, "compute reported error: bad", 0},
      {"json without message", NV_FRAME_ERROR, R"({"x":1})", 1,
       R"(compute reported error: {"x":1})", 0},
      {"short batch", NV_FRAME_BATCH, "1234567", 1, "BATCH frame truncated (header < 8 bytes)", 0},
      {"header-only batch", NV_FRAME_BATCH, batch_payload(0, ""), 0, nullptr, 0},
      {"garbage ipc", NV_FRAME_BATCH, batch_payload(0, "not arrow at all"), 1,
       "IPC decode (batch): ", 0},
      {"short eos", NV_FRAME_EOS, "abc", 1, "EOS frame truncated (header < 4 bytes)", 0},
      {"unknown type", 9, "whatever", 0, nullptr, 0},
      {"type zero", 0, "", 0, nullptr, 0},
      {"trace", NV_FRAME_TRACE, "planning took 3ms", 0, nullptr, 0},
      {"init not json", NV_FRAME_INIT, "{nope", 1, "frame parse failure: ", 0},
      {"init result sets a string", NV_FRAME_INIT, R"({"resultSets":"abc"})", 1,
       "frame parse failure: ", 0},
      {"init result sets an object", NV_FRAME_INIT, R"({"resultSets":{"a":1}})", 1,
       "frame parse failure: ", 0},
      {"init result sets a number", NV_FRAME_INIT, R"({"resultSets":3})", 1,
       "frame parse failure: ", 0},
      {"init empty result sets", NV_FRAME_INIT, R"({"resultSets":[]})", 0, nullptr, 0},
      {"init null result sets", NV_FRAME_INIT, R"({"resultSets":null})", 0, nullptr, 0},
      {"init empty object result sets", NV_FRAME_INIT, R"({"resultSets":{}})", 0, nullptr, 0},
      {"init bad base64 ignored", NV_FRAME_INIT, R"({"resultSets":[{"schemaIpc":"a b="}]})", 0,
       nullptr, 0},
      {"init undecodable schema", NV_FRAME_INIT,
       R"({"resultSets":[{"schemaIpc":")" + norvale::base64_encode("junkjunk") + "\"}]}", 0, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QueryPtr q(nv_test::bare_query());
    EXPECT_EQ(feed(q.get(), c.type, c.payload), c.rc);
    const char* error = nv_query_error(q.get());
    if (c.error == nullptr) {
      EXPECT_EQ(error, nullptr) << error;
      EXPECT_FALSE(q->done.load());
    } else {
      ASSERT_NE(error, nullptr);
      EXPECT_TRUE(std::string(error).starts_with(c.error)) << error;
      EXPECT_EQ(nv_query_native_error(q.get()), c.native);
      EXPECT_TRUE(q->done.load());
    }
    EXPECT_EQ(q->schema, nullptr);
  }
}

TEST(QueryStream, BatchesArriveStagedWithTheSignature) {
  QueryPtr q(nv_test::bare_query());
  ASSERT_EQ(feed(q.get(), NV_FRAME_BATCH, data_batch(2)), 0);
  const NVStagingEntry entries[] = {{1, -25 /* SQL_C_SBIGINT */, 7}, {1, 4 /* SQL_C_LONG */, 0}};
  nv_query_set_staging_signature(q.get(), entries, 1);
  ASSERT_EQ(feed(q.get(), NV_FRAME_BATCH, data_batch(2, 40)), 0);
  nv_query_set_staging_signature(q.get(), entries + 1, 1);
  ASSERT_EQ(feed(q.get(), NV_FRAME_BATCH, data_batch(2, 50)), 0);
  nv_query_set_staging_signature(q.get(), nullptr, 0);
  ASSERT_EQ(feed(q.get(), NV_FRAME_BATCH, data_batch(2, 60)), 0);

  const void* values = nullptr;
  int64_t stride = 0;
  const uint8_t* bitmap = nullptr;
  int64_t bit_offset = 0;
  struct Expected {
    int status;
    int64_t stride;
    int64_t second;
  };
  const Expected expected[] = {{0, 0, 0}, {1, 8, 41}, {1, 4, 51}, {0, 0, 0}};
  for (const auto& e : expected) {
    NVArrowBatch* b = nv_next_batch(q.get(), nullptr, 0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(nv_batch_get_staged(b, 0, &values, &stride, &bitmap, &bit_offset), e.status);
    EXPECT_EQ(stride, e.stride);
    if (e.stride == 8) {
      EXPECT_EQ(static_cast<const int64_t*>(values)[1], e.second);
    } else if (e.stride == 4) {
      EXPECT_EQ(static_cast<const int32_t*>(values)[1], e.second);
    }
    nv_batch_free(b);
  }
}

TEST(QueryStream, EosOnlyForResultSetZero) {
  QueryPtr q(nv_test::bare_query());
  ASSERT_EQ(feed(q.get(), NV_FRAME_EOS, eos_payload(2)), 0);
  EXPECT_FALSE(q->done.load());
  ASSERT_EQ(feed(q.get(), NV_FRAME_EOS, eos_payload(0)), 0);
  EXPECT_TRUE(q->done.load());
  EXPECT_EQ(nv_query_error(q.get()), nullptr);
}

TEST(QueryStream, OtherResultSetsWarnOnce) {
  QueryPtr q(nv_test::bare_query());
  testing::internal::CaptureStderr();
  ASSERT_EQ(feed(q.get(), NV_FRAME_BATCH, batch_payload(1, "ignored")), 0);
  ASSERT_EQ(feed(q.get(), NV_FRAME_BATCH, batch_payload(1, "ignored")), 0);
  ASSERT_EQ(feed(q.get(), NV_FRAME_BATCH, batch_payload(3, "ignored")), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "norvale-odbc: dropped batch for resultSetIndex=1 (v1 only handles index 0)\n");
  EXPECT_EQ(nv_test::queued(q.get()), 0u);

  QueryPtr multi(nv_test::bare_query());
  testing::internal::CaptureStderr();
  ASSERT_EQ(feed(multi.get(), NV_FRAME_INIT,
                 R"({"resultSets":[{"rowsAffected":7},{"rowsAffected":8},{}]})"),
            0);
  ASSERT_EQ(feed(multi.get(), NV_FRAME_INIT, R"({"resultSets":[{},{}]})"), 0);
  ASSERT_EQ(feed(multi.get(), NV_FRAME_BATCH, batch_payload(1, "x")), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "norvale-odbc: multi-statement script returned 3 result sets; v1 only surfaces the "
            "first.\n");
  EXPECT_EQ(nv_query_rows_affected(multi.get()), 7);
}

TEST(QueryStream, RowsAffectedTypes) {
  struct Case {
    std::string value;
    int64_t expected;
  };
  const std::vector<Case> cases = {
      {"5", 5}, {"-2", -2}, {"18446744073709551615", INT64_MAX}, {"\"5\"", -1}, {"1.5", -1},
  };
  for (const auto& c : cases) {
    QueryPtr q(nv_test::bare_query());
    ASSERT_EQ(feed(q.get(), NV_FRAME_INIT, R"({"resultSets":[{"rowsAffected":)" + c.value + "}]}"),
              0);
    EXPECT_EQ(nv_query_rows_affected(q.get()), c.expected) << c.value;
  }
}

TEST(QueryStream, CancelledQueryStopsFrames) {
  QueryPtr q(nv_test::bare_query());
  EXPECT_EQ(nv_query_cancel(q.get()), 0);
  EXPECT_EQ(feed(q.get(), NV_FRAME_BATCH, data_batch(1)), 1);
  EXPECT_STREQ(nv_query_error(q.get()), "Query cancelled by client");
  EXPECT_STREQ(nv_query_sqlstate(q.get()), "HY008");
  EXPECT_EQ(drain(q.get()), (std::vector<std::string>{"error: Query cancelled by client"}));
}

TEST(QueryStream, FramesThroughDecoderKeepAssembledPayload) {
  // The same body fed whole and byte by byte yields the same batches, whether the payload is
  // decoded from the caller's chunk or taken over from the decoder's pending buffer.
  std::string body;
  nv_test::append_frame(body, NV_FRAME_INIT, init_with_schema(R"(,"rowsAffected":0)"));
  for (int i = 0; i < 3; ++i) nv_test::append_frame(body, NV_FRAME_BATCH, data_batch(10, i * 10));
  nv_test::append_frame(body, NV_FRAME_EOS, eos_payload(0));
  for (const size_t piece : {body.size(), size_t{1}, size_t{7}}) {
    SCOPED_TRACE(piece);
    QueryPtr q(nv_test::bare_query(0));
    NVFrameDecoder* d = nv_frame_create(norvale::on_frame, q.get());
    q->decoder = d;
    for (size_t pos = 0; pos < body.size(); pos += piece) {
      ASSERT_EQ(nv_frame_feed(d, body.data() + pos, std::min(piece, body.size() - pos)), 0);
    }
    nv_frame_destroy(d);
    q->decoder = nullptr;
    int64_t expected = 0;
    for (int i = 0; i < 3; ++i) {
      NVArrowBatch* b = nv_next_batch(q.get(), nullptr, 0);
      ASSERT_NE(b, nullptr);
      auto values = std::static_pointer_cast<arrow::Int64Array>(
          norvale::query_batch_record(b)->column(0));
      for (int64_t r = 0; r < values->length(); ++r) EXPECT_EQ(values->Value(r), expected++);
      nv_batch_free(b);
    }
    // Data arrived before the consumer asked: the one zero-row batch comes last.
    EXPECT_EQ(drain(q.get()), (std::vector<std::string>{"0", "end"}));
  }
}

TEST(QueryQueue, ProducerWaitsForRoomAndCancelReleasesIt) {
  QueryPtr q(nv_test::bare_query(4));
  std::atomic<int> pushed{0};
  std::thread producer([&] {
    for (int i = 0; i < 5; ++i) {
      feed(q.get(), NV_FRAME_BATCH, data_batch(1, i));
      ++pushed;
    }
  });
  while (pushed.load() < 4) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(pushed.load(), 4) << "the fifth batch waits for room";
  EXPECT_EQ(nv_test::queued(q.get()), 4u);

  NVArrowBatch* first = nv_next_batch(q.get(), nullptr, 0);
  ASSERT_NE(first, nullptr);
  nv_batch_free(first);
  producer.join();
  EXPECT_EQ(nv_test::queued(q.get()), 4u) << "taking one batch made room for the fifth";

  // A sixth batch blocks again; cancelling from a third thread releases and drops it.
  std::thread blocked([&] { feed(q.get(), NV_FRAME_BATCH, data_batch(1, 5)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::thread canceller([&] { nv_query_cancel(q.get()); });
  canceller.join();
  blocked.join();
  EXPECT_EQ(nv_test::queued(q.get()), 4u);
  EXPECT_EQ(drain(q.get()), (std::vector<std::string>{"error: Query cancelled by client"}));
}

TEST(QueryQueue, CloseWhileWorkerBlockedOnFullQueue) {
  NVQueryHandle* q = nv_test::bare_query(1);
  std::atomic<bool> second_returned{false};
  q->worker = norvale::PooledThread([q, &second_returned] {
    feed(q, NV_FRAME_BATCH, data_batch(1));
    feed(q, NV_FRAME_BATCH, data_batch(1));  // blocks: the queue holds one already
    second_returned = true;
  });
  while (nv_test::queued(q) < 1) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(second_returned.load());
  nv_query_close(q);  // must release the worker, join it and free the queued batch
  EXPECT_TRUE(second_returned.load());
}

TEST(QueryQueue, ByteLimitCountsIpcBytes) {
  const std::string frame = data_batch(100);
  const uint64_t weight = frame.size() - 8;
  // Room for one batch and a half: the second waits, and any batch enters an empty queue.
  QueryPtr q(nv_test::bare_query(0, weight + weight / 2));
  std::atomic<int> pushed{0};
  std::thread producer([&] {
    for (int i = 0; i < 2; ++i) {
      feed(q.get(), NV_FRAME_BATCH, frame);
      ++pushed;
    }
  });
  while (pushed.load() < 1) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(pushed.load(), 1);
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    EXPECT_EQ(q->inflight_bytes, weight);
  }
  NVArrowBatch* b = nv_next_batch(q.get(), nullptr, 0);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(norvale::query_batch_weight(b), static_cast<int64_t>(weight));
  nv_batch_free(b);
  producer.join();
  EXPECT_EQ(nv_test::queued(q.get()), 1u);

  QueryPtr tiny(nv_test::bare_query(0, 1));
  ASSERT_EQ(feed(tiny.get(), NV_FRAME_BATCH, frame), 0);
  EXPECT_EQ(nv_test::queued(tiny.get()), 1u) << "an empty queue admits any batch";
}

TEST(QueryQueue, NoLimitsMeansNoWaiting) {
  QueryPtr q(nv_test::bare_query(0, 0));
  for (int i = 0; i < 50; ++i) ASSERT_EQ(feed(q.get(), NV_FRAME_BATCH, data_batch(1)), 0);
  EXPECT_EQ(nv_test::queued(q.get()), 50u);
}

TEST(QueryQueue, ConsumerWaitsForProducer) {
  QueryPtr q(nv_test::bare_query());
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    feed(q.get(), NV_FRAME_BATCH, data_batch(4));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    feed(q.get(), NV_FRAME_EOS, eos_payload(0));
  });
  EXPECT_EQ(drain(q.get()), (std::vector<std::string>{"4", "0", "end"}));
  producer.join();
}

TEST(QueryLocal, FinishedQueryOverBatches) {
  QueryPtr q(nv_make_local_query_handle(nullptr, nv_test::int_schema(),
                                        {nv_test::int_batch(2), nullptr, nv_test::int_batch(3)}));
  ASSERT_NE(q, nullptr);
  EXPECT_TRUE(q->done.load());
  EXPECT_FALSE(q->worker.joinable());
  EXPECT_EQ(nv_query_rows_affected(q.get()), -1);
  EXPECT_EQ(drain(q.get()), (std::vector<std::string>{"2", "3", "0", "end"}));

  QueryPtr empty(nv_make_local_query_handle(nullptr, nv_test::int_schema(), {}));
  EXPECT_EQ(drain(empty.get()), (std::vector<std::string>{"0", "end"}));
}

TEST(QueryApi, NullArguments) {
  char err[64] = "";
  EXPECT_EQ(nv_next_batch(nullptr, err, sizeof err), nullptr);
  EXPECT_STREQ(err, "nv_next_batch: q is NULL");
  EXPECT_EQ(nv_next_batch(nullptr, err, 5), nullptr);
  EXPECT_STREQ(err, "nv_n") << "truncated to the buffer";
  EXPECT_EQ(nv_query_cancel(nullptr), -1);
  nv_query_close(nullptr);
  EXPECT_EQ(nv_query_error(nullptr), nullptr);
  EXPECT_EQ(nv_query_sqlstate(nullptr), nullptr);
  EXPECT_EQ(nv_query_native_error(nullptr), 0);
  EXPECT_EQ(nv_query_cancelled(nullptr), 0);
  EXPECT_EQ(nv_query_rows_affected(nullptr), -1);
  nv_query_set_staging_signature(nullptr, nullptr, 3);
  EXPECT_EQ(nv_execute(nullptr, "SELECT 1", 0, 0, err, sizeof err), nullptr);
  EXPECT_STREQ(err, "nv_execute: conn is NULL");

  char* out = reinterpret_cast<char*>(1);
  EXPECT_EQ(nv_translate_escapes(nullptr, &out, err, sizeof err), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(nv_translate_escapes("x", nullptr, err, sizeof err), -1);
  EXPECT_STREQ(err, "nv_translate_escapes: output pointer is NULL");
  ASSERT_EQ(nv_translate_escapes("{fn NOW()}", &out, err, sizeof err), 0);
  EXPECT_STREQ(out, "{fn NOW()}");
  free(out);
}

TEST(Base64, StrictDecoding) {
  struct Case {
    std::string in;
    bool ok;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"", true, ""},       {"QQ==", true, "A"},  {"QUI=", true, "AB"}, {"QUJD", true, "ABC"},
      {"QUJ", false, ""},   {"Q UJ", false, ""},  {"QQ=A", false, ""}, {"=QUJ", false, ""},
      {"QQ==QUJD", false, ""}, {"QU\nJ", false, ""}, {"QUJ-", false, ""},
  };
  for (const auto& c : cases) {
    const auto got = norvale::base64_decode_strict(c.in);
    EXPECT_EQ(got.has_value(), c.ok) << c.in;
    if (got && c.ok) {
      EXPECT_EQ(*got, c.out) << c.in;
    }
  }
}

}  // namespace
