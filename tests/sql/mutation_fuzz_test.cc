// Mutated statements (tokens dropped, repeated, swapped or replaced) must come back as an
// answer, a decline or an error with a message: never a crash, never a silent empty status.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "sql_fixture.h"

namespace nv_sql {
namespace {

std::vector<std::string> corpus_statements() {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(NV_SQL_TEST_DIR)) {
    if (entry.path().extension() != ".test") continue;
    std::ifstream in(entry.path());
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("SELECT", 0) == 0) out.push_back(line);
    }
  }
  return out;
}

std::vector<std::string> tokens(const std::string& sql) {
  std::vector<std::string> out;
  std::istringstream is(sql);
  std::string t;
  while (is >> t) out.push_back(t);
  return out;
}

TEST(SqlMutationFuzz, EveryOutcomeIsAStatusWithAMessage) {
  const unsigned seed = 777;
  std::mt19937 rng(seed);
  MetadataEngine engine;
  testing::register_fixture(&engine);
  auto stmts = corpus_statements();
  ASSERT_GT(stmts.size(), 50u);
  const std::vector<std::string> extra = {"(", ")", ",", "NULL", "*", "JOIN", "ON", "AND",
                                          "NOT", "IN", "EXISTS", "'", "1", "-", "||", "CASE",
                                          "END", "GROUP", "BY", "ORDER", "LIMIT", "SELECT"};
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  int ok = 0;
  for (int i = 0; i < 3000; ++i) {
    auto toks = tokens(stmts[pick(stmts.size())]);
    const int edits = 1 + static_cast<int>(pick(3));
    for (int e = 0; e < edits && !toks.empty(); ++e) {
      size_t at = pick(toks.size());
      switch (pick(4)) {
        case 0:
          toks.erase(toks.begin() + static_cast<long>(at));
          break;
        case 1: {
          const std::string copy = toks[at];
          toks.insert(toks.begin() + static_cast<long>(at), copy);
          break;
        }
        case 2:
          std::swap(toks[at], toks[pick(toks.size())]);
          break;
        default:
          toks[at] = extra[pick(extra.size())];
          break;
      }
    }
    std::string sql;
    for (const auto& t : toks) sql += (sql.empty() ? "" : " ") + t;
    auto r = engine.try_execute(sql);
    switch (r.status) {
      case ExecuteStatus::Ok:
        ++ok;
        EXPECT_EQ(r.batches.size(), 1u) << "seed " << seed << ": " << sql;
        EXPECT_NE(r.schema, nullptr) << "seed " << seed << ": " << sql;
        break;
      case ExecuteStatus::Declined:
        EXPECT_FALSE(r.decline_reason.empty()) << "seed " << seed << ": " << sql;
        break;
      case ExecuteStatus::Error:
        EXPECT_FALSE(r.error_message.empty()) << "seed " << seed << ": " << sql;
        break;
    }
  }
  EXPECT_GT(ok, 0);
}

}  // namespace
}  // namespace nv_sql
