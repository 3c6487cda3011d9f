// The shell's pieces that need no service: statement splitting, names and patterns, the
// progress text and how tables fit a terminal.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <arrow/api.h>

#include "tools/nvsql/catalog.h"
#include "tools/nvsql/output.h"
#include "tools/nvsql/progress.h"
#include "tools/nvsql/statement_buffer.h"

namespace {

// Feeds `lines` and collects the statements completed after each line.
std::vector<std::string> split(const std::vector<std::string>& lines, std::string* rest) {
  nvsql::StatementBuffer buffer;
  std::vector<std::string> out;
  std::string sql;
  for (const auto& line : lines) {
    buffer.add_line(line);
    while (buffer.take(&sql)) out.push_back(sql);
  }
  rest->clear();
  if (buffer.take_rest(&sql)) *rest = sql;
  return out;
}

TEST(NvsqlShell, StatementsEndAtSemicolonsOutsideLiterals) {
  struct Case {
    std::vector<std::string> lines;
    std::vector<std::string> statements;
    std::string rest;
  };
  const std::vector<Case> cases = {
      {{"SELECT 1;"}, {"SELECT 1"}, ""},
      {{"SELECT", "  1", ";"}, {"SELECT\n  1"}, ""},
      {{"SELECT 1; SELECT 2;", "SELECT 3"}, {"SELECT 1", "SELECT 2"}, "SELECT 3"},
      {{"SELECT 'a;b';"}, {"SELECT 'a;b'"}, ""},
      {{"SELECT 'it''s;';"}, {"SELECT 'it''s;'"}, ""},
      {{"SELECT 'one", "two;'", ";"}, {"SELECT 'one\ntwo;'"}, ""},
      {{"SELECT \"a;b\" FROM t;"}, {"SELECT \"a;b\" FROM t"}, ""},
      {{"SELECT $$a;b$$, $q$;$q$;"}, {"SELECT $$a;b$$, $q$;$q$"}, ""},
      {{"SELECT E'\\';' AS x;"}, {"SELECT E'\\';' AS x"}, ""},
      {{"SELECT 1 -- not the end;", "+ 1;"}, {"SELECT 1 -- not the end;\n+ 1"}, ""},
      {{"SELECT /* ; /* nested; */ ; */ 2;"}, {"SELECT /* ; /* nested; */ ; */ 2"}, ""},
      // Empty statements and comment-only statements are dropped.
      {{";;", "  ;", "-- only a comment;", "/* x */;"}, {}, ""},
      {{"-- trailing comment"}, {}, ""},
      {{"SELECT 'open"}, {}, "SELECT 'open"},
  };
  for (const auto& c : cases) {
    std::string rest;
    EXPECT_EQ(split(c.lines, &rest), c.statements) << c.lines.front();
    EXPECT_EQ(rest, c.rest) << c.lines.front();
  }
}

TEST(NvsqlShell, BufferStateDecidesThePrompt) {
  nvsql::StatementBuffer buffer;
  EXPECT_TRUE(buffer.blank());
  buffer.add_line("-- just a comment");
  EXPECT_TRUE(buffer.blank());
  EXPECT_FALSE(buffer.inside_literal());
  buffer.add_line("SELECT 'open");
  EXPECT_FALSE(buffer.blank());
  EXPECT_TRUE(buffer.inside_literal());
  buffer.add_line("still open';");
  std::string sql;
  ASSERT_TRUE(buffer.take(&sql));
  EXPECT_TRUE(buffer.blank());
  buffer.add_line("/* open comment");
  EXPECT_TRUE(buffer.inside_literal()) << "a \\ line here is comment text, not a command";
}

TEST(NvsqlShell, NamesAndPatterns) {
  using Pair = std::pair<std::string, std::string>;
  EXPECT_EQ(nvsql::split_qualified("sales.customers"), Pair("sales", "customers"));
  EXPECT_EQ(nvsql::split_qualified("customers"), Pair("", "customers"));
  EXPECT_EQ(nvsql::split_qualified("\"my.schema\".\"t\"\"q\""), Pair("my.schema", "t\"q"));
  EXPECT_EQ(nvsql::split_qualified("s.t.u"), Pair("s", "t.u"));
  EXPECT_EQ(nvsql::like_literal("100%_a\\b"), "100\\%\\_a\\\\b");
}

TEST(NvsqlShell, ProgressText) {
  EXPECT_EQ(nvsql::progress_text(1234567, 12, 5 * 1024 * 1024 + 512 * 1024, 2.0),
            "1,234,567 rows, 12 batches, 5.5 MiB, 617,283 rows/s (2.0 s)");
  EXPECT_EQ(nvsql::progress_text(0, 0, 100, 0), "0 rows, 0 batches, 100 B, 0 rows/s (0.0 s)");
}

TEST(NvsqlShell, FitText) {
  struct Case {
    std::string text;
    size_t columns;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"abcdef", 6, "abcdef"},
      {"abcdef", 4, "abc\u2026"},
      {"abcdef", 1, "\u2026"},
      {"abcdef", 0, ""},
      {"\u00e9t\u00e9 \u00e0 Z\u00fcrich", 6, "\u00e9t\u00e9 \u00e0\u2026"},  // whole code points
  };
  for (const auto& c : cases) EXPECT_EQ(nvsql::fit_text(c.text, c.columns), c.expected) << c.text;
}

