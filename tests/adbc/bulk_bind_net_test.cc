// Bound INSERTs of many rows loaded as one ingest, through the driver against the local
// service: the stored rows equal those the multi-row INSERT stores; the threshold; the target
// columns; what a failure and a cancel leave behind; the bound stream read as it is pushed. And
// queries over many bound rows, whose results stream one row after another.
#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/adbc/bound_net_fixture.h"

namespace {

using nv_adbc_test::Failure;
using nv_adbc_test::take;
using nv_adbc_test::Batch;
using nv_adbc_test::Json;
using nv_adbc_test::Lines;
using nv_adbc_test::Options;

constexpr const char* kMinRows = "adbc.norvale.statement.bulk_bind_min_rows";
const Options kAsSql = {{kMinRows, "0"}};
const Options kAsIngest = {{kMinRows, "1"}};

// Rows [first, first + n) of (a BIGINT, b BIGINT = 2a).
std::shared_ptr<arrow::RecordBatch> Pairs(int64_t first, int64_t n) {
  arrow::Int64Builder a, b;
  for (int64_t i = first; i < first + n; ++i) {
    EXPECT_TRUE(a.Append(i).ok());
    EXPECT_TRUE(b.Append(2 * i).ok());
  }
  return Batch({{"a", a.Finish().ValueOrDie()}, {"b", b.Finish().ValueOrDie()}});
}

// A host's bound stream made as it is read: `batches` batches of `rows` pairs. It notes how many
// of the batches it made are still held (by the driver) each time a batch is asked for, and
// calls `before` with the batch's number first.
class GeneratedPairs : public arrow::RecordBatchReader {
 public:
  GeneratedPairs(int batches, int64_t rows, std::function<void(int)> before = {})
      : batches_(batches), rows_(rows), before_(std::move(before)) {}
  std::shared_ptr<arrow::Schema> schema() const override { return Pairs(0, 0)->schema(); }
  arrow::Status ReadNext(std::shared_ptr<arrow::RecordBatch>* out) override {
    const int alive = static_cast<int>(std::count_if(
        made_.begin(), made_.end(), [](const auto& held) { return !held.expired(); }));
    max_alive_ = std::max(max_alive_, alive);
    if (next_ == batches_) {
      out->reset();
      return arrow::Status::OK();
    }
    if (before_) before_(next_);
    *out = Pairs(next_ * rows_, rows_);
    made_.push_back((*out)->column_data(0)->buffers[1]);
    ++next_;
    return arrow::Status::OK();
  }
  int max_alive() const { return max_alive_; }

 private:
  int batches_;
  int64_t rows_;
  std::function<void(int)> before_;
  int next_ = 0;
  std::vector<std::weak_ptr<arrow::Buffer>> made_;
  int max_alive_ = 0;
};

class BulkBindNetTest : public nv_adbc_test::BoundNetTest {
 protected:
  // Binds `reader` to `sql` and runs it; with `result` the rows' results come back as a stream.
  Failure Run(const std::string& sql, const Options& options,
              std::shared_ptr<arrow::RecordBatchReader> reader, int64_t* rows,
              ArrowArrayStream* result = nullptr) {
    AdbcStatement* stmt = Prepared(sql, options);
    ArrowArrayStream bound{};
    EXPECT_TRUE(arrow::ExportRecordBatchReader(std::move(reader), &bound).ok());
    AdbcError e{};
    EXPECT_EQ(driver_.StatementBindStream(stmt, &bound, &e), ADBC_STATUS_OK);
    return take(driver_.StatementExecuteQuery(stmt, result, rows, &e), &e);
  }

  Failure Run(const std::string& sql, const Options& options,
              const arrow::RecordBatchVector& batches, int64_t* rows) {
    return Run(sql, options,
               arrow::RecordBatchReader::Make(batches, batches.at(0)->schema()).ValueOrDie(),
               rows);
  }

