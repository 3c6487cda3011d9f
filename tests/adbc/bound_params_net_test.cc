// Bound parameters through the driver against the local service: every placeholder style,
// typed literals read back equal, many-row INSERTs in chunks, and what a failure leaves behind.
#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <arrow/compute/api.h>
#include <gtest/gtest.h>

#include <cerrno>
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

// The id and name rows [first, first + n) as a batch: id BIGINT, name 'n<id>' (null for ids
// divisible by 7).
std::shared_ptr<arrow::RecordBatch> IdNames(int64_t first, int64_t n) {
  arrow::Int64Builder ids;
  arrow::StringBuilder names;
  for (int64_t id = first; id < first + n; ++id) {
    EXPECT_TRUE(ids.Append(id).ok());
    EXPECT_TRUE((id % 7 == 0 ? names.AppendNull() : names.Append("n" + std::to_string(id))).ok());
  }
  return Batch({{"id", ids.Finish().ValueOrDie()}, {"name", names.Finish().ValueOrDie()}});
}

// Bound INSERTs that run as SQL text, however many rows they bind.
const Options kRowsAsSql = {{"adbc.norvale.statement.bulk_bind_min_rows", "0"}};

class BoundParamsNetTest : public nv_adbc_test::BoundNetTest {
 protected:
  // Binds the batches as one stream and executes; with `result` the query's rows come back.
  Failure Run(AdbcStatement* stmt, const arrow::RecordBatchVector& batches, int64_t* rows,
              std::shared_ptr<arrow::Table>* result = nullptr) {
    auto reader =
        arrow::RecordBatchReader::Make(batches, batches.at(0)->schema()).ValueOrDie();
    ArrowArrayStream bound{};
    EXPECT_TRUE(arrow::ExportRecordBatchReader(reader, &bound).ok());
    AdbcError e{};
    EXPECT_EQ(driver_.StatementBindStream(stmt, &bound, &e), ADBC_STATUS_OK);
    ArrowArrayStream out{};
    const Failure f =
        take(driver_.StatementExecuteQuery(stmt, result ? &out : nullptr, rows, &e), &e);
    if (result != nullptr && f.status == ADBC_STATUS_OK) {
      *result = arrow::ImportRecordBatchReader(&out).ValueOrDie()->ToTable().ValueOrDie();
    }
    return f;
  }

  Failure Query(const std::string& sql, const arrow::RecordBatchVector& batches,
                std::shared_ptr<arrow::Table>* result, const Options& options = {}) {
    return Run(Prepared(sql, options), batches, nullptr, result);
  }

};

// Rows of a table as "v1|v2" lines.
Lines LinesOf(const arrow::Table& table) {
  Lines out;
  for (int64_t r = 0; r < table.num_rows(); ++r) {
    std::string line;
    for (int c = 0; c < table.num_columns(); ++c) {
      line += (c > 0 ? "|" : "") + table.column(c)->GetScalar(r).ValueOrDie()->ToString();
    }
    out.push_back(line);
  }
  return out;
}

