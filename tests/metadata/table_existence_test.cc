// Whether a table exists, from a fresh catalog: what a name of one to three parts finds in the
// small catalog, and when the catalog is too old, or the process wrote since, to say anything.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "adbc/catalog_internal.h"
#include "metadata/info_schema_internal.h"
#include "metadata/snapshot_cache_internal.h"
#include "support/snapshot_relations.h"

namespace {

using norvale::adbc::catalog_knows_table;
using norvale::adbc::catalog_of;

// A connection whose catalog the service confirmed just now, with every write of the process.
class FreshCatalog : public ::testing::Test {
 protected:
  FreshCatalog() : conn_(nvtest::small_catalog()) { Validate(std::chrono::seconds(0)); }

  void Validate(std::chrono::seconds ago) {
    NVAdbcInfoSchemaStore* store = conn_.state()->info_schema;
    store->validated_at = std::chrono::steady_clock::now() - ago;
    store->seen_write_generation = norvale::adbc::catalog_write_generation();
  }
  std::optional<bool> Knows(const std::vector<std::string>& parts) {
    return catalog_knows_table(catalog_of(conn_.state()), parts);
  }

  nvtest::SnapshotConnection conn_;
};

TEST_F(FreshCatalog, NamesFindWhatTheyLeaveNoChoiceAbout) {
  struct Case {
    std::vector<std::string> parts;
    std::optional<bool> expected;
  };
  const Case cases[] = {
      {{"nosuch"}, false},                  // in no schema of any catalog
      {{"public", "nosuch"}, false},
      {{"empty", "orders"}, false},         // another schema holds it
      {{"other", "sales", "orders"}, false},  // another catalog
      {{"sales", "orders"}, true},           // the one catalog listed
      {{"sales", "ORDERS"}, true},           // ASCII case-insensitive
      {{"db", "public", "orders"}, true},    // public.Orders
      {{"sales", "v_top"}, true},            // a view takes the name too
      {{"orders"}, std::nullopt},            // unqualified: where it resolves is the service's
      {{"customers"}, std::nullopt},
      {{}, std::nullopt},
      {{"a", "b", "c", "d"}, std::nullopt},
  };
  for (const Case& c : cases) {
    std::string name;
    for (const std::string& p : c.parts) name += (name.empty() ? "" : ".") + p;
    EXPECT_EQ(Knows(c.parts), c.expected) << name;
  }
}

TEST_F(FreshCatalog, ACatalogThatMayBeBehindSaysNothing) {
  ASSERT_EQ(Knows({"sales", "orders"}), true);
  Validate(std::chrono::seconds(6));  // confirmed too long ago
  EXPECT_EQ(Knows({"sales", "orders"}), std::nullopt);
  EXPECT_EQ(Knows({"nosuch"}), std::nullopt);

  Validate(std::chrono::seconds(0));
  norvale::adbc::note_catalog_write(nullptr);  // a write of another connection of the process
  EXPECT_EQ(Knows({"nosuch"}), std::nullopt);

  Validate(std::chrono::seconds(0));
  norvale::adbc::note_catalog_write(conn_.state()->info_schema);  // this connection's own
  EXPECT_EQ(Knows({"nosuch"}), std::nullopt);
  conn_.state()->info_schema->wrote = false;

  // The process has seen the catalog move past the installed snapshot.
  Validate(std::chrono::seconds(0));
  char uri[] = "http://table-existence-test";
  NVAdbcDatabaseState db{};
  db.uri = uri;
  conn_.state()->database = &db;
  conn_.state()->info_schema->sequence = 4;
  norvale::adbc::catalog_sequence_note(uri, 4);
  EXPECT_EQ(Knows({"nosuch"}), false);
  norvale::adbc::catalog_sequence_note(uri, 5);
  EXPECT_EQ(Knows({"nosuch"}), std::nullopt);
  conn_.state()->database = nullptr;

  Validate(std::chrono::seconds(0));
  ASSERT_EQ(Knows({"nosuch"}), false);
  conn_.state()->info_schema->batches = {};  // no snapshot installed
  EXPECT_EQ(Knows({"nosuch"}), std::nullopt);
}

}  // namespace
