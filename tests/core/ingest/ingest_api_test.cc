// The ingest functions without a server: argument checks, call order, and the failures that
// happen before or instead of any request.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/connection_internal.h"
#include "norvale/nv_ingest.h"

namespace {

struct HandleDeleter {
  void operator()(NVIngestHandle* h) const { nv_ingest_free(h); }
};
using HandlePtr = std::unique_ptr<NVIngestHandle, HandleDeleter>;

NVIngestConfig config(const char* table, int32_t mode, int32_t format) {
  NVIngestConfig cfg{};
  cfg.target_table = table;
  cfg.mode = mode;
  cfg.payload_format = format;
  cfg.coerce = 1;
  return cfg;
}

class IngestApiTest : public ::testing::Test {
 protected:
  void SetUp() override { conn_.session_token = "tok"; }

  HandlePtr Begin(const NVIngestConfig& cfg) {
    NVIngestHandle* h = nullptr;
    char err[256] = "unchanged";
    EXPECT_EQ(nv_ingest_begin(&conn_, &cfg, &h, err, sizeof err), 0) << err;
    return HandlePtr(h);
  }

  NVConnection conn_;  // no compute URL: the worker fails without a request
};

TEST_F(IngestApiTest, BeginChecksInOrder) {
  const char* keys[] = {"id"};
  const char* null_keys[] = {nullptr, nullptr};
  NVIngestConfig upsert_no_keys = config("t", NV_INGEST_MODE_UPSERT, 0);
  NVIngestConfig upsert_null_keys = config("t", NV_INGEST_MODE_UPSERT, 0);
  upsert_null_keys.key_columns = null_keys;
  upsert_null_keys.key_column_count = 2;
  NVIngestConfig upsert_parquet = config("t", NV_INGEST_MODE_UPSERT, NV_INGEST_FORMAT_PARQUET);
  upsert_parquet.key_columns = keys;
  upsert_parquet.key_column_count = 1;
  NVIngestConfig upsert_parquet_no_table = upsert_parquet;
  upsert_parquet_no_table.target_table = "";
  NVIngestConfig land_no_location = config(nullptr, NV_INGEST_MODE_LAND, 1);
  NVIngestConfig bad_mode = config("t", 7, 0);
  NVIngestConfig bad_format = config("t", 0, 2);
  NVIngestConfig ok = config("t", 0, 0);

  NVConnection no_token;
  NVConnection crlf_token;
  crlf_token.session_token = "a\r\nX-Evil: 1";
  NVIngestHandle* out = nullptr;
  struct Case {
    NVConnection* conn;
    const NVIngestConfig* cfg;
    NVIngestHandle** out;
    const char* message;
  };
  const Case cases[] = {
      {nullptr, &ok, &out, "nv_ingest_begin: conn is NULL"},
      {&conn_, nullptr, &out, "nv_ingest_begin: cfg is NULL"},
      {&conn_, &ok, nullptr, "nv_ingest_begin: out is NULL"},
      {&no_token, &ok, &out, "nv_ingest_begin: connection has no session token"},
      {&crlf_token, &ok, &out,
       "nv_ingest_begin: session token contains forbidden control characters"},
      {&conn_, &upsert_parquet_no_table, &out,
       "nv_ingest_begin: target_table required for append/upsert/overwrite"},
      {&conn_, &upsert_no_keys, &out, "nv_ingest_begin: key_columns required for upsert mode"},
      {&conn_, &upsert_null_keys, &out, "nv_ingest_begin: key_columns required for upsert mode"},
      {&conn_, &land_no_location, &out, "nv_ingest_begin: target_location required for land mode"},
      {&conn_, &upsert_parquet, &out,
       "nv_ingest_begin: payload_format=parquet does not support mode=upsert"},
      {&conn_, &bad_mode, &out,
       "nv_ingest_begin: mode must be 0 (append), 1 (upsert), 2 (overwrite) or 3 (land)"},
      {&conn_, &bad_format, &out,
       "nv_ingest_begin: payload_format must be 0 (arrow_ipc) or 1 (parquet)"},
  };
  for (const Case& c : cases) {
    char err[256] = "";
    EXPECT_EQ(nv_ingest_begin(c.conn, c.cfg, c.out, err, sizeof err), -1);
    EXPECT_STREQ(err, c.message);
    EXPECT_EQ(out, nullptr);
  }
  // The message is cut to the buffer and terminated; a null buffer receives nothing.
  char small[8];
  std::memset(small, 'z', sizeof small);
  EXPECT_EQ(nv_ingest_begin(nullptr, &ok, &out, small, sizeof small), -1);
  EXPECT_STREQ(small, "nv_inge");
  EXPECT_EQ(nv_ingest_begin(nullptr, &ok, &out, nullptr, 100), -1);
}

TEST_F(IngestApiTest, NullHandlesAreRefused) {
  const char byte = 1;
  NVIngestSummary s{};
  EXPECT_EQ(nv_ingest_push_schema(nullptr, &byte, 1), -1);
  EXPECT_EQ(nv_ingest_push_batch(nullptr, &byte, 1), -1);
  EXPECT_EQ(nv_ingest_finish(nullptr, &s), -1);
  EXPECT_EQ(nv_ingest_cancel(nullptr), -1);
  EXPECT_EQ(nv_ingest_last_error(nullptr), nullptr);
  nv_ingest_summary_free(nullptr);
  nv_ingest_free(nullptr);
}

TEST_F(IngestApiTest, BeginCopiesTheConfiguration) {
  std::string table = "t";
  std::vector<char> key = {'i', 'd', '\0'};
  const char* keys[] = {key.data()};
  NVIngestConfig cfg = config(table.c_str(), NV_INGEST_MODE_UPSERT, 0);
  cfg.key_columns = keys;
  cfg.key_column_count = 1;
  HandlePtr h = Begin(cfg);
  table = "changed";
  key[0] = 'X';
  EXPECT_EQ(nv_ingest_last_error(h.get()), nullptr);
}

TEST_F(IngestApiTest, SchemaAndBatchOrder) {
  HandlePtr h = Begin(config("t", 0, NV_INGEST_FORMAT_ARROW_IPC));
  const char payload[] = "ipc";
  EXPECT_EQ(nv_ingest_push_schema(h.get(), payload, 0), -1);
  EXPECT_STREQ(nv_ingest_last_error(h.get()), "nv_ingest_push_schema: empty schema");
  EXPECT_EQ(nv_ingest_push_batch(h.get(), nullptr, 3), -1);
  EXPECT_STREQ(nv_ingest_last_error(h.get()), "nv_ingest_push_batch: empty payload");
  EXPECT_EQ(nv_ingest_push_batch(h.get(), payload, 3), -1);
  EXPECT_STREQ(nv_ingest_last_error(h.get()),
               "nv_ingest_push_batch: arrow_ipc requires nv_ingest_push_schema first");
  EXPECT_EQ(nv_ingest_push_schema(h.get(), payload, 3), 0);
  EXPECT_EQ(nv_ingest_push_schema(h.get(), payload, 2), 0);  // replaces the earlier bytes
  // The worker finds no compute URL: the push either is queued before it ends or is refused.
  const int rc = nv_ingest_push_batch(h.get(), payload, 3);
  EXPECT_EQ(nv_ingest_push_schema(h.get(), payload, 3), -1);
  EXPECT_STREQ(nv_ingest_last_error(h.get()),
               "nv_ingest_push_schema must be called before first push_batch");
  NVIngestSummary s;
  std::memset(&s, 0x5A, sizeof s);
  EXPECT_EQ(nv_ingest_finish(h.get(), &s), -1);
  EXPECT_STREQ(s.sqlstate, "08001");
  EXPECT_STREQ(s.error_message, "nv_ingest worker: connection has no compute URL");
  EXPECT_EQ(s.commit_version, -1);
  EXPECT_EQ(s.rows_inserted, 0);
  EXPECT_EQ(s.landed_paths, nullptr);
  (void)rc;
}

TEST_F(IngestApiTest, PushAfterWorkerEndsFails) {
  HandlePtr h = Begin(config("t", 0, NV_INGEST_FORMAT_PARQUET));
  const char payload[] = "PAR1";
  // Without a compute URL the worker ends at once; some push soon finds it gone.
  int rc = 0;
  for (int i = 0; i < 1000 && rc == 0; ++i) rc = nv_ingest_push_batch(h.get(), payload, 4);
  ASSERT_EQ(rc, -1);
  EXPECT_STREQ(nv_ingest_last_error(h.get()), "nv_ingest worker: connection has no compute URL");
}

TEST_F(IngestApiTest, ParquetIgnoresTheSchema) {
  HandlePtr h = Begin(config("t", 0, NV_INGEST_FORMAT_PARQUET));
  EXPECT_EQ(nv_ingest_push_schema(h.get(), nullptr, 0), 0);
  EXPECT_EQ(nv_ingest_last_error(h.get()), nullptr);
}

TEST_F(IngestApiTest, EmptyArrowIngestFailsWithoutRequest) {
  HandlePtr h = Begin(config("t", 0, NV_INGEST_FORMAT_ARROW_IPC));
  NVIngestSummary s{};
  EXPECT_EQ(nv_ingest_finish(h.get(), &s), -1);
  EXPECT_STREQ(s.sqlstate, "22023");
  EXPECT_STREQ(s.error_message, "nv_ingest_finish: arrow_ipc ingest with no schema and no batches");
}

TEST_F(IngestApiTest, FinishStatesAndNullSummary) {
  HandlePtr h = Begin(config("t", 0, NV_INGEST_FORMAT_PARQUET));
  EXPECT_EQ(nv_ingest_finish(h.get(), nullptr), -1);
  EXPECT_STREQ(nv_ingest_last_error(h.get()), "nv_ingest_finish: out summary is NULL");
  NVIngestSummary s{};
  EXPECT_EQ(nv_ingest_finish(h.get(), &s), -1);  // manifest-only, worker has no URL
  EXPECT_STREQ(s.sqlstate, "08001");
  EXPECT_EQ(nv_ingest_finish(h.get(), &s), -1);
  EXPECT_STREQ(s.sqlstate, "HY010");
  EXPECT_STREQ(s.error_message, "nv_ingest_finish: ingest already finished");
  const char payload[] = "x";
  EXPECT_EQ(nv_ingest_push_batch(h.get(), payload, 1), -1);
  EXPECT_STREQ(nv_ingest_last_error(h.get()), "nv_ingest_push_batch: ingest already finished");
}

TEST_F(IngestApiTest, CancelBeforeAndAfterStart) {
  HandlePtr idle = Begin(config("t", 0, NV_INGEST_FORMAT_PARQUET));
  EXPECT_EQ(nv_ingest_cancel(idle.get()), 0);
  EXPECT_STREQ(nv_ingest_last_error(idle.get()), "Ingest cancelled by client");
  const char payload[] = "x";
  EXPECT_EQ(nv_ingest_push_batch(idle.get(), payload, 1), -1);
  EXPECT_STREQ(nv_ingest_last_error(idle.get()), "nv_ingest_push_batch: ingest was cancelled");
  NVIngestSummary s{};
  EXPECT_EQ(nv_ingest_finish(idle.get(), &s), -1);
  EXPECT_STREQ(s.sqlstate, "HY008");
  EXPECT_EQ(nv_ingest_cancel(idle.get()), 0);  // repeated cancel is harmless

  HandlePtr started = Begin(config("t", 0, NV_INGEST_FORMAT_PARQUET));
  (void)nv_ingest_push_batch(started.get(), payload, 1);
  EXPECT_EQ(nv_ingest_cancel(started.get()), 0);
  EXPECT_NE(nv_ingest_last_error(started.get()), nullptr);
}

TEST_F(IngestApiTest, FreeWithoutFinishJoinsTheWorker) {
  for (int i = 0; i < 50; ++i) {
    HandlePtr h = Begin(config("t", 0, NV_INGEST_FORMAT_PARQUET));
    const char payload[] = "x";
    (void)nv_ingest_push_batch(h.get(), payload, 1);
  }  // nv_ingest_free cancels and joins; a leaked thread would abort the process here
}

TEST_F(IngestApiTest, SummaryFreeReleasesOnlyThePaths) {
  NVIngestSummary s{};
  s.rows_inserted = 5;
  s.landed_path_count = 2;
  s.landed_paths = static_cast<char**>(std::calloc(2, sizeof(char*)));
  s.landed_paths[0] = strdup("a");
  s.landed_paths[1] = strdup("b");
  std::strcpy(s.sqlstate, "00000");
  nv_ingest_summary_free(&s);
  EXPECT_EQ(s.landed_paths, nullptr);
  EXPECT_EQ(s.landed_path_count, 0);
  EXPECT_EQ(s.rows_inserted, 5);
  EXPECT_STREQ(s.sqlstate, "00000");
  nv_ingest_summary_free(&s);
}

}  // namespace

namespace {

TEST_F(IngestApiTest, OversizedPayloadIsRefusedBeforeCopying) {
  HandlePtr h = Begin(config("t", 0, NV_INGEST_FORMAT_PARQUET));
  const char payload[] = "x";
  // The length alone decides; the bytes behind it are never read.
  EXPECT_EQ(nv_ingest_push_batch(h.get(), payload, size_t{268435449}), -1);
  EXPECT_STREQ(nv_ingest_last_error(h.get()),
               "nv_ingest_push_batch: payload of 268435449 bytes exceeds the frame limit of "
               "268435448 bytes");
}

}  // namespace
