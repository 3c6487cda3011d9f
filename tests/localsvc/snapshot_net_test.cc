#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "tests/localsvc/net_helpers.h"

namespace nv_test {
namespace {

using nlohmann::json;

class SnapshotTest : public LocalSvcTest {
 protected:
  // The nine result sets by index, with the INIT epoch.
  struct Snapshot {
    uint64_t epoch = 0;
    std::vector<uint32_t> order;
    std::map<uint32_t, std::shared_ptr<arrow::Table>> sets;
  };

  static std::string FetchBody() {
    HttpReply r = svc().Http("GET", svc().control_plane_url() + "/api/v1/odbc/info_schema/snapshot",
                             {}, svc().admin_token(), {"Accept: application/vnd.norvale.stream.v1"});
    EXPECT_EQ(r.status, 200);
    return r.body;
  }

  static Snapshot Decode(const std::string& body) {
    Snapshot s;
    std::vector<WireFrame> frames;
    EXPECT_TRUE(SplitFrames(body, &frames));
    EXPECT_FALSE(frames.empty());
    if (frames.empty()) return s;
    EXPECT_EQ(frames[0].type, 1);
    json init = json::parse(frames[0].payload, nullptr, false);
    EXPECT_TRUE(init["epoch"].is_number_unsigned()) << frames[0].payload;
    s.epoch = init.value("epoch", uint64_t{0});
    for (const auto& f : frames) {
      if (f.type != 2) continue;
      uint32_t idx = be32(f.payload);
      s.order.push_back(idx);
      auto t = DecodeIpc(f.payload.substr(8));
      EXPECT_TRUE(t.ok()) << "result set " << idx;
      if (t.ok()) s.sets[idx] = *t;
    }
    return s;
  }

  static Snapshot Fetch() { return Decode(FetchBody()); }

  static bool HasTable(const Snapshot& s, const std::string& name) {
    return s.sets.count(2) != 0 && Strings(*s.sets.at(2), "table_name").count(name) != 0;
  }

  static uint64_t Sequence() {
    return json::parse(svc().Http("GET", svc().control_plane_url() + "/api/v1/events/version", {},
                                  svc().admin_token())
                           .body)
        .value("sequence", uint64_t{0});
  }

