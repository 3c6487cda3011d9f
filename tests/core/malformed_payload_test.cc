// Payloads a server may get wrong, turned into clean errors: a batch whose binary offsets point
// outside its data, and numbers no conversion can hold.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <arrow/api.h>

#include "core/query_batch_internal.h"
#include "core/query_internal.h"
#include "core/route_internal.h"
#include "norvale/nv_cells.h"
#include "norvale/nv_core.h"
#include "tests/core/frame_builder.h"
#include "tests/core/query_test_util.h"

namespace {

// A batch of a good int64 column and a binary column whose second offset was overwritten
// (made with Arrow's builders, then patched: the IPC writer does not check offsets).
std::string corrupted_binary_ipc(int32_t bad_offset) {
  arrow::BinaryBuilder bytes;
  EXPECT_TRUE(bytes.AppendValues({"ab", "cd", "ef"}).ok());
  std::shared_ptr<arrow::Array> binary = bytes.Finish().ValueOrDie();
  auto offsets = std::const_pointer_cast<arrow::Buffer>(binary->data()->buffers[1]);
  int32_t* raw = reinterpret_cast<int32_t*>(offsets->mutable_data());
  raw[1] = bad_offset;
  auto schema =
      arrow::schema({arrow::field("x", arrow::int64()), arrow::field("b", arrow::binary())});
  auto batch = arrow::RecordBatch::Make(schema, 3, {nv_test::int_batch(3)->column(0), binary});
  return nv_test::ipc_stream(schema, batch);
}

TEST(MalformedPayload, CorruptedBinaryOffsetIsRefusedNotRead) {
  for (int32_t bad : {1000000, -7, 5}) {
    NVQueryHandle* q = nv_test::bare_query();
    const std::string payload = nv_test::batch_payload(0, corrupted_binary_ipc(bad));
    ASSERT_EQ(nv_test::feed(q, NV_FRAME_BATCH, payload), 0);
    NVArrowBatch* batch = nv_next_batch(q, nullptr, 0);
    ASSERT_NE(batch, nullptr) << bad;
    char text[8];
    const char* view = nullptr;
    int32_t length = 0;
    const uint8_t* data = nullptr;
    EXPECT_EQ(nv_format_cell(batch, 1, 0, text, sizeof(text)), -1) << bad;
    EXPECT_EQ(nv_batch_string_view(batch, 1, 1, &view, &length), -1) << bad;
    EXPECT_EQ(nv_get_binary(batch, 1, 1, &data, &length), -1) << bad;
    EXPECT_EQ(nv_batch_stage_column(batch, 1, -2 /* SQL_C_BINARY */, 8), NV_STAGE_FAILED) << bad;
    // The well-formed column of the same batch is still readable.
    EXPECT_EQ(nv_format_cell(batch, 0, 2, text, sizeof(text)), 1) << bad;
    EXPECT_STREQ(text, "2");
    nv_batch_free(batch);
    nv_query_close(q);
  }
}

// A batch of one time32 column (01:02:03, 24:00:00, 00:00:00) whose metadata was made one byte
// longer, so that its body, and every buffer in it, starts at an odd address. Well-formed writers
// pad the metadata to 8 bytes; a server that does not must not make the library load an int32
// from an odd address.
std::string misaligned_time32_ipc() {
  auto type = arrow::time32(arrow::TimeUnit::SECOND);
  arrow::Time32Builder builder(type, arrow::default_memory_pool());
  EXPECT_TRUE(builder.AppendValues({3723, 86400, 0}).ok());
  auto schema = arrow::schema({arrow::field("t", type)});
  auto batch = arrow::RecordBatch::Make(schema, 3, {builder.Finish().ValueOrDie()});
  std::string ipc = nv_test::ipc_stream(schema, batch);
  // Each message: 0xFFFFFFFF, the metadata's length, the metadata, then the body.
  auto metadata_length = [&](size_t at) {
    int32_t n = 0;
    std::memcpy(&n, ipc.data() + at + 4, sizeof(n));
    return n;
  };
  const size_t batch_at = 8 + static_cast<size_t>(metadata_length(0));
  const int32_t length = metadata_length(batch_at);
  const int32_t longer = length + 1;
  std::memcpy(&ipc[batch_at + 4], &longer, sizeof(longer));
  ipc.insert(batch_at + 8 + static_cast<size_t>(length), 1, '\0');
  return ipc;
}

TEST(MalformedPayload, MisalignedBufferIsReadFromAnAlignedCopy) {
  NVQueryHandle* q = nv_test::bare_query();
  ASSERT_EQ(nv_test::feed(q, NV_FRAME_BATCH, nv_test::batch_payload(0, misaligned_time32_ipc())),
            0);
  NVArrowBatch* batch = nv_next_batch(q, nullptr, 0);
  ASSERT_NE(batch, nullptr);
  const auto& column = norvale::query_batch_record(batch)->column(0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(column->data()->buffers[1]->data()) % 4, 0u);
  char text[16];
  const char* expected[] = {"01:02:03", "24:00:00", "00:00:00"};
  for (int64_t row = 0; row < 3; ++row) {
    ASSERT_GT(nv_format_cell(batch, 0, row, text, sizeof(text)), 0) << row;
    EXPECT_STREQ(text, expected[row]);
  }
  int32_t raw = 0;
  EXPECT_EQ(nv_get_time32(batch, 0, 1, &raw), 1);
  EXPECT_EQ(raw, 86400);
  nv_batch_free(batch);
  nv_query_close(q);
}

// A decimal scale far beyond any digit count would make every cell's text a run of zeros as long
// as the scale (two gigabytes for a scale near 2^31): such a batch is refused whole, nested
// decimals included, while the widest sensible scale is read.
TEST(MalformedPayload, DecimalScaleBeyondAnyDigitCountIsRefused) {
  struct Case {
    std::shared_ptr<arrow::DataType> type;
    bool refused;
  };
  const Case cases[] = {{arrow::decimal128(38, 76), false},
                        {arrow::decimal128(38, -76), false},
                        {arrow::decimal128(38, 77), true},
                        {arrow::decimal128(10, -2000000000), true},
                        {arrow::list(arrow::decimal256(40, 1 << 30)), true}};
  for (const Case& c : cases) {
    auto schema = arrow::schema({arrow::field("d", c.type)});
    auto empty = arrow::RecordBatch::MakeEmpty(schema).ValueOrDie();
    NVQueryHandle* q = nv_test::bare_query();
    const std::string payload = nv_test::batch_payload(0, nv_test::ipc_stream(schema, empty));
    nv_test::feed(q, NV_FRAME_BATCH, payload);
    const char* error = nv_query_error(q);
    if (c.refused) {
      ASSERT_NE(error, nullptr) << c.type->ToString();
      EXPECT_NE(std::string(error).find("decimal scale"), std::string::npos) << error;
    } else {
      EXPECT_EQ(error, nullptr) << c.type->ToString() << ": " << error;
    }
    nv_query_close(q);
  }
}

TEST(MalformedPayload, RoutePortsOutOfRange) {
  struct Case {
    const char* body;
    const char* error;  // nullptr: accepted
  };
  const Case recommend[] = {
      {R"({"hostname":"h","port":1e300})",
       "recommend response parse error: port 1e+300 out of range"},
      {R"({"hostname":"h","port":-1})", "recommend response parse error: port -1 out of range"},
      {R"({"hostname":"h","port":18446744073709551615})",
       "recommend response parse error: port 18446744073709551615 out of range"},
      {R"({"hostname":"h","port":"8080"})",
       "recommend response parse error: port is not a number"},
      {R"({"hostname":"h","port":8443})", nullptr},
  };
  // Runs `parse` on each case's body: accepted with the route to h:8443, or refused with its error.
  auto check = [](const auto& cases, auto parse) {
    for (const Case& c : cases) {
      NVNodeRoute route{};
      char err[256] = "";
      const int rc = parse(c.body, &route, err, sizeof err);
      if (c.error == nullptr) {
        EXPECT_EQ(rc, 0) << c.body << ": " << err;
        EXPECT_STREQ(route.url, "https://h:8443");
      } else {
        EXPECT_EQ(rc, -1) << c.body;
        EXPECT_STREQ(err, c.error);
      }
      nv_node_route_free(&route);
    }
  };
  check(recommend, [](const char* body, NVNodeRoute* route, char* err, size_t len) {
    return norvale::parse_recommend_response("https://cp", body, route, err, len);
  });
  const Case lookup[] = {
      {R"({"status":"active","hostname":"h","port":1e300})", "compute node 'n' has no port"},
      {R"({"status":"active","hostname":"h","port":4294967297})",
       "compute node 'n' has port 4294967297 out of range"},
      {R"({"status":"active","hostname":"h","port":8443})", nullptr},
  };
  check(lookup, [](const char* body, NVNodeRoute* route, char* err, size_t len) {
    return norvale::parse_lookup_response("https://cp", "n", body, route, err, len);
  });
}

}  // namespace