TEST_F(BoundParamsNetTest, EveryPlaceholderStyleBindsItsColumns) {
  const auto batch = Batch({{"a", Json(arrow::int64(), "[1, -2]")},
                            {"b", Json(arrow::utf8(), R"(["x", "it's $1"])")}});
  struct Case {
    const char* sql;
    bool by_name;
    Lines want;
  };
  const Case cases[] = {
      {"SELECT ? AS p, ? AS q", false, {"1|x", "-2|it's $1"}},
      {"SELECT $2 AS p, $1 AS q, $2 || $2 AS r", false, {"x|1|xx", "it's $1|-2|it's $1it's $1"}},
      {"SELECT $b AS p, $a + 1 AS q, $b AS r", true, {"x|2|x", "it's $1|-1|it's $1"}},
      {"SELECT :b AS p, :a::VARCHAR AS q, '?:a' AS r", true, {"x|1|?:a", "it's $1|-2|?:a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    std::shared_ptr<arrow::Table> result;
    const Options options = {{"adbc.statement.bind_by_name", c.by_name ? "true" : "false"}};
    const Failure f = Query(c.sql, {batch}, &result, options);
    ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
    EXPECT_EQ(LinesOf(*result), c.want);
  }
}

TEST_F(BoundParamsNetTest, MixedStylesAndMismatchedNamesRunNothing) {
  Sql("CREATE OR REPLACE TABLE bp_refused (a BIGINT, b VARCHAR)");
  const auto batch =
      Batch({{"a", Json(arrow::int64(), "[1]")}, {"b", Json(arrow::utf8(), R"(["x"])")}});
  struct Case {
    const char* sql;
    bool by_name;
    const char* sqlstate;
    const char* message_part;
  };
  const Case cases[] = {
      {"INSERT INTO bp_refused VALUES (?, $2)", false, "42000", "mixes placeholder styles"},
      {"INSERT INTO bp_refused VALUES ($a, :b)", true, "42000", "mixes placeholder styles"},
      {"INSERT INTO bp_refused VALUES ($a, $c)", true, "07002",
       "no bound column for $c; no parameter for bound column(s) b"},
      {"INSERT INTO bp_refused VALUES ($a, $b)", false, "07002", "bind_by_name=true"},
      {"INSERT INTO bp_refused VALUES (?, ?)", true, "07002", "positional"},
      {"INSERT INTO bp_refused VALUES ($1, $1)", false, "07002", "up to 1 but 2 column(s)"},
      {"INSERT INTO bp_refused VALUES ($2, $2)", false, "07002", "never uses $1"},
      {"INSERT INTO bp_refused VALUES (?, ?, ?)", false, "07002", "3 placeholder(s)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    int64_t rows = 0;
    const Failure f =
        Run(Prepared(c.sql, {{"adbc.statement.bind_by_name", c.by_name ? "true" : "false"}}),
            {batch}, &rows);
    EXPECT_EQ(f.status, ADBC_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(f.sqlstate, c.sqlstate);
    EXPECT_NE(f.message.find(c.message_part), std::string::npos) << f.message;
    EXPECT_EQ(rows, -1);
  }
  EXPECT_EQ(Rows("SELECT count(*) FROM bp_refused"), (Lines{"0"}));
  AdbcError e{};
  EXPECT_EQ(take(driver_.StatementSetOption(Prepared("SELECT 1"), "adbc.statement.bind_by_name",
                                            "maybe", &e),
                 &e)
                .sqlstate,
            "HY009");
}

// The rows' results form one result under the first row's schema, aliased or not: the service
// names an unaliased column by its text, which holds each row's own literals.
TEST_F(BoundParamsNetTest, BoundSelectOverRowsWithNullsHasOneSchema) {
  const auto batch = Batch({{"n", Json(arrow::int64(), "[42, -3000000000, null]")},
                            {"s", Json(arrow::utf8(), R"(["", null, "bar"])")}});
  struct Case {
    const char* sql;
    bool swapped;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"SELECT ? AS n, ? AS s", false, {"n", "s"}},
      {"SELECT ?, ?", false, {}},
      {"SELECT $2, $1", true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    const bool swapped = c.swapped;
    std::shared_ptr<arrow::Table> result;
    int64_t rows = 7;
    const Failure f = Run(Prepared(c.sql), {batch}, &rows, &result);
    ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
    EXPECT_EQ(rows, -1);
    ASSERT_EQ(result->num_columns(), 2);
    EXPECT_EQ(result->column(swapped ? 1 : 0)->type()->id(), arrow::Type::INT64);
    EXPECT_EQ(result->column(swapped ? 0 : 1)->type()->id(), arrow::Type::STRING);
    if (!c.names.empty()) {
      EXPECT_EQ(result->schema()->field_names(), c.names);
    }
    EXPECT_EQ(LinesOf(*result), swapped ? (Lines{"|42", "null|-3000000000", "bar|null"})
                                        : (Lines{"42|", "-3000000000|null", "null|bar"}));
  }
  // One bound row whose query gives several rows: its rows affected are unknown or those rows.
  {
    std::shared_ptr<arrow::Table> result;
    int64_t rows = 0;
    const Failure f = Run(Prepared("SELECT ? AS v FROM range(3)"),
                          {Batch({{"v", Json(arrow::int64(), "[5]")}})}, &rows, &result);
    ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
    EXPECT_EQ(LinesOf(*result), (Lines{"5", "5", "5"}));
    EXPECT_TRUE(rows == -1 || rows == 3) << rows;
  }
  // Rows whose results have other columns cannot form one result: the stream ends with why.
  Sql("CREATE OR REPLACE TABLE bp_columns (a BIGINT, b VARCHAR)");
  Sql("INSERT INTO bp_columns VALUES (1, 'x')");
  ArrowArrayStream out{};
  int64_t rows = 7;
  AdbcError e{};
  AdbcStatement* stmt = Prepared("SELECT COLUMNS(?) FROM bp_columns");
  ArrowArrayStream bound{};
  ASSERT_TRUE(arrow::ExportRecordBatchReader(
                  arrow::RecordBatchReader::Make(
                      {Batch({{"c", Json(arrow::utf8(), R"(["a", "b"])")}})})
                      .ValueOrDie(),
                  &bound)
                  .ok());
  ASSERT_EQ(driver_.StatementBindStream(stmt, &bound, &e), ADBC_STATUS_OK);
  const Failure f = take(driver_.StatementExecuteQuery(stmt, &out, &rows, &e), &e);
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  const std::vector<std::string> seen = nv_adbc_test::drain(&out);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], "1");
  EXPECT_NE(seen[1].find("bound row 1 (int64) and bound row 2 (string) have different column "
                         "types"),
            std::string::npos)
      << seen[1];
  out.release(&out);
}

TEST_F(BoundParamsNetTest, LiteralOfEachArrowTypeReadsBackEqual) {
  using arrow::TimeUnit;
  auto dict = arrow::DictionaryArray::FromArrays(Json(arrow::int8(), "[1, 0, null]"),
                                                 Json(arrow::utf8(), R"(["a", "b"])"))
                  .ValueOrDie();
  struct Case {
    std::shared_ptr<arrow::Array> bound;
    std::shared_ptr<arrow::DataType> read_back;  // the service's type of the literal
  };
  const Case cases[] = {
      {Json(arrow::boolean(), "[true, false, null]"), arrow::boolean()},
      {Json(arrow::int8(), "[-128, 127, null]"), arrow::int8()},
      {Json(arrow::int32(), "[-2147483648, 2147483647]"), arrow::int32()},
      {Json(arrow::int64(), "[-9223372036854775808, 9223372036854775807]"), arrow::int64()},
      {Json(arrow::uint64(), "[18446744073709551615, 0]"), arrow::uint64()},
      {Json(arrow::float32(), "[1.5, 3.4028235e38, NaN, -Inf]"), arrow::float32()},
      {Json(arrow::float64(), "[0.1, 5e-324, 1.7976931348623157e308, 0.30000000000000004, null]"),
       arrow::float64()},
      {Json(arrow::decimal128(38, 10),
            R"(["-1234567890123456789012345678.0123456789", "0.0000000001", null])"),
       arrow::decimal128(38, 10)},
      {Json(arrow::decimal128(38, 0), R"(["99999999999999999999999999999999999999"])"),
       arrow::decimal128(38, 0)},
      {Json(arrow::utf8(), R"(["O'Brien", "back\\slash \\x41", "$1 $$ $tag$ :n ?", "日本語 é 🎉",
                              "", "--;/*", "line\nbreak"])"),
       arrow::utf8()},
      {Json(arrow::large_utf8(), R"(["large", null])"), arrow::utf8()},
      {Json(arrow::binary(), R"(["\u0000\u00ff'", "", null])"), arrow::binary()},
      {Json(arrow::fixed_size_binary(3), R"(["abc"])"), arrow::binary()},
      {Json(arrow::date32(), "[19782, -719162, 2932896, null]"), arrow::date32()},
      {Json(arrow::date64(), "[1709164800000]"), arrow::date32()},
      {Json(arrow::time32(TimeUnit::SECOND), "[0, 86399]"), arrow::time64(TimeUnit::MICRO)},
      {Json(arrow::time64(TimeUnit::MICRO), "[45909000250]"), arrow::time64(TimeUnit::MICRO)},
      {Json(arrow::time64(TimeUnit::NANO), "[45909000250001]"), arrow::time64(TimeUnit::NANO)},
      {Json(arrow::timestamp(TimeUnit::SECOND), "[-62135596800, 253402300799]"),
       arrow::timestamp(TimeUnit::SECOND)},
      {Json(arrow::timestamp(TimeUnit::MILLI), "[-1, 1709211909123]"),
       arrow::timestamp(TimeUnit::MILLI)},
      {Json(arrow::timestamp(TimeUnit::MICRO), "[1709211909000001, null]"),
       arrow::timestamp(TimeUnit::MICRO)},
      {Json(arrow::timestamp(TimeUnit::NANO), "[1709211909123456789, -1]"),
       arrow::timestamp(TimeUnit::NANO)},
      {Json(arrow::timestamp(TimeUnit::MICRO, "America/New_York"), "[1709211909000001, -1]"),
       arrow::timestamp(TimeUnit::MICRO, "Etc/UTC")},
      {Json(arrow::timestamp(TimeUnit::NANO, "+05:30"), "[1709211909123456000]"),
       arrow::timestamp(TimeUnit::MICRO, "Etc/UTC")},
      {Json(arrow::month_day_nano_interval(), "[[14, -3, 3723000001000], [0, 0, 0]]"),
       arrow::month_day_nano_interval()},
      {dict, arrow::utf8()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bound->type()->ToString());
    std::shared_ptr<arrow::Table> result;
    const Failure f = Query("SELECT ? AS v", {Batch({{"v", c.bound}})}, &result);
    ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
    auto got = result->column(0);
    EXPECT_TRUE(got->type()->Equals(*c.read_back)) << got->type()->ToString();
    // The bound values in the read-back type: a cast that must not lose anything.
    auto want = arrow::compute::Cast(c.bound, c.read_back).ValueOrDie().make_array();
    auto got_values = arrow::Concatenate(got->chunks()).ValueOrDie();
    EXPECT_TRUE(got_values->Equals(*want, arrow::EqualOptions().nans_equal(true)))
        << "got " << got_values->ToString() << "\nwant " << want->ToString();
  }
}

TEST_F(BoundParamsNetTest, ExecutemanyOf100000RowsInChunksReadsBackEqual) {
  Sql("CREATE OR REPLACE TABLE bp_many (id BIGINT, name VARCHAR)");
  // A stream of several batches, one of them empty.
  const arrow::RecordBatchVector batches = {IdNames(0, 40000), IdNames(40000, 0),
                                            IdNames(40000, 35000), IdNames(75000, 25000)};
  const int64_t queries_before = svc().Counter("requests.query");
  int64_t rows = 0;
  const Failure f = Run(Prepared("INSERT INTO bp_many (id, name) VALUES (?, ?)", kRowsAsSql),
                        batches, &rows);
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  EXPECT_EQ(rows, 100000);
  // Ten multi-row INSERTs of 10000 rows, not one request per row.
  EXPECT_EQ(svc().Counter("requests.query") - queries_before, 10);
  auto table = nv_ingest_test::QueryTable(svc(), "SELECT id, name FROM bp_many ORDER BY id");
  ASSERT_NE(table, nullptr);
  auto want = arrow::Table::FromRecordBatches(batches).ValueOrDie();
  EXPECT_TRUE(table->CombineChunks().ValueOrDie()->Equals(*want->CombineChunks().ValueOrDie()));
}

TEST_F(BoundParamsNetTest, ChunkFailingInTheMiddleLeavesTheEarlierChunksCommitted) {
  Sql("CREATE OR REPLACE TABLE bp_chunks (id BIGINT PRIMARY KEY, pad VARCHAR)");
  // Rows of 700,000 bytes: five fill a chunk of at most 4 MiB. Row 8 repeats the key of row 2,
  // so the second chunk (rows 6 to 10) fails as a whole.
  arrow::Int64Builder ids;
  arrow::StringBuilder pads;
  for (int64_t row = 1; row <= 12; ++row) {
    ASSERT_TRUE(ids.Append(row == 8 ? 2 : row).ok());
    ASSERT_TRUE(pads.Append(std::string(700000, static_cast<char>('a' + row))).ok());
  }
  int64_t rows = 0;
  const Failure f = Run(Prepared("INSERT INTO bp_chunks VALUES (?, ?);", kRowsAsSql),
                        {Batch({{"id", ids.Finish().ValueOrDie()},
                                {"pad", pads.Finish().ValueOrDie()}})},
                        &rows);
  EXPECT_EQ(f.status, ADBC_STATUS_INTEGRITY) << f.message;
  EXPECT_EQ(f.sqlstate, "23000");
  EXPECT_EQ(f.message.rfind("AdbcStatementExecuteQuery: bound rows 6 to 10 failed (bound rows 1 "
                            "to 5 were committed): ",
                            0),
            0u)
      << f.message;
  EXPECT_EQ(Rows("SELECT id, length(pad) FROM bp_chunks ORDER BY id"),
            (Lines{"1|700000", "2|700000", "3|700000", "4|700000", "5|700000"}));
}

TEST_F(BoundParamsNetTest, RowByRowStatementsStopAtTheFirstFailingRow) {
  Sql("CREATE OR REPLACE TABLE bp_rows (id BIGINT, n INTEGER)");
  Sql("INSERT INTO bp_rows SELECT i, 0 FROM range(1, 6) r(i)");
  // The bad value sits in the second batch: rows are counted across batches.
  const Failure f =
      Run(Prepared("UPDATE bp_rows SET n = CAST(? AS INTEGER) WHERE id = ?"),
          {Batch({{"n", Json(arrow::utf8(), R"(["10", "20"])")},
                  {"id", Json(arrow::int64(), "[1, 2]")}}),
           Batch({{"n", Json(arrow::utf8(), R"(["30", "x", "50"])")},
                  {"id", Json(arrow::int64(), "[3, 4, 5]")}})},
          nullptr);
  EXPECT_EQ(f.status, ADBC_STATUS_INVALID_DATA) << f.message;
  EXPECT_EQ(f.sqlstate, "22018");
  EXPECT_NE(f.message.find("bound row 4 failed (bound rows 1 to 3 were committed)"),
            std::string::npos)
      << f.message;
  EXPECT_EQ(Rows("SELECT id, n FROM bp_rows ORDER BY id"),
            (Lines{"1|10", "2|20", "3|30", "4|0", "5|0"}));
}

// A host stream that hands out one batch of two rows (id, name), then fails.
struct FailsAfterOneBatch {
  static int GetSchema(ArrowArrayStream*, ArrowSchema* out) {
    return arrow::ExportSchema(*IdNames(1, 2)->schema(), out).ok() ? 0 : EIO;
  }
  static int GetNext(ArrowArrayStream* s, ArrowArray* out) {
    if (s->private_data != nullptr) return EIO;
    s->private_data = s;
    return arrow::ExportRecordBatch(*IdNames(1, 2), out).ok() ? 0 : EIO;
  }
  static const char* LastError(ArrowArrayStream*) { return "the source went away"; }
  static void Release(ArrowArrayStream* s) { s->release = nullptr; }
};

TEST_F(BoundParamsNetTest, ABoundStreamFailingMidwayRunsNothingAfterIt) {
  Sql("CREATE OR REPLACE TABLE bp_cut (id BIGINT, name VARCHAR)");
  // The rows read before the failure wait in an unsent chunk: nothing is written.
  ArrowArrayStream bound{};
  bound.get_schema = FailsAfterOneBatch::GetSchema;
  bound.get_next = FailsAfterOneBatch::GetNext;
  bound.get_last_error = FailsAfterOneBatch::LastError;
  bound.release = FailsAfterOneBatch::Release;
  AdbcStatement* stmt = Prepared("INSERT INTO bp_cut VALUES (?, ?)");
  AdbcError e{};
  ASSERT_EQ(driver_.StatementBindStream(stmt, &bound, &e), ADBC_STATUS_OK);
  int64_t rows = 0;
  const Failure f = take(driver_.StatementExecuteQuery(stmt, nullptr, &rows, &e), &e);
  EXPECT_EQ(f.status, ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(f.sqlstate, "22023");
  EXPECT_NE(f.message.find("reading the bound parameters after bound rows 1 to 2: "),
            std::string::npos)
      << f.message;
  EXPECT_NE(f.message.find("the source went away"), std::string::npos) << f.message;
  EXPECT_NE(f.message.find("; no bound row was committed"), std::string::npos) << f.message;
  EXPECT_EQ(rows, -1);
  EXPECT_EQ(Rows("SELECT count(*) FROM bp_cut"), (Lines{"0"}));
}

TEST_F(BoundParamsNetTest, ValuesWithoutALiteralStopBeforeTheirRow) {
  Sql("CREATE OR REPLACE TABLE bp_values (v VARCHAR)");
  arrow::BinaryBuilder bytes;
  ASSERT_TRUE(bytes.Append("fine").ok());
  ASSERT_TRUE(bytes.Append("\xff").ok());
  auto not_utf8 = bytes.Finish().ValueOrDie()->View(arrow::utf8()).ValueOrDie();
  struct Case {
    std::shared_ptr<arrow::Array> bound;
    AdbcStatusCode status;
    const char* sqlstate;
    const char* message_part;
  };
  const Case cases[] = {
      {Json(arrow::list(arrow::int32()), "[[1]]"), ADBC_STATUS_NOT_IMPLEMENTED, "07006",
       "parameter column 'v' (list<item: int32>): Arrow type list<item: int32> has no SQL "
       "literal form"},
      {not_utf8, ADBC_STATUS_INVALID_DATA, "22021",
       "bound row 2, parameter column 'v' (string): the text is not valid UTF-8; no bound row "
       "was committed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bound->type()->ToString());
    const Failure f =
        Run(Prepared("INSERT INTO bp_values VALUES (?)"), {Batch({{"v", c.bound}})}, nullptr);
    EXPECT_EQ(f.status, c.status);
    EXPECT_EQ(f.sqlstate, c.sqlstate);
    EXPECT_NE(f.message.find(c.message_part), std::string::npos) << f.message;
  }
  EXPECT_EQ(Rows("SELECT count(*) FROM bp_values"), (Lines{"0"}));
}

TEST_F(BoundParamsNetTest, ParameterSchemaAfterPrepareHasAFieldPerParameter) {
  struct Case {
    const char* sql;
    bool by_name;
    bool bind;  // data bound before the call: their types show
    const char* want;  // the schema as "name:type" fields
  };
  const Case cases[] = {
      {"SELECT ?, ? FROM t WHERE x = '?'", false, false, ":null, :null"},
      {"SELECT $2, $1, $2", false, false, "$1:null, $2:null"},
      {"SELECT $1, $2", false, true, "$1:int64, $2:string"},
      {"SELECT :b, :a, :b", true, true, "b:string, a:int64"},
      {"SELECT $zz", true, false, "zz:null"},
      {"SELECT 1", false, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    AdbcStatement* stmt =
        Prepared(c.sql, {{"adbc.statement.bind_by_name", c.by_name ? "true" : "false"}});
    AdbcError e{};
    if (c.bind) {
      auto batch = Batch(
          {{c.by_name ? "a" : "x", Json(arrow::int64(), "[1]")},
           {c.by_name ? "b" : "y", Json(arrow::utf8(), R"(["s"])")}});
      ArrowArray array{};
      ArrowSchema schema{};
      ASSERT_TRUE(arrow::ExportRecordBatch(*batch, &array, &schema).ok());
      ASSERT_EQ(driver_.StatementBind(stmt, &array, &schema, &e), ADBC_STATUS_OK);
    }
    ArrowSchema out{};
    ASSERT_EQ(driver_.StatementGetParameterSchema(stmt, &out, &e), ADBC_STATUS_OK);
    auto schema = arrow::ImportSchema(&out).ValueOrDie();
    std::string got;
    for (const auto& field : schema->fields()) {
      got += (got.empty() ? "" : ", ") + field->name() + ":" + field->type()->ToString();
    }
    EXPECT_EQ(got, c.want);
  }
  AdbcStatement* mixed = Prepared("SELECT ?, $1");
  AdbcError e{};
  ArrowSchema out{};
  EXPECT_EQ(take(driver_.StatementGetParameterSchema(mixed, &out, &e), &e).sqlstate, "42000");
}

}  // namespace