std::shared_ptr<arrow::RecordBatch> wide_batch() {
  arrow::Int32Builder ids;
  (void)ids.AppendValues({1, 2});
  arrow::StringBuilder notes;
  (void)notes.Append(std::string(40, 'x'));
  (void)notes.AppendNull();
  arrow::StringBuilder more;
  (void)more.Append("short");
  (void)more.Append("also short");
  auto schema = arrow::schema({arrow::field("id", arrow::int32()),
                               arrow::field("note", arrow::utf8()),
                               arrow::field("more", arrow::utf8())});
  return arrow::RecordBatch::Make(schema, 2,
                                  {ids.Finish().ValueOrDie(), notes.Finish().ValueOrDie(),
                                   more.Finish().ValueOrDie()});
}

std::string render(const nvsql::TableLayout& layout) {
  std::ostringstream out;
  auto sink = nvsql::make_table_sink(out, layout);
  const auto batch = wide_batch();
  EXPECT_TRUE(sink->begin(batch->schema()).ok());
  EXPECT_TRUE(sink->write(*batch).ok());
  EXPECT_TRUE(sink->finish().ok());
  return out.str();
}

TEST(NvsqlShell, TablesFitTheTerminal) {
  nvsql::TableLayout layout;
  layout.show_types = false;
  // Wide enough: one table, nothing cut.
  layout.width = 80;
  EXPECT_EQ(render(layout),
            "id | note" + std::string(36, ' ') + " | more\n"
            "---+------------------------------------------+-----------\n"
            " 1 | " + std::string(40, 'x') + " | short\n"
            " 2 | NULL                                     | also short\n");
  // Too narrow, expanded off: long cells cut, columns in slices that fit.
  layout.width = 30;
  EXPECT_EQ(render(layout),
            "id | note\n"
            "---+----------------\n"
            " 1 | " + std::string(14, 'x') + "\u2026\n"
            " 2 | NULL\n"
            "\n"
            "more\n"
            "----------\n"
            "short\n"
            "also short\n");
  // Too narrow with expanded auto: one record per block, values cut to the width.
  layout.expanded = nvsql::Expanded::kAuto;
  layout.width = 20;
  EXPECT_EQ(render(layout),
            "-[ RECORD 1 ]-------\n"
            "id   | 1\n"
            "note | " + std::string(12, 'x') + "\u2026\n"
            "more | short\n"
            "-[ RECORD 2 ]-------\n"
            "id   | 2\n"
            "note | NULL\n"
            "more | also short\n");
  // Expanded on applies even when the table fits.
  layout.expanded = nvsql::Expanded::kOn;
  layout.width = 0;
  EXPECT_NE(render(layout).find("note | " + std::string(40, 'x') + "\n"), std::string::npos);
}

}  // namespace