  // Requests of each kind the service received while `run` ran: "ingests queries".
  std::string Requests(const std::function<void()>& run) {
    const int64_t ingests = svc().Counter("requests.ingest");
    const int64_t queries = svc().Counter("requests.query");
    run();
    return std::to_string(svc().Counter("requests.ingest") - ingests) + " " +
           std::to_string(svc().Counter("requests.query") - queries);
  }
};

struct Pairing {
  const char* column;  // the target column's type
  std::shared_ptr<arrow::Array> bound;
};

// Every Arrow type the literals cover, bound to its own column type and to the columns a host
// binds such values to, through both paths. Either both store the same rows with the same count,
// or both refuse with the same status and SQLSTATE class, storing nothing.
TEST_F(BulkBindNetTest, BothPathsStoreTheSameRowsOrRefuseAlike) {
  using arrow::TimeUnit;
  auto dictionary = arrow::DictionaryArray::FromArrays(Json(arrow::int8(), "[1, 0, null]"),
                                                       Json(arrow::utf8(), R"(["a", "b"])"))
                        .ValueOrDie();
  auto run_ends = arrow::RunEndEncodedArray::Make(3, Json(arrow::int32(), "[2, 3]"),
                                                  Json(arrow::int64(), "[7, null]"))
                      .ValueOrDie();
  const Pairing pairings[] = {
      {"BIGINT", Json(arrow::int64(), "[-9223372036854775808, 9223372036854775807, 0, null]")},
      {"INTEGER", Json(arrow::int64(), "[-2147483648, 2147483647, null]")},
      {"INTEGER", Json(arrow::int64(), "[2147483648]")},
      {"DOUBLE", Json(arrow::int64(), "[9007199254740993, -1, null]")},
      {"DECIMAL(18,4)", Json(arrow::int64(), "[99999999999999, -5, null]")},
      {"DECIMAL(18,4)", Json(arrow::int64(), "[100000000000000]")},
      {"DECIMAL(38,10)", Json(arrow::int32(), "[2147483647, -1]")},
      {"HUGEINT", Json(arrow::int64(), "[-9223372036854775808]")},
      {"VARCHAR", Json(arrow::int64(), "[42, null]")},
      {"BOOLEAN", Json(arrow::int64(), "[0, 2]")},
      {"UBIGINT", Json(arrow::uint64(), "[18446744073709551615, 0]")},
      {"BIGINT", Json(arrow::uint64(), "[18446744073709551615]")},
      {"TINYINT", Json(arrow::int8(), "[-128, 127]")},
      {"DOUBLE", Json(arrow::float64(),
                      "[0.1, 5e-324, 1.7976931348623157e308, -0.0, NaN, Inf, -Inf, null]")},
      {"REAL", Json(arrow::float64(), "[0.1, 1e300]")},
      {"DOUBLE", Json(arrow::float32(), "[0.1, 3.4028235e38, null]")},
      {"DECIMAL(18,4)", Json(arrow::float64(), "[1.23456, -0.00005, 2.5e-5]")},
      {"INTEGER", Json(arrow::float64(), "[2.5, -2.5, 3.49999]")},
      {"VARCHAR", Json(arrow::float64(), "[0.1, 1e17, -0.0]")},
      {"BOOLEAN", Json(arrow::boolean(), "[true, false, null]")},
      {"INTEGER", Json(arrow::boolean(), "[true, false]")},
      {"VARCHAR", Json(arrow::utf8(), R"(["O'Brien", "back\\slash", "日本語 é 🎉", "", "--;/*",
                                           "line\nbreak", "$1 $$ ? :n", "''", null])")},
      {"DATE", Json(arrow::utf8(), R"(["2024-02-29", "0001-01-01", "9999-12-31", null])")},
      {"DATE", Json(arrow::utf8(), R"(["2024-02-30"])")},
      {"DATE", Json(arrow::utf8(), R"(["2024-02-29 13:05:09"])")},
      {"TIMESTAMP", Json(arrow::utf8(), R"(["2024-02-29 13:05:09.123456", "2024-02-29",
                                             "2024-02-29T13:05:09+02:00", null])")},
      {"TIMESTAMP", Json(arrow::utf8(), R"(["2024-02-29 13:05:09.123456789"])")},
      {"TIMESTAMPTZ", Json(arrow::utf8(), R"(["2024-02-29 13:05:09+05:30"])")},
      {"DECIMAL(18,4)", Json(arrow::utf8(), R"(["12.34565", " 7 ", "-0.00005", "1e3", null])")},
      {"DECIMAL(18,4)", Json(arrow::utf8(), R"(["abc"])")},
      {"INTEGER", Json(arrow::utf8(), R"(["42", " 7 ", "4.5"])")},
      {"DOUBLE", Json(arrow::utf8(), R"(["0.1", "1e-400", "nan", "-inf"])")},
      {"BOOLEAN", Json(arrow::utf8(), R"(["true", "f", "1", "yes"])")},
      {"BLOB", Json(arrow::utf8(), R"(["abc", "\\xAA"])")},
      {"UUID", Json(arrow::utf8(), R"(["a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11", null])")},
      {"UUID", Json(arrow::utf8(), R"(["not a uuid"])")},
      {"HUGEINT", Json(arrow::utf8(), R"(["170141183460469231731687303715884105727"])")},
      {"TIME", Json(arrow::utf8(), R"(["13:05:09.1234567", "25:00:00"])")},
      {"INTERVAL", Json(arrow::utf8(), R"(["1 day 2 hours", "P1Y2M"])")},
      {"INTEGER[]", Json(arrow::utf8(), R"(["[1, 2]"])")},
      {"STRUCT(a INTEGER)", Json(arrow::utf8(), R"(["{'a': 1}"])")},
      {"VARCHAR", Json(arrow::utf8(), R"(["a\u0000b"])")},
      {"VARCHAR", Json(arrow::large_utf8(), R"(["large", null])")},
      {"VARCHAR", Json(arrow::utf8_view(), R"(["a view of more than twelve bytes", "v"])")},
      {"BLOB", Json(arrow::binary(), R"(["\u0000\u00ff'", "", null])")},
      {"BLOB", Json(arrow::large_binary(), R"(["ab"])")},
      {"BLOB", Json(arrow::binary_view(), R"(["a binary view longer than twelve"])")},
      {"BLOB", Json(arrow::fixed_size_binary(3), R"(["abc"])")},
      {"VARCHAR", Json(arrow::binary(), R"(["abc"])")},
      {"DATE", Json(arrow::date32(), "[19782, -719162, 2932896, null]")},
      {"DATE", Json(arrow::date32(), "[-719163]")},
      {"DATE", Json(arrow::date64(), "[1709164800000]")},
      {"TIMESTAMP", Json(arrow::date32(), "[19782]")},
      {"VARCHAR", Json(arrow::date32(), "[19782]")},
      {"TIME", Json(arrow::time32(TimeUnit::SECOND), "[0, 86399]")},
      {"TIME", Json(arrow::time32(TimeUnit::MILLI), "[45909250]")},
      {"TIME", Json(arrow::time64(TimeUnit::MICRO), "[45909000250]")},
      {"TIME", Json(arrow::time64(TimeUnit::MICRO), "[-1]")},
      {"TIME", Json(arrow::time64(TimeUnit::NANO), "[45909000250001]")},
      {"TIMESTAMP", Json(arrow::timestamp(TimeUnit::SECOND), "[-62135596800, 253402300799]")},
      {"TIMESTAMP", Json(arrow::timestamp(TimeUnit::SECOND), "[9000000000000]")},
      {"TIMESTAMP", Json(arrow::timestamp(TimeUnit::SECOND), "[9223372036854775807]")},
      {"TIMESTAMP", Json(arrow::timestamp(TimeUnit::MILLI), "[-1, 1709211909123]")},
      {"TIMESTAMP", Json(arrow::timestamp(TimeUnit::MICRO), "[1709211909000001, null]")},
      {"TIMESTAMP", Json(arrow::timestamp(TimeUnit::NANO), "[1709211909123456789, -1]")},
      {"TIMESTAMP_NS", Json(arrow::timestamp(TimeUnit::NANO), "[1709211909123456789, -1]")},
      {"DATE", Json(arrow::timestamp(TimeUnit::MICRO), "[1709211909000001, -1]")},
      {"TIMESTAMPTZ", Json(arrow::timestamp(TimeUnit::MICRO), "[1709211909000001]")},
      {"TIMESTAMPTZ", Json(arrow::timestamp(TimeUnit::MICRO, "America/New_York"),
                           "[1709211909000001, -1]")},
      {"TIMESTAMP", Json(arrow::timestamp(TimeUnit::MICRO, "America/New_York"),
                         "[1709211909000001]")},
      {"DATE", Json(arrow::timestamp(TimeUnit::MICRO, "UTC"), "[1709251199000000]")},
      {"VARCHAR", Json(arrow::timestamp(TimeUnit::MICRO, "UTC"), "[1709251199000000]")},
      {"TIMESTAMPTZ", Json(arrow::timestamp(TimeUnit::NANO, "+05:30"), "[1709211909123456000]")},
      {"TIMESTAMPTZ", Json(arrow::timestamp(TimeUnit::NANO, "UTC"), "[1001]")},
      {"INTERVAL", Json(arrow::month_day_nano_interval(), "[[14, -3, 3723000001000], [0, 0, 0]]")},
      {"INTERVAL", Json(arrow::month_interval(), "[14, -1]")},
      {"INTERVAL", Json(arrow::day_time_interval(), "[[3, 1000], [-1, -500]]")},
      {"DECIMAL(38,10)", Json(arrow::decimal128(38, 10),
                              R"(["-1234567890123456789012345678.0123456789", "0.0000000001",
                                  null])")},
      {"DECIMAL(38,0)", Json(arrow::decimal128(38, 0),
                             R"(["99999999999999999999999999999999999999",
                                 "-99999999999999999999999999999999999999"])")},
      {"DECIMAL(18,4)", Json(arrow::decimal128(38, 10), R"(["1.0000500000", "-1.0000500000"])")},
      {"DECIMAL(18,4)", Json(arrow::decimal128(38, 0), R"(["99999999999999999999"])")},
      {"DOUBLE", Json(arrow::decimal128(38, 10), R"(["0.1000000000"])")},
      {"VARCHAR", Json(arrow::decimal128(10, 3), R"(["-1.500"])")},
      {"DECIMAL(9,2)", Json(arrow::decimal64(9, 2), R"(["1234567.89"])")},
      {"DECIMAL(9,2)", Json(arrow::decimal32(9, 2), R"(["-1234567.89"])")},
      {"DECIMAL(38,2)", Json(arrow::decimal256(38, 2), R"(["1.25", null])")},
      {"DATE", Json(arrow::null(), "[null, null]")},
      {"INTEGER", Json(arrow::null(), "[null]")},
      {"VARCHAR", Json(arrow::null(), "[null]")},
      {"VARCHAR", dictionary},
      {"BIGINT", run_ends},
      {"VARCHAR", Json(arrow::list(arrow::int32()), "[[1]]")},
      {"VARCHAR", Json(arrow::duration(TimeUnit::SECOND), "[1]")},
      {"VARCHAR", Json(arrow::float16(), "[1]")},
      {"INTEGER NOT NULL", Json(arrow::int64(), "[1, null]")},
      {"INTEGER CHECK (v > 0)", Json(arrow::int64(), "[1, -1]")},
      {"INTEGER PRIMARY KEY", Json(arrow::int64(), "[1, 1]")},
  };
  int index = 0;
  for (const Pairing& p : pairings) {
    SCOPED_TRACE(std::string(p.column) + " <- " + p.bound->type()->ToString() + " " +
                 p.bound->ToString());
    arrow::Int64Builder keys;
    for (int64_t i = 0; i < p.bound->length(); ++i) ASSERT_TRUE(keys.Append(i).ok());
    const auto batch = Batch({{"k", keys.Finish().ValueOrDie()}, {"v", p.bound}});
    ++index;
    Failure got[2];
    int64_t rows[2] = {-2, -2};
    Lines stored[2];
    for (int bulk = 0; bulk < 2; ++bulk) {
      const std::string table = (bulk ? "bb_bulk_" : "bb_text_") + std::to_string(index);
      Sql("CREATE OR REPLACE TABLE " + table + " (k BIGINT, v " + p.column + ")");
      const std::string requests = Requests([&] {
        got[bulk] = Run("INSERT INTO " + table + " VALUES (?, ?)", bulk ? kAsIngest : kAsSql,
                        {batch}, &rows[bulk]);
      });
      if (bulk && got[bulk].status == ADBC_STATUS_OK) {
        // One probe for the table's columns, one ingest.
        EXPECT_EQ(requests, "1 1");
      } else if (!bulk) {
        EXPECT_EQ(requests.substr(0, 2), "0 ");
      }
      stored[bulk] = Rows("SELECT k, v::VARCHAR FROM " + table + " ORDER BY k");
    }
    EXPECT_EQ(got[0].status, got[1].status) << got[0].message << "\n" << got[1].message;
    EXPECT_EQ(got[0].sqlstate.substr(0, 2), got[1].sqlstate.substr(0, 2))
        << got[0].message << "\n" << got[1].message;
    EXPECT_EQ(rows[0], rows[1]);
    EXPECT_EQ(stored[0], stored[1]);
    if (got[1].status != ADBC_STATUS_OK) {
      EXPECT_TRUE(stored[1].empty());
      EXPECT_NE(got[1].message.find("no bound row was stored"), std::string::npos)
          << got[1].message;
    }
  }
}

TEST_F(BulkBindNetTest, TheThresholdAtItsEdges) {
  Sql("CREATE OR REPLACE TABLE bb_edges (a BIGINT, b BIGINT)");
  const Options at_50 = {{kMinRows, "50"}};
  struct Case {
    int64_t rows;
    const char* requests;  // ingests, queries
  };
  // The rows come in batches of 20: the threshold is counted across batches.
  for (const Case& c : {Case{49, "0 1"}, Case{50, "1 0"}, Case{51, "1 0"}}) {
    SCOPED_TRACE(c.rows);
    Sql("DELETE FROM bb_edges");
    arrow::RecordBatchVector batches;
    for (int64_t first = 0; first < c.rows; first += 20) {
      batches.push_back(Pairs(first, std::min<int64_t>(20, c.rows - first)));
    }
    int64_t rows = -2;
    Failure f;
    EXPECT_EQ(Requests([&] {
                f = Run("INSERT INTO bb_edges (a, b) VALUES (?, ?)", at_50, batches, &rows);
              }),
              c.requests);
    ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
    EXPECT_EQ(rows, c.rows);
    EXPECT_EQ(Rows("SELECT count(*), sum(a), sum(b) FROM bb_edges"),
              (Lines{std::to_string(c.rows) + "|" + std::to_string(c.rows * (c.rows - 1) / 2) +
                     "|" + std::to_string(c.rows * (c.rows - 1))}));
  }
}

TEST_F(BulkBindNetTest, TheOptionReadsBackAndTakesOnlyARowCount) {
  AdbcStatement* stmt = Prepared("SELECT 1", {});
  AdbcError e{};
  int64_t value = -1;
  ASSERT_EQ(driver_.StatementGetOptionInt(stmt, kMinRows, &value, &e), ADBC_STATUS_OK);
  EXPECT_GT(value, 1) << "a bound INSERT of a row or two runs as SQL by default";
  ASSERT_EQ(driver_.StatementSetOption(stmt, kMinRows, "7", &e), ADBC_STATUS_OK);
  char text[16] = {};
  size_t length = sizeof text;
  ASSERT_EQ(driver_.StatementGetOption(stmt, kMinRows, text, &length, &e), ADBC_STATUS_OK);
  EXPECT_STREQ(text, "7");
  ASSERT_EQ(driver_.StatementSetOptionInt(stmt, kMinRows, 0, &e), ADBC_STATUS_OK);
  ASSERT_EQ(driver_.StatementGetOptionInt(stmt, kMinRows, &value, &e), ADBC_STATUS_OK);
  EXPECT_EQ(value, 0);
  for (const char* bad : {"-1", "x", "", "1.5", "99999999999999999999"}) {
    SCOPED_TRACE(bad);
    const Failure f = take(driver_.StatementSetOption(stmt, kMinRows, bad, &e), &e);
    EXPECT_EQ(f.status, ADBC_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(f.sqlstate, "HY009");
  }
  EXPECT_EQ(take(driver_.StatementSetOptionInt(stmt, kMinRows, -5, &e), &e).status,
            ADBC_STATUS_INVALID_ARGUMENT);
  ASSERT_EQ(driver_.StatementGetOptionInt(stmt, kMinRows, &value, &e), ADBC_STATUS_OK);
  EXPECT_EQ(value, 0) << "a refused value leaves the option as it was";
}

TEST_F(BulkBindNetTest, ValuesGoToTheListedColumnsInPlaceholderOrder) {
  Sql("CREATE OR REPLACE TABLE bb_list (a BIGINT, b VARCHAR DEFAULT 'dflt', c DOUBLE)");
  Sql("CREATE SCHEMA IF NOT EXISTS bb_s");
  Sql("CREATE OR REPLACE TABLE bb_s.\"Mixed Case\" (\"Id\" BIGINT, \"Note\" VARCHAR)");
  const auto xy = Batch({{"x", Json(arrow::int64(), "[1, 2]")},
                         {"y", Json(arrow::float64(), "[0.5, 1.5]")}});
  const auto named = Batch({{"p", Json(arrow::float64(), "[9.5]")},
                            {"q", Json(arrow::int64(), "[9]")}});
  int64_t rows = -2;
  Failure f = Run("INSERT INTO BB_LIST (c, a) VALUES ($2, $1)", kAsIngest, {xy}, &rows);
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  EXPECT_EQ(rows, 2);
  f = Run("insert into bb_list (A, \"c\") values ($q, $p);",
          {{kMinRows, "1"}, {"adbc.statement.bind_by_name", "true"}}, {named}, &rows);
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  EXPECT_EQ(Rows("SELECT a, b, c FROM bb_list ORDER BY a"),
            (Lines{"1|dflt|0.5", "2|dflt|1.5", "9|dflt|9.5"}));
  // Schema-qualified, quoted, without a column list: the table's own columns, in order.
  const auto notes = Batch({{"i", Json(arrow::int64(), "[5]")},
                            {"n", Json(arrow::utf8(), R"(["it's"])")}});
  f = Run("INSERT INTO Bb_S.\"Mixed Case\" VALUES (?, ?)", kAsIngest, {notes}, &rows);
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  EXPECT_EQ(Rows("SELECT \"Id\", \"Note\" FROM bb_s.\"Mixed Case\""), (Lines{"5|it's"}));
}

TEST_F(BulkBindNetTest, TheTableColumnsComeFromTheSnapshotOrAProbe) {
  // Made through the connection, which then refreshes its snapshot before the metadata call
  // that loads it: the snapshot lists bb_listed.
  ASSERT_EQ(execute("CREATE OR REPLACE TABLE bb_listed (a BIGINT, b BIGINT)", nullptr, nullptr)
                .status,
            ADBC_STATUS_OK);
  AdbcError e{};
  ArrowSchema schema{};
  ASSERT_EQ(driver_.ConnectionGetTableSchema(&conn_, nullptr, nullptr, "bb_listed", &schema, &e),
            ADBC_STATUS_OK);
  schema.release(&schema);
  int64_t rows = -2;
  Failure f;
  EXPECT_EQ(Requests([&] {
              f = Run("INSERT INTO bb_listed VALUES (?, ?)", kAsIngest, {Pairs(0, 3)}, &rows);
            }),
            "1 0");
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  EXPECT_EQ(rows, 3);
  // Made behind the snapshot's back: the driver asks the service.
  Sql("CREATE OR REPLACE TABLE bb_unlisted (a BIGINT, b BIGINT)");
  EXPECT_EQ(Requests([&] {
              f = Run("INSERT INTO bb_unlisted VALUES (?, ?)", kAsIngest, {Pairs(0, 4)}, &rows);
            }),
            "1 1");
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  EXPECT_EQ(Rows("SELECT count(*) FROM bb_unlisted"), (Lines{"4"}));
  // A missing table, or columns that do not match the row, are the SQL's to report.
  f = Run("INSERT INTO bb_nowhere VALUES (?, ?)", kAsIngest, {Pairs(0, 2)}, &rows);
  EXPECT_EQ(f.status, ADBC_STATUS_NOT_FOUND) << f.message;
  EXPECT_EQ(f.sqlstate, "42S02");
  EXPECT_NE(f.message.find("bb_nowhere"), std::string::npos) << f.message;
  Sql("CREATE OR REPLACE TABLE bb_three (a BIGINT, b BIGINT, c BIGINT)");
  f = Run("INSERT INTO bb_three VALUES (?, ?)", kAsIngest, {Pairs(0, 2)}, &rows);
  EXPECT_NE(f.status, ADBC_STATUS_OK);
  EXPECT_EQ(Rows("SELECT count(*) FROM bb_three"), (Lines{"0"}));
}

TEST_F(BulkBindNetTest, MismatchedParametersAreRefusedBeforeAnythingIsSent) {
  Sql("CREATE OR REPLACE TABLE bb_mismatch (a BIGINT, b BIGINT)");
  struct Case {
    const char* sql;
    bool by_name;
    const char* message_part;
  };
  const Case cases[] = {
      {"INSERT INTO bb_mismatch VALUES (?, ?, ?)", false, "3 placeholder(s) but 2"},
      {"INSERT INTO bb_mismatch VALUES (?)", false, "1 placeholder(s) but 2"},
      {"INSERT INTO bb_mismatch VALUES ($a, $c)", true, "no bound column for $c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    int64_t rows = -2;
    Failure f;
    EXPECT_EQ(Requests([&] {
                f = Run(c.sql, {{kMinRows, "1"}, {"adbc.statement.bind_by_name",
                                                  c.by_name ? "true" : "false"}},
                        {Pairs(0, 10)}, &rows);
              }),
              "0 0");
    EXPECT_EQ(f.status, ADBC_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(f.sqlstate, "07002");
    EXPECT_NE(f.message.find(c.message_part), std::string::npos) << f.message;
    EXPECT_EQ(rows, -1);
  }
}

TEST_F(BulkBindNetTest, ARowThatCannotBeStoredFailsTheWholeBind) {
  Sql("CREATE OR REPLACE TABLE bb_whole (id BIGINT PRIMARY KEY, n INTEGER)");
  // 10,000 rows in 4 batches; row 7,777 holds text that is no integer, or repeats a key.
  struct Case {
    const char* bad;
    int64_t bad_id;
    AdbcStatusCode status;
    const char* sqlstate;
  };
  for (const Case& c : {Case{"x", 7776, ADBC_STATUS_INVALID_DATA, "22018"},
                        Case{"1", 17, ADBC_STATUS_INTEGRITY, "23000"}}) {
    SCOPED_TRACE(c.sqlstate);
    arrow::RecordBatchVector batches;
    for (int64_t first = 0; first < 10000; first += 2500) {
      arrow::Int64Builder ids;
      arrow::StringBuilder ns;
      for (int64_t i = first; i < first + 2500; ++i) {
        ASSERT_TRUE(ids.Append(i == 7776 ? c.bad_id : i).ok());
        ASSERT_TRUE(ns.Append(i == 7776 ? std::string(c.bad) : std::to_string(i)).ok());
      }
      batches.push_back(Batch({{"id", ids.Finish().ValueOrDie()},
                               {"n", ns.Finish().ValueOrDie()}}));
    }
    int64_t rows = -2;
    const Failure f = Run("INSERT INTO bb_whole VALUES (?, ?)", {}, batches, &rows);
    EXPECT_EQ(f.status, c.status) << f.message;
    EXPECT_EQ(f.sqlstate, c.sqlstate) << f.message;
    EXPECT_NE(f.message.find("no bound row was stored"), std::string::npos) << f.message;
    EXPECT_EQ(rows, -1);
    EXPECT_EQ(Rows("SELECT count(*) FROM bb_whole"), (Lines{"0"}));
  }
  // A column the table lacks is named.
  int64_t rows = -2;
  const Failure f = Run("INSERT INTO bb_whole (id, zz) VALUES (?, ?)", kAsIngest,
                        {Batch({{"i", Json(arrow::int64(), "[1]")},
                                {"z", Json(arrow::int64(), "[2]")}})},
                        &rows);
  EXPECT_EQ(f.status, ADBC_STATUS_NOT_FOUND) << f.message;
  EXPECT_EQ(f.sqlstate, "42S22");
  EXPECT_NE(f.message.find("zz"), std::string::npos) << f.message;
}

TEST_F(BulkBindNetTest, TheBoundStreamIsPushedAsItIsRead) {
  Sql("CREATE OR REPLACE TABLE bb_stream (a BIGINT, b BIGINT)");
  auto source = std::make_shared<GeneratedPairs>(40, 5000);
  int64_t rows = -2;
  const Failure f = Run("INSERT INTO bb_stream VALUES (?, ?)", {}, source, &rows);
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  EXPECT_EQ(rows, 200000);
  EXPECT_EQ(Rows("SELECT count(*), sum(a), sum(b) FROM bb_stream"),
            (Lines{"200000|19999900000|39999800000"}));
  // The driver holds the batch it encodes, never the stream.
  EXPECT_LE(source->max_alive(), 2);
}

TEST_F(BulkBindNetTest, CancelStopsTheUploadAndNothingIsStored) {
  Sql("CREATE OR REPLACE TABLE bb_cancel (a BIGINT, b BIGINT)");
  AdbcStatement* stmt = Prepared("INSERT INTO bb_cancel VALUES (?, ?)", {});
  std::promise<void> cancelled;
  std::shared_future<void> done = cancelled.get_future().share();
  std::future<Failure> canceller;
  // After the fifth batch the host cancels from another thread; the next batches come after it.
  auto source = std::make_shared<GeneratedPairs>(1000, 1000, [&](int batch) {
    if (batch == 5) {
      canceller = std::async(std::launch::async, [&] {
        AdbcError e{};
        Failure r = take(driver_.StatementCancel(stmt, &e), &e);
        cancelled.set_value();
        return r;
      });
    }
    if (batch > 5) done.wait();
  });
  ArrowArrayStream bound{};
  ASSERT_TRUE(arrow::ExportRecordBatchReader(source, &bound).ok());
  AdbcError e{};
  ASSERT_EQ(driver_.StatementBindStream(stmt, &bound, &e), ADBC_STATUS_OK);
  const int64_t applied = svc().Counter("ingests");
  int64_t rows = -2;
  const Failure f = take(driver_.StatementExecuteQuery(stmt, nullptr, &rows, &e), &e);
  ASSERT_TRUE(canceller.valid());
  EXPECT_EQ(canceller.get().status, ADBC_STATUS_OK);
  EXPECT_EQ(f.status, ADBC_STATUS_CANCELLED) << f.message;
  EXPECT_EQ(f.sqlstate, "HY008");
  EXPECT_EQ(rows, -1);
  // The service finds the upload cut and applies none of it.
  EXPECT_EQ(Rows("SELECT count(*) FROM bb_cancel"), (Lines{"0"}));
  EXPECT_EQ(svc().Counter("ingests"), applied);
}

TEST_F(BulkBindNetTest, AQueryOverManyBoundRowsStreamsTheirResults) {
  // A table of one row: each row's query goes to the service.
  Sql("CREATE OR REPLACE TABLE bb_one AS SELECT 0 AS z");
  int64_t rows = 7;
  ArrowArrayStream out{};
  Failure f;
  // Only the first row's query runs before the stream is handed out.
  EXPECT_EQ(Requests([&] {
              f = Run("SELECT ? + z AS a, ? * 10 AS b FROM bb_one", {},
                      std::make_shared<GeneratedPairs>(4, 50), &rows, &out);
            }),
            "0 1");
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  EXPECT_EQ(rows, -1) << "the rows of the later queries are not known yet";
  int64_t queries = 0;
  const std::string read = Requests([&] {
    auto reader = arrow::ImportRecordBatchReader(&out).ValueOrDie();
    auto table = reader->ToTable().ValueOrDie();
    ASSERT_EQ(table->num_rows(), 200);
    auto a = std::static_pointer_cast<arrow::Int64Array>(table->column(0)->chunk(199));
    auto b = std::static_pointer_cast<arrow::Int64Array>(table->column(1)->chunk(199));
    EXPECT_EQ(a->Value(0), 199);
    EXPECT_EQ(b->Value(0), 3980);
    queries = table->column(0)->num_chunks();
  });
  EXPECT_EQ(read, "0 199");
  EXPECT_EQ(queries, 200);

  // A later row that fails ends the stream with its message; rows before it ran.
  ArrowArrayStream failing{};
  f = Run("SELECT CAST(? AS INTEGER) AS n FROM bb_one", {},
          arrow::RecordBatchReader::Make({Batch({{"v", Json(arrow::utf8(), R"(["1", "2"])")}}),
                                          Batch({{"v", Json(arrow::utf8(), R"(["x"])")}})})
              .ValueOrDie(),
          &rows, &failing);
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  const std::vector<std::string> seen = nv_adbc_test::drain(&failing);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], "1");
  EXPECT_EQ(seen[1], "1");
  EXPECT_NE(seen[2].find("bound row 3 failed (bound rows 1 to 2 were committed)"),
            std::string::npos)
      << seen[2];
  failing.release(&failing);
}

}  // namespace
