// A statement's SQL with bound values written in place of its parameter markers: the one
// pipeline from SQL text and bound data to statements (find the markers, bind each parameter to
// its column, write the columns' literals where the markers stand).
#pragma once

#include <arrow/record_batch.h>
#include <arrow/result.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adbc/parameter_markers_internal.h"
#include "cells/sql_literal_internal.h"

namespace norvale::adbc {

/// A stretch of SQL text, sql[begin, end), whose markers take the literals of one bound row.
class SqlTemplate {
 public:
  /// `columns[p]` is the bound column of parameter p; the markers outside the stretch are not
  /// written.
  SqlTemplate(std::string_view sql, size_t begin, size_t end, const StatementParameters& params,
              const std::vector<int>& columns);

  /// Appends the stretch with the literals of `row` (literals[c] writes column c's values).
  void AppendRow(const std::vector<cells::SqlLiteralColumn>& literals, int64_t row,
                 std::string* out) const;

 private:
  struct Slot {
    std::string before;  // the text up to the marker
    int column;
    bool space_before;   // the literal would otherwise join the text around it into one token
    bool space_after;
  };
  std::vector<Slot> slots_;
  std::string tail_;
};

/// Where the one row of an INSERT INTO ... VALUES (row) statement lies: the statement is then
/// sent with many rows. Only plain INSERTs into a named table qualify (no OR REPLACE, ON
/// CONFLICT, RETURNING or a query around the row: with several rows at once those behave
/// otherwise than row by row), whose markers are all inside the row and which end after it
/// (blanks, comments and one ';' aside).
struct InsertValuesRow {
  size_t begin;  // the row's "(" ...
  size_t end;    // ... and just past its ")"
};
std::optional<InsertValuesRow> find_insert_values_row(std::string_view sql,
                                                      const StatementParameters& params);

/// The literal writers of one bound batch, one per column.
using BoundLiterals = std::vector<cells::SqlLiteralColumn>;

/// A statement's SQL bound to the columns of bound data.
class BoundSql {
 public:
  /// Finds the markers of `sql` and binds each parameter to its column of `schema` (by name
  /// with `by_name`). Failures carry their SQLSTATE (42000 for the markers, 07002 for the
  /// binding).
  static arrow::Result<BoundSql> Make(std::string sql, bool by_name, const arrow::Schema& schema);

  /// The literals of `batch`'s columns. A column without literals fails with its SQLSTATE
  /// (07006 for its type, 22xxx and the row for a value); `*failed_column` then names it.
  static arrow::Result<BoundLiterals> LiteralsOf(const arrow::RecordBatch& batch,
                                                 int* failed_column);

  const std::string& sql() const { return sql_; }
  const StatementParameters& parameters() const { return parameters_; }
  const std::vector<int>& columns() const { return columns_; }

  /// Appends the whole statement with the literals of `row`.
  void AppendStatement(const BoundLiterals& literals, int64_t row, std::string* out) const {
    statement_.AppendRow(literals, row, out);
  }

 private:
  BoundSql(std::string sql, StatementParameters parameters, std::vector<int> columns);

  std::string sql_;
  StatementParameters parameters_;
  std::vector<int> columns_;  // columns_[p]: the bound column of parameter p
  SqlTemplate statement_;
};

/// The statement with the literals of the first row of `batch` (which has rows).
arrow::Result<std::string> sql_with_first_row(std::string sql, bool by_name,
                                              const arrow::RecordBatch& batch);

}  // namespace norvale::adbc
