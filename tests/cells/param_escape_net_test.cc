// Bound values that try to escape their literal, substituted and run on the local service:
// each statement either fails or does what it says, and the tables are intact afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>

#include "norvale/nv_cells.h"
#include "support/localsvc_fixture.h"

namespace nv_test {
namespace {

constexpr int16_t kCChar = 1, kCSLong = -16;

struct Bound {
  std::string text;
  int32_t number = 0;
  int64_t indicator = 0;
};

// Substitutes text values (or 32-bit integers where `numbers` says so) for the placeholders.
// Empty with `state` set when the substitution refuses the statement.
std::string substitute(const std::string& sql, std::vector<Bound>& values, std::string* state,
                       bool numbers = false) {
  std::vector<NVParamBinding> params;
  for (size_t i = 0; i < values.size(); ++i) {
    NVParamBinding p{};
    p.parameter_number = static_cast<uint16_t>(i + 1);
    p.input_output_type = 1;
    if (numbers) {
      values[i].number = std::atoi(values[i].text.c_str());
      values[i].indicator = 4;
      p.c_type = kCSLong;
      p.value = &values[i].number;
    } else {
      values[i].indicator = static_cast<int64_t>(values[i].text.size());
      p.c_type = kCChar;
      p.value = values[i].text.data();
    }
    p.indicator = &values[i].indicator;
    params.push_back(p);
  }
  char* out = nullptr;
  char sqlstate[6] = "";
  char err[256] = "";
  if (nv_param_substitute(sql.data(), sql.size(), params.data(), params.size(), &out, sqlstate,
                          err, sizeof(err)) != 0) {
    *state = sqlstate;
    return {};
  }
  std::string text = out;
  std::free(out);
  return text;
}

class ParamEscapeTest : public LocalSvcTest {
 protected:
  void SetUp() override {
    LocalSvcTest::SetUp();
    std::string err;
    ASSERT_TRUE(svc().Sql("CREATE OR REPLACE TABLE esc_t (id VARCHAR, note VARCHAR);"
                          "INSERT INTO esc_t VALUES ('1', 'don''t ?'), ('2', 'b'), ('3', 'c');"
                          "CREATE OR REPLACE TABLE esc_t2 AS SELECT 1 AS x;",
                          &err))
        << err;
  }

  // Runs SQL; the first column of its first row as text, or "error: ..." when it fails.
  std::string FirstValue(const std::string& sql) const {
    std::string err;
    nlohmann::json body = {{"sql", sql}};
    HttpReply r = svc().Http("POST", svc().node_url(0) + "/api/v1/query/stream/binary",
                             body.dump(), svc().admin_token());
    std::vector<WireFrame> frames;
    if (r.status != 200 || !SplitFrames(r.body, &frames)) return "error: HTTP";
    for (const auto& f : frames) {
      if (f.type == 4) return "error: " + f.payload;
      if (f.type != 2 || f.payload.size() <= 8) continue;
      auto in = std::make_shared<arrow::io::BufferReader>(
          arrow::Buffer::FromString(f.payload.substr(8)));
      auto reader = arrow::ipc::RecordBatchStreamReader::Open(in);
      if (!reader.ok()) return "error: IPC";
      std::shared_ptr<arrow::RecordBatch> batch;
      if (!(*reader)->ReadNext(&batch).ok() || !batch || batch->num_rows() == 0) continue;
      auto scalar = batch->column(0)->GetScalar(0);
      return scalar.ok() ? (*scalar)->ToString() : "error: scalar";
    }
    return "no rows";
  }

  // Both tables still hold exactly what SetUp put there.
  void ExpectTablesIntact() const {
    EXPECT_EQ(FirstValue("SELECT string_agg(id || ':' || note, ',' ORDER BY id) FROM esc_t"),
              "1:don't ?,2:b,3:c");
    EXPECT_EQ(FirstValue("SELECT count(*) FROM esc_t2"), "1");
  }
};

TEST_F(ParamEscapeTest, EscapeAttemptsLeaveTheTablesIntact) {
  struct Case {
    const char* sql;
    std::vector<const char*> values;
    const char* result;    // first value when the statement runs, nullptr when it must fail
    const char* refusal;   // SQLSTATE when the substitution itself refuses the statement
  };
  const Case cases[] = {
      // The ? inside the backslash string is text; the value is compared as a whole.
      {"SELECT count(*) FROM esc_t WHERE note = E'don\\'t ?' AND id = ?",
       {"|| '' OR 1=1 --"}, "0", nullptr},
      {"SELECT count(*) FROM esc_t WHERE note = E'don\\'t ?' AND id = ?", {"1"}, "1", nullptr},
      // E written before a placeholder must not turn the literal into a backslash string.
      {"SELECT E?", {"\\'; DROP TABLE esc_t; --"}, nullptr, nullptr},
      {"SELECT 'x' || E?", {"\\'; DROP TABLE esc_t; --"}, nullptr, nullptr},
      // A ? inside dollar quoting is text: there is nothing to bind.
      {"SELECT $$?$$", {"$$; DROP TABLE esc_t2; --"}, nullptr, "07002"},
      {"SELECT $q$?$q$ || ?", {"$q$; DROP TABLE esc_t2; --"}, "?$q$; DROP TABLE esc_t2; --",
       nullptr},
      // Nested comments and comments ended by a carriage return.
      {"SELECT /* /* */ ? */ ?", {"'; DROP TABLE esc_t; --"}, "'; DROP TABLE esc_t; --",
       nullptr},
      {"SELECT count(*) -- ?\rFROM esc_t WHERE id = ?", {"2' OR '1'='1"}, "0", nullptr},
      // List literals and subscripts hold placeholders.
      {"SELECT [?, ?][2]", {"a", "]'; DROP TABLE esc_t; --"}, "]'; DROP TABLE esc_t; --",
       nullptr},
      {"SELECT ['x', 'y', 'z'][?::INT]", {"3"}, "z", nullptr},
      {"SELECT note FROM esc_t WHERE id = ?;", {"1'; DROP TABLE esc_t; --"}, "no rows",
       nullptr},
  };
  for (const Case& c : cases) {
    std::vector<Bound> values;
    for (const char* v : c.values) values.push_back(Bound{v});
    std::string state;
    const std::string sql = substitute(c.sql, values, &state);
    if (c.refusal != nullptr) {
      EXPECT_EQ(state, c.refusal) << c.sql;
    } else {
      ASSERT_FALSE(sql.empty()) << c.sql << ": " << state;
      const std::string got = FirstValue(sql);
      if (c.result == nullptr) {
        EXPECT_EQ(got.rfind("error: ", 0), 0u) << sql << " -> " << got;
      } else {
        EXPECT_EQ(got, c.result) << sql;
      }
    }
    ExpectTablesIntact();
  }
}

TEST_F(ParamEscapeTest, NegativeNumberAfterMinusStaysAnExpression) {
  std::vector<Bound> values = {Bound{"-3"}, Bound{"2"}};
  std::string state;
  const std::string sql = substitute("SELECT 1-?+?", values, &state, true);
  ASSERT_FALSE(sql.empty()) << state;
  EXPECT_EQ(FirstValue(sql), "6") << sql;
}

}  // namespace
}  // namespace nv_test