  static std::set<std::string> Strings(const arrow::Table& t, const std::string& col) {
    std::set<std::string> out;
    auto c = t.GetColumnByName(col);
    if (!c) return out;
    for (const auto& chunk : c->chunks()) {
      auto a = std::static_pointer_cast<arrow::StringArray>(chunk);
      for (int64_t i = 0; i < a->length(); ++i)
        if (a->IsValid(i)) out.insert(a->GetString(i));
    }
    return out;
  }
};

TEST_F(SnapshotTest, NineResultSetsInOrder) {
  Snapshot s = Fetch();
  EXPECT_GT(s.epoch, 0u);
  EXPECT_EQ(s.order, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
  ASSERT_EQ(s.sets.size(), 9u);
  EXPECT_EQ(Strings(*s.sets[0], "catalog_name"), (std::set<std::string>{"memory"}));
  auto schemas = Strings(*s.sets[1], "schema_name");
  for (const char* sch : {"main", "sales", "inventory", "analytics"}) EXPECT_TRUE(schemas.count(sch));
  EXPECT_FALSE(schemas.count("information_schema"));
}

TEST_F(SnapshotTest, ColumnsCarryWhatMetadataCallsRead) {
  Snapshot s = Fetch();
  ASSERT_EQ(s.sets.size(), 9u);
  const arrow::Schema& cols = *s.sets[3]->schema();
  struct Want {
    const char* name;
    arrow::Type::type type;
  };
  for (const Want& w : {Want{"table_catalog", arrow::Type::STRING},
                        Want{"table_schema", arrow::Type::STRING},
                        Want{"table_name", arrow::Type::STRING},
                        Want{"column_name", arrow::Type::STRING},
                        Want{"ordinal_position", arrow::Type::INT32},
                        Want{"data_type", arrow::Type::STRING},
                        Want{"is_nullable", arrow::Type::STRING},
                        Want{"column_default", arrow::Type::STRING},
                        Want{"character_maximum_length", arrow::Type::INT32},
                        Want{"character_octet_length", arrow::Type::INT32},
                        Want{"numeric_precision", arrow::Type::INT32},
                        Want{"numeric_precision_radix", arrow::Type::INT32},
                        Want{"numeric_scale", arrow::Type::INT32},
                        Want{"is_identity", arrow::Type::STRING},
                        Want{"is_generated", arrow::Type::STRING},
                        Want{"description", arrow::Type::STRING}}) {
    auto f = cols.GetFieldByName(w.name);
    ASSERT_NE(f, nullptr) << w.name;
    EXPECT_EQ(f->type()->id(), w.type) << w.name;
  }
  EXPECT_EQ(Strings(*s.sets[3], "is_nullable"), (std::set<std::string>{"YES", "NO"}));
  auto types = Strings(*s.sets[3], "data_type");
  for (const char* t : {"INTEGER", "BIGINT", "SMALLINT", "TINYINT", "REAL", "DOUBLE", "BOOLEAN",
                        "DATE", "TIMESTAMP", "TIMESTAMP WITH TIME ZONE", "VARBINARY",
                        "DECIMAL(12,2)", "VARCHAR", "VARCHAR[]"})
    EXPECT_TRUE(types.count(t)) << t;

  // Tables, views and their types.
  const arrow::Table& tables = *s.sets[2];
  for (const char* c : {"table_catalog", "table_schema", "table_name", "table_type"})
    EXPECT_NE(tables.schema()->GetFieldByName(c), nullptr) << c;
  EXPECT_EQ(Strings(tables, "table_type"), (std::set<std::string>{"BASE TABLE", "VIEW"}));
  EXPECT_TRUE(Strings(*s.sets[4], "table_name").count("revenue_by_customer"));
}

TEST_F(SnapshotTest, KeysAndConstraints) {
  Snapshot s = Fetch();
  ASSERT_EQ(s.sets.size(), 9u);
  const arrow::Table& tc = *s.sets[7];
  for (const char* c : {"constraint_catalog", "constraint_schema", "constraint_name",
                        "table_catalog", "table_schema", "table_name", "constraint_type"})
    EXPECT_NE(tc.schema()->GetFieldByName(c), nullptr) << c;
  EXPECT_EQ(Strings(tc, "constraint_type"),
            (std::set<std::string>{"PRIMARY KEY", "UNIQUE", "FOREIGN KEY"}));

  // The two-column primary key of order_items, in key order.
  auto flat = s.sets[5]->CombineChunksToBatch().ValueOrDie();
  auto name = std::static_pointer_cast<arrow::StringArray>(flat->GetColumnByName("table_name"));
  auto col = std::static_pointer_cast<arrow::StringArray>(flat->GetColumnByName("column_name"));
  auto cname =
      std::static_pointer_cast<arrow::StringArray>(flat->GetColumnByName("constraint_name"));
  ASSERT_EQ(flat->GetColumnByName("ordinal_position")->type_id(), arrow::Type::INT32);
  auto ord = std::static_pointer_cast<arrow::Int32Array>(flat->GetColumnByName("ordinal_position"));
  std::map<int, std::string> pk;
  for (int64_t i = 0; i < flat->num_rows(); ++i)
    if (name->GetString(i) == "order_items" && cname->GetString(i).find("pkey") != std::string::npos)
      pk[ord->Value(i)] = col->GetString(i);
  EXPECT_EQ(pk, (std::map<int, std::string>{{1, "order_id"}, {2, "line_no"}}));

  EXPECT_GE(s.sets[8]->num_rows(), 3);  // orders, order_items and stock_movements refer out
  const arrow::Schema& odbc = *s.sets[6]->schema();
  for (const char* c : {"TABLE_CAT", "TABLE_SCHEM", "TABLE_NAME", "COLUMN_NAME", "DATA_TYPE",
                        "TYPE_NAME", "COLUMN_SIZE", "NULLABLE", "ORDINAL_POSITION", "IS_NULLABLE"})
    EXPECT_NE(odbc.GetFieldByName(c), nullptr) << c;
}

TEST_F(SnapshotTest, FollowsDdlAndEpoch) {
  Snapshot before = Fetch();
  ASSERT_TRUE(svc().Sql("CREATE TABLE snap_probe (id INTEGER PRIMARY KEY, note VARCHAR)"));
  Snapshot after = Fetch();
  EXPECT_GT(after.epoch, before.epoch);
  EXPECT_FALSE(Strings(*before.sets[2], "table_name").count("snap_probe"));
  EXPECT_TRUE(Strings(*after.sets[2], "table_name").count("snap_probe"));
  ASSERT_TRUE(svc().Sql("DROP TABLE snap_probe"));
}

// The catalog queries run once per catalog version: a fetch of an unchanged catalog is served
// from memory, byte for byte the same, and a DDL makes the next fetch read the catalog again.
TEST_F(SnapshotTest, BuiltOncePerCatalogVersion) {
  ASSERT_TRUE(svc().Sql("CREATE OR REPLACE TABLE cache_probe_a (id INTEGER)"));
  const std::string first = FetchBody();
  const std::string second = FetchBody();
  EXPECT_EQ(svc().Counter("snapshot_builds"), 1);
  EXPECT_EQ(first, second);
  EXPECT_TRUE(HasTable(Decode(first), "cache_probe_a"));

  ASSERT_TRUE(svc().Sql("CREATE OR REPLACE TABLE cache_probe_b (id INTEGER)"));
  const Snapshot after = Fetch();
  EXPECT_EQ(svc().Counter("snapshot_builds"), 2);
  EXPECT_GT(after.epoch, Decode(first).epoch);
  EXPECT_TRUE(HasTable(after, "cache_probe_b"));
  ASSERT_TRUE(svc().Sql("DROP TABLE cache_probe_a; DROP TABLE cache_probe_b"));
  EXPECT_FALSE(HasTable(Fetch(), "cache_probe_b"));
  EXPECT_EQ(svc().Counter("snapshot_builds"), 3);
}

TEST_F(SnapshotTest, ConcurrentFetchesOfOneVersionBuildOnce) {
  ASSERT_TRUE(svc().Sql("CREATE OR REPLACE TABLE cache_probe_c (id INTEGER)"));
  constexpr int kClients = 8;
  std::vector<std::string> bodies(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) clients.emplace_back([&, i] { bodies[i] = FetchBody(); });
  for (auto& t : clients) t.join();
  EXPECT_EQ(svc().Counter("snapshot_builds"), 1);
  EXPECT_TRUE(HasTable(Decode(bodies[0]), "cache_probe_c"));
  for (const std::string& b : bodies) EXPECT_EQ(b, bodies[0]);
  ASSERT_TRUE(svc().Sql("DROP TABLE cache_probe_c"));
}

// A table created inside a transaction becomes visible at its commit. A snapshot read between
// the two (the version had already moved for the CREATE) must not be served after the commit.
TEST_F(SnapshotTest, CommitOfCatalogChangeMovesTheVersion) {
  const uint64_t before = Sequence();
  std::thread request([] {
    EXPECT_TRUE(svc().Sql("BEGIN; CREATE TABLE cache_probe_tx (id INTEGER); "
                          "SELECT sum(i % 7) FROM range(100000000) t(i); COMMIT"));
  });
  while (Sequence() == before) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const Snapshot during = Fetch();  // while the long statement runs: not committed yet
  request.join();
  EXPECT_FALSE(HasTable(during, "cache_probe_tx")) << "the fetch came after the commit";
  EXPECT_TRUE(HasTable(Fetch(), "cache_probe_tx"));
  ASSERT_TRUE(svc().Sql("DROP TABLE cache_probe_tx"));
}

}  // namespace
}  // namespace nv_test
