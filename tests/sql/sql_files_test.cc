// Runs the SQL behaviour files tests/sql/*.test against the fixture, and every statement a file
// shows answered also against DuckDB over the same relations: the compute node's names, types
// and rows must be the engine's. A file holds blocks:
//
//   query rows|ordered [names]        statement answered; rows compared as a multiset or in
//   SELECT ...                        order; with "names" the first expected line holds the
//   ----                              column names. Cells are separated by " | ", NULL for
//   expected rows                     nulls, and a blank line ends the block.
//
//   declined|error <message part>     statement declined / failed with a message containing
//   SELECT ...                        the given text.
//
//   refused                           statement declined or failed, never answered.
//   SELECT ...

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include <regex>

#include "duckdb_support.h"
#include "sql_fixture.h"

namespace nv_sql {
namespace {

struct Block {
  std::string file;
  int line = 0;
  std::string kind;  // rows, ordered, declined, error
  bool names = false;
  std::string message;
  std::string sql;
  std::vector<std::string> expected;
};

std::vector<Block> read_blocks(const std::filesystem::path& path) {
  std::vector<Block> out;
  std::ifstream in(path);
  std::string line;
  int lineno = 0;
  Block* cur = nullptr;
  bool in_expected = false;
  while (std::getline(in, line)) {
    ++lineno;
    if (cur == nullptr) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream hdr(line);
      std::string word;
      hdr >> word;
      Block b;
      b.file = path.filename().string();
      b.line = lineno;
      if (word == "query") {
        hdr >> b.kind;
        std::string opt;
        if (hdr >> opt) b.names = opt == "names";
      } else {
        b.kind = word;
        std::getline(hdr, b.message);
        b.message.erase(0, b.message.find_first_not_of(' '));
      }
      out.push_back(std::move(b));
      cur = &out.back();
      in_expected = false;
      continue;
    }
    if (line.empty()) {
      cur = nullptr;
      continue;
    }
    if (line == "----") {
      in_expected = true;
      continue;
    }
    if (in_expected) {
      cur->expected.push_back(line);
    } else {
      cur->sql += (cur->sql.empty() ? "" : "\n") + line;
    }
  }
  return out;
}

std::vector<std::string> render_rows(const arrow::RecordBatch& batch) {
  std::vector<std::string> rows;
  for (int64_t r = 0; r < batch.num_rows(); ++r) {
    std::string row;
    for (int c = 0; c < batch.num_columns(); ++c) {
      row += (c ? " | " : "") + testing::cell_text(*batch.column(c), r);
    }
    rows.push_back(row);
  }
  return rows;
}

// DuckDB with the fixture's relations in schema nvis, standing for the compute node.
class NodeAnswers {
 public:
  explicit NodeAnswers(const MetadataEngine& engine) {
    EXPECT_TRUE(testing::DuckResult(duck_.con, "CREATE SCHEMA nvis").ok);
    for (const auto& name : testing::fixture_relations()) {
      BaseTable table;
      table.schema = "information_schema";
      table.name = name;
      const auto* rel = engine.find_relation(table);
      EXPECT_NE(rel, nullptr) << name;
      if (rel == nullptr) continue;
      auto batch = rel->batches.empty() ? arrow::RecordBatch::MakeEmpty(rel->schema).ValueOrDie()
                                        : rel->batches.front();
      EXPECT_TRUE(testing::load_table(duck_.con, "nvis", name, *batch).ok()) << name;
    }
  }

  /// Where the node's answer to `sql` differs from the engine's: columns (names and types) or
  /// rows (as a multiset: ties may come in another order); empty when it does not.
  std::string difference(const std::string& sql, const arrow::RecordBatch& local) {
    static const std::regex kSchema(R"((\b\w+\.)?"?information_schema"?\.)",
                                    std::regex::icase);
    testing::DuckResult res(duck_.con, std::regex_replace(sql, kSchema, "nvis."));
    if (!res.ok) return "the node fails: " + res.error();
    auto answer = testing::duck_answer(res);
    if (!answer.ok()) return answer.status().ToString();
    const std::string want = testing::columns_of(*answer->schema);
    const std::string got = testing::columns_of(*local.schema());
    if (want != got) return "columns: engine " + got + ", node " + want;
    auto rows = testing::rows_of(local);
    std::sort(rows.begin(), rows.end());
    std::sort(answer->rows.begin(), answer->rows.end());
    if (rows != answer->rows) return "rows differ";
    return "";
  }

 private:
  testing::Duck duck_;
};

// Every file runs twice: over relations that are scanned, and over relations with the catalog's
// name lookups; the answers must not differ.
class SqlFiles : public ::testing::TestWithParam<bool> {};

TEST_P(SqlFiles, AllBlocks) {
  MetadataEngine engine;
  testing::register_fixture(&engine, GetParam());
  // Once is enough: the indexed relations are one batch each.
  std::optional<NodeAnswers> node;
  if (GetParam()) node.emplace(engine);
  int blocks = 0;
  for (const auto& entry : std::filesystem::directory_iterator(NV_SQL_TEST_DIR)) {
    if (entry.path().extension() != ".test") continue;
    const auto file_blocks = read_blocks(entry.path());
    const auto answered = std::count_if(file_blocks.begin(), file_blocks.end(), [](const Block& b) {
      return b.kind == "rows" || b.kind == "ordered";
    });
    std::printf("%s: %ld of %zu statements answered locally\n",
                entry.path().filename().c_str(), static_cast<long>(answered), file_blocks.size());
    for (Block b : file_blocks) {
      ++blocks;
      SCOPED_TRACE(b.file + ":" + std::to_string(b.line) + "\n" + b.sql);
      auto r = engine.try_execute(b.sql);
      if (b.kind == "refused") {
        EXPECT_NE(static_cast<int>(r.status), static_cast<int>(ExecuteStatus::Ok));
        continue;
      }
      if (b.kind == "declined" || b.kind == "error") {
        auto want = b.kind == "declined" ? ExecuteStatus::Declined : ExecuteStatus::Error;
        EXPECT_EQ(static_cast<int>(r.status), static_cast<int>(want))
            << "decline: " << r.decline_reason << " error: " << r.error_message;
        const std::string& text = b.kind == "declined" ? r.decline_reason : r.error_message;
        EXPECT_NE(text.find(b.message), std::string::npos) << "message was: " << text;
        continue;
      }
      // Every block is checked, so that one run shows each that fails.
      if (r.status != ExecuteStatus::Ok || r.batches.size() != 1) {
        ADD_FAILURE() << "not answered: decline: " << r.decline_reason
                      << " error: " << r.error_message;
        continue;
      }
      auto got = render_rows(*r.batches[0]);
      std::vector<std::string> want = b.expected;
      if (b.names) {
        if (want.empty()) {
          ADD_FAILURE() << "a names block without its names line";
          continue;
        }
        std::string names;
        for (const auto& f : r.schema->fields()) names += (names.empty() ? "" : " | ") + f->name();
        EXPECT_EQ(names, want.front());
        want.erase(want.begin());
      }
      if (b.kind == "rows") {
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
      }
      EXPECT_EQ(got, want);
      if (node) {
        EXPECT_EQ(node->difference(b.sql, *r.batches[0]), "");
      }
    }
  }
  EXPECT_GT(blocks, 50);
}

INSTANTIATE_TEST_SUITE_P(Relations, SqlFiles, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Indexed" : "Scanned"; });

}  // namespace
}  // namespace nv_sql
