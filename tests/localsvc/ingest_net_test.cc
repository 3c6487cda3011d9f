#include <curl/curl.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <thread>

#include <arrow/io/file.h>
#include <parquet/arrow/reader.h>
#include <parquet/arrow/writer.h>

#include "tests/localsvc/net_helpers.h"

namespace nv_test {
namespace {

using nlohmann::json;

std::shared_ptr<arrow::RecordBatch> People(const std::vector<int32_t>& ids,
                                           const std::vector<std::string>& names) {
  arrow::Int32Builder ib;
  arrow::StringBuilder sb;
  EXPECT_TRUE(ib.AppendValues(ids).ok());
  EXPECT_TRUE(sb.AppendValues(names).ok());
  auto schema = arrow::schema({arrow::field("id", arrow::int32()), arrow::field("name", arrow::utf8())});
  return arrow::RecordBatch::Make(schema, static_cast<int64_t>(ids.size()),
                                  {ib.Finish().ValueOrDie(), sb.Finish().ValueOrDie()});
}

std::string IpcStream(const std::shared_ptr<arrow::Schema>& schema,
                      const std::shared_ptr<arrow::RecordBatch>& batch) {
  auto sink = arrow::io::BufferOutputStream::Create().ValueOrDie();
  auto writer = arrow::ipc::MakeStreamWriter(sink, schema).ValueOrDie();
  if (batch) {
    EXPECT_TRUE(writer->WriteRecordBatch(*batch).ok());
  }
  EXPECT_TRUE(writer->Close().ok());
  return sink->Finish().ValueOrDie()->ToString();
}

std::string ParquetFile(const std::shared_ptr<arrow::RecordBatch>& batch) {
  auto sink = arrow::io::BufferOutputStream::Create().ValueOrDie();
  auto table = arrow::Table::FromRecordBatches({batch}).ValueOrDie();
  EXPECT_TRUE(parquet::arrow::WriteTable(*table, arrow::default_memory_pool(), sink).ok());
  return sink->Finish().ValueOrDie()->ToString();
}

/// A framed upload: INIT with the manifest, one BATCH per payload, EOS.
std::string Upload(const json& manifest, const std::vector<std::string>& payloads) {
  std::string body = nv_localsvc::make_frame(1, manifest.dump());
  for (const auto& p : payloads) body += nv_localsvc::make_frame(2, std::string(8, '\0') + p);
  body += nv_localsvc::make_frame(3, std::string(4, '\0'));
  return body;
}

struct IngestAnswer {
  long status = 0;
  bool stats = false;
  json body;  // STATS JSON or ERROR JSON
};

IngestAnswer Decode(const HttpReply& r) {
  IngestAnswer a;
  a.status = r.status;
  std::vector<WireFrame> frames;
  EXPECT_TRUE(SplitFrames(r.body, &frames)) << r.body;
  for (const auto& f : frames) {
    if (f.type == 6) {
      a.stats = true;
      a.body = json::parse(f.payload.substr(8), nullptr, false);
    } else if (f.type == 4) {
      a.body = json::parse(f.payload, nullptr, false);
    }
  }
  return a;
}

class IngestTest : public LocalSvcTest {
 public:
  void SetUp() override {
    LocalSvcTest::SetUp();
    token_ = svc().Login();
    ASSERT_FALSE(token_.empty());
  }
  bool svc_sql(const std::string& sql) { return svc().Sql(sql); }
  IngestAnswer Send(const json& manifest, const std::vector<std::string>& payloads) {
    return Decode(svc().Http("POST", svc().node_url() + "/api/v1/ingest/stream",
                             Upload(manifest, payloads), token_,
                             {"Content-Type: application/vnd.norvale.stream.v1"}));
  }
  static json Manifest(const std::string& table, const std::string& mode,
                       const std::shared_ptr<arrow::Schema>& schema) {
    json m = {{"target_table", table}, {"mode", mode}, {"payload_format", "arrow_ipc"},
              {"key_columns", json::array()}, {"coerce", true}};
    if (schema) m["schema_ipc"] = nv_localsvc::base64_encode(IpcStream(schema, nullptr));
    return m;
  }
  int64_t Count(const std::string& sql) {
    QueryStream q = DecodeQueryStream(PostQuery(svc(), token_, sql).body);
    if (q.batches.empty()) return -1;
    return std::static_pointer_cast<arrow::Int64Array>(q.batches[0]->column(0))->Value(0);
  }
  std::string token_;
};

TEST_F(IngestTest, AppendArrowIpcAndParquet) {
  ASSERT_TRUE(svc().Sql("CREATE TABLE ing_append (id INTEGER PRIMARY KEY, name VARCHAR, extra DOUBLE)"));
  auto b1 = People({1, 2, 3}, {"a", "b", "c"});
  auto b2 = People({4, 5}, {"d", "e"});
  IngestAnswer a = Send(Manifest("ing_append", "append", b1->schema()),
                        {IpcStream(b1->schema(), b1), IpcStream(b2->schema(), b2)});
  ASSERT_TRUE(a.stats) << a.body.dump();
  EXPECT_EQ(a.body["rows_inserted"], 5);
  EXPECT_EQ(a.body["rows_updated"], 0);
  EXPECT_EQ(a.body["rows_deleted"], 0);
  EXPECT_TRUE(a.body["commit_version"].is_number_integer());
  EXPECT_TRUE(a.body["duration_ms"].is_number());
  EXPECT_EQ(a.body["landed_paths"], json::array());
  EXPECT_EQ(a.body["idempotent_replay"], false);

  json pq = Manifest("main.ing_append", "append", nullptr);
  pq["payload_format"] = "parquet";
  IngestAnswer p = Send(pq, {ParquetFile(People({6}, {"f"}))});
  ASSERT_TRUE(p.stats) << p.body.dump();
  EXPECT_EQ(p.body["rows_inserted"], 1);
  EXPECT_GT(p.body["commit_version"].get<int64_t>(), a.body["commit_version"].get<int64_t>());
  EXPECT_EQ(Count("SELECT count(*) FROM ing_append WHERE extra IS NULL"), 6);
}

TEST_F(IngestTest, OverwriteReplacesOrCreates) {
  ASSERT_TRUE(svc().Sql("CREATE TABLE ing_over AS SELECT i AS old FROM range(4) t(i)"));
  auto version = [&] {
    return json::parse(svc().Http("GET", svc().control_plane_url() + "/api/v1/events/version",
                                  {}, token_).body)["sequence"].get<uint64_t>();
  };
  uint64_t v0 = version();
  auto b = People({7, 8}, {"x", "y"});
  IngestAnswer a = Send(Manifest("ing_over", "overwrite", b->schema()), {IpcStream(b->schema(), b)});
  ASSERT_TRUE(a.stats) << a.body.dump();
  EXPECT_EQ(a.body["rows_deleted"], 4);
  EXPECT_EQ(a.body["rows_inserted"], 2);
  EXPECT_EQ(Count("SELECT count(*) FROM ing_over WHERE name IN ('x', 'y')"), 2);
  uint64_t v1 = version();
  EXPECT_GT(v1, v0);

  IngestAnswer fresh = Send(Manifest("ing_over_new", "overwrite", b->schema()),
                            {IpcStream(b->schema(), b)});
  ASSERT_TRUE(fresh.stats) << fresh.body.dump();
  EXPECT_EQ(fresh.body["rows_deleted"], 0);
  EXPECT_EQ(Count("SELECT count(*) FROM ing_over_new"), 2);
  EXPECT_GT(version(), v1);
}

TEST_F(IngestTest, UpsertByKeyColumns) {
  ASSERT_TRUE(svc().Sql("CREATE TABLE ing_up (id INTEGER PRIMARY KEY, name VARCHAR);"
                        "INSERT INTO ing_up VALUES (1, 'one'), (2, 'two')"));
  auto b = People({2, 3}, {"TWO", "three"});
  json m = Manifest("ing_up", "upsert", b->schema());
  m["key_columns"] = {"id"};
  IngestAnswer a = Send(m, {IpcStream(b->schema(), b)});
  ASSERT_TRUE(a.stats) << a.body.dump();
  EXPECT_EQ(a.body["rows_updated"], 1);
  EXPECT_EQ(a.body["rows_inserted"], 1);
  EXPECT_EQ(Count("SELECT count(*) FROM ing_up"), 3);
  EXPECT_EQ(Count("SELECT count(*) FROM ing_up WHERE id = 2 AND name = 'TWO'"), 1);

  auto dup = People({5, 5}, {"a", "b"});
  IngestAnswer d = Send(m, {IpcStream(dup->schema(), dup)});
  EXPECT_FALSE(d.stats);
  EXPECT_EQ(d.body["sqlstate"], "23000") << d.body.dump();
  EXPECT_EQ(Count("SELECT count(*) FROM ing_up"), 3);
}

TEST_F(IngestTest, LandWritesParquetFiles) {
  auto b = People({1, 2, 3}, {"a", "b", "c"});
  json m = {{"target_location", "exports/people"}, {"mode", "land"},
            {"payload_format", "parquet"}, {"key_columns", json::array()}, {"coerce", true}};
  IngestAnswer a = Send(m, {ParquetFile(b), ParquetFile(People({4}, {"d"}))});
  ASSERT_TRUE(a.stats) << a.body.dump();
  ASSERT_EQ(a.body["landed_paths"].size(), 2u);
  int64_t rows = 0;
  for (const auto& p : a.body["landed_paths"]) {
    std::string path = p.get<std::string>();
    EXPECT_EQ(path.rfind(svc().land_dir() + "/exports/people/", 0), 0u) << path;
    auto file = arrow::io::ReadableFile::Open(path).ValueOrDie();
    auto reader = parquet::arrow::OpenFile(file, arrow::default_memory_pool()).ValueOrDie();
    rows += reader->ReadTable().ValueOrDie()->num_rows();
  }
  EXPECT_EQ(rows, 4);
  EXPECT_EQ(a.body["rows_inserted"], 4);
}

TEST_F(IngestTest, IdempotentReplayChangesNothing) {
  ASSERT_TRUE(svc().Sql("CREATE TABLE ing_idem (id INTEGER, name VARCHAR)"));
  auto b = People({1, 2}, {"a", "b"});
  json m = Manifest("ing_idem", "append", b->schema());
  m["idempotency_key"] = "load-2024-01-01";
  IngestAnswer first = Send(m, {IpcStream(b->schema(), b)});
  ASSERT_TRUE(first.stats) << first.body.dump();
  IngestAnswer again = Send(m, {IpcStream(b->schema(), b)});
  ASSERT_TRUE(again.stats);
  EXPECT_EQ(again.body["idempotent_replay"], true);
  EXPECT_EQ(again.body["rows_inserted"], first.body["rows_inserted"]);
  EXPECT_EQ(again.body["commit_version"], first.body["commit_version"]);
  EXPECT_EQ(Count("SELECT count(*) FROM ing_idem"), 2);
  m["idempotency_key"] = "load-2024-01-02";
  EXPECT_EQ(Send(m, {IpcStream(b->schema(), b)}).body["idempotent_replay"], false);
  EXPECT_EQ(Count("SELECT count(*) FROM ing_idem"), 4);
}

TEST_F(IngestTest, FailuresNameTheirSqlstateAndChangeNothing) {
  ASSERT_TRUE(svc().Sql("CREATE TABLE ing_err (id INTEGER PRIMARY KEY, name VARCHAR);"
                        "INSERT INTO ing_err VALUES (1, 'kept')"));
  auto good = People({2, 3}, {"b", "c"});
  auto clash = People({4, 1}, {"d", "again"});
  auto wide = arrow::RecordBatch::Make(
      arrow::schema({arrow::field("id", arrow::int32()), arrow::field("nope", arrow::utf8())}), 1,
      {People({9}, {"z"})->column(0), People({9}, {"z"})->column(1)});
  auto text_ids = arrow::RecordBatch::Make(arrow::schema({arrow::field("id", arrow::utf8())}), 1,
                                           {People({9}, {"abc"})->column(1)});
  auto ipc = [](const std::shared_ptr<arrow::RecordBatch>& b) { return IpcStream(b->schema(), b); };
  arrow::Int64Builder wide_ids;
  EXPECT_TRUE(wide_ids.Append(5).ok());
  auto int64_ids = arrow::RecordBatch::Make(arrow::schema({arrow::field("id", arrow::int64())}),
                                            1, {wide_ids.Finish().ValueOrDie()});
  json strict = Manifest("ing_err", "append", int64_ids->schema());
  strict["coerce"] = false;
  json upsert_no_keys = Manifest("ing_err", "upsert", good->schema());
  json escaping_land = {{"target_location", "../outside"}, {"mode", "land"},
                        {"payload_format", "parquet"}};
  struct Case {
    const char* what;
    json manifest;
    std::vector<std::string> payloads;
    const char* sqlstate;
  };
  const std::vector<Case> cases = {
      {"missing table", Manifest("no_such_table", "append", good->schema()), {ipc(good)}, "42S02"},
      {"missing column", Manifest("ing_err", "append", wide->schema()), {ipc(wide)}, "42S22"},
      {"strict type", strict, {ipc(int64_ids)}, "22018"},
      {"coerced text to integer", Manifest("ing_err", "append", text_ids->schema()),
       {ipc(text_ids)}, "22018"},
      {"key violation in a later batch", Manifest("ing_err", "append", good->schema()),
       {ipc(good), ipc(clash)}, "23000"},
      {"unknown mode", Manifest("ing_err", "merge", good->schema()), {ipc(good)}, "22023"},
      {"upsert without keys", upsert_no_keys, {ipc(good)}, "22023"},
      {"land outside its directory", escaping_land, {}, "22023"},
      {"payload is not IPC", Manifest("ing_err", "append", good->schema()), {"garbage"}, "22023"},
  };
  for (const Case& c : cases) {
    IngestAnswer a = Send(c.manifest, c.payloads);
    EXPECT_EQ(a.status, 200) << c.what;
    EXPECT_FALSE(a.stats) << c.what;
    EXPECT_EQ(a.body["sqlstate"], c.sqlstate) << c.what << ": " << a.body.dump();
    EXPECT_TRUE(a.body["message"].is_string()) << c.what;
  }
  IngestAnswer not_json = Decode(svc().Http("POST", svc().node_url() + "/api/v1/ingest/stream",
                                            nv_localsvc::make_frame(1, "{not json") +
                                                nv_localsvc::make_frame(3, std::string(4, '\0')),
                                            token_));
  EXPECT_EQ(not_json.body["sqlstate"], "22023");
  EXPECT_EQ(Count("SELECT count(*) FROM ing_err"), 1);
  EXPECT_EQ(Count("SELECT count(*) FROM ing_err WHERE name = 'kept'"), 1);
}

// The client streams its upload with chunked transfer encoding, a few bytes at a time.
struct Feeder {
  std::string body;
  size_t pos = 0;
  static size_t Read(char* out, size_t size, size_t n, void* user) {
    auto* f = static_cast<Feeder*>(user);
    size_t take = std::min({size * n, f->body.size() - f->pos, size_t{7}});
    std::memcpy(out, f->body.data() + f->pos, take);
    f->pos += take;
    return take;
  }
};

size_t Collect(char* data, size_t size, size_t n, void* user) {
  static_cast<std::string*>(user)->append(data, size * n);
  return size * n;
}

TEST_F(IngestTest, ChunkedUploadInSmallPieces) {
  ASSERT_TRUE(svc().Sql("CREATE TABLE ing_chunked (id INTEGER, name VARCHAR)"));
  std::vector<std::string> payloads;
  for (int i = 0; i < 10; ++i) {
    auto b = People({i * 2, i * 2 + 1}, {"p", "q"});
    payloads.push_back(IpcStream(b->schema(), b));
  }
  Feeder feeder{Upload(Manifest("ing_chunked", "append", People({0}, {"x"})->schema()), payloads)};
  std::string answer;
  CURL* curl = curl_easy_init();
  ASSERT_NE(curl, nullptr);
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Content-Type: application/vnd.norvale.stream.v1");
  headers = curl_slist_append(headers, ("Authorization: Bearer " + token_).c_str());
  headers = curl_slist_append(headers, "Transfer-Encoding: chunked");
  headers = curl_slist_append(headers, "Expect:");
  std::string url = svc().node_url() + "/api/v1/ingest/stream";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, &Feeder::Read);
  curl_easy_setopt(curl, CURLOPT_READDATA, &feeder);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  ASSERT_EQ(rc, CURLE_OK);
  EXPECT_EQ(status, 200);
  IngestAnswer a = Decode(HttpReply{status, answer, 0, {}});
  ASSERT_TRUE(a.stats) << a.body.dump();
  EXPECT_EQ(a.body["rows_inserted"], 20);
  EXPECT_EQ(svc().Counter("requests.ingest"), 1);
}

// Concurrent ingests into tables of their own: each table ends with exactly its own rows.
void IngestConcurrently(IngestTest* test, const std::string& prefix, int ingests) {
  std::vector<IngestAnswer> answers(static_cast<size_t>(ingests));
  std::vector<std::thread> threads;
  for (int t = 0; t < ingests; ++t) {
    const std::string table = prefix + std::to_string(t);
    ASSERT_TRUE(test->svc_sql("CREATE TABLE " + table + " (id INTEGER, name VARCHAR)"));
  }
  for (int t = 0; t < ingests; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::string> payloads;
      for (int p = 0; p < 3; ++p) {
        const int base = t * 1000 + p * 10;
        auto b = People({base, base + 1, base + 2}, {"t" + std::to_string(t), "x", "y"});
        payloads.push_back(IpcStream(b->schema(), b));
      }
      answers[static_cast<size_t>(t)] =
          test->Send(IngestTest::Manifest(prefix + std::to_string(t), "append", nullptr),
                     payloads);
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < ingests; ++t) {
    const IngestAnswer& a = answers[static_cast<size_t>(t)];
    ASSERT_TRUE(a.stats) << "ingest " << t << ": " << a.body.dump();
    EXPECT_EQ(a.body["rows_inserted"], 9) << t;
    const std::string table = prefix + std::to_string(t);
    // Exactly the nine rows sent: ids t*1000 + {0,1,2,10,11,12,20,21,22}, named after t.
    EXPECT_EQ(test->Count("SELECT count(*) FROM " + table), 9) << table;
    EXPECT_EQ(test->Count("SELECT sum(id)::BIGINT FROM " + table), 9 * t * 1000 + 99) << table;
    EXPECT_EQ(test->Count("SELECT count(*) FROM " + table + " WHERE name = 't" +
                          std::to_string(t) + "'"),
              3)
        << table;
  }
}

TEST_F(IngestTest, SixteenConcurrentIngestsStayApart) { IngestConcurrently(this, "ing_par_", 16); }

// The same against a database file.
class FileDbIngestTest : public IngestTest {
 public:
  static std::string Path() {
    return (std::filesystem::temp_directory_path() /
            ("nv-ingest-" + std::to_string(::getpid()) + ".duckdb"))
        .string();
  }
  static void SetUpTestSuite() {
    std::filesystem::remove(Path());
    LocalSvcOptions opts;
    opts.extra_args = {"--db", Path()};
    StartShared(opts);
  }
  static void TearDownTestSuite() {
    IngestTest::TearDownTestSuite();
    std::error_code ec;
    std::filesystem::remove(Path(), ec);
    std::filesystem::remove(Path() + ".wal", ec);
  }
};

TEST_F(FileDbIngestTest, ConcurrentIngestsIntoAFile) { IngestConcurrently(this, "ing_file_", 4); }

}  // namespace
}  // namespace nv_test
