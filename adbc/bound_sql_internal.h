// A statement's SQL with bound values written in place of its parameter markers.
#pragma once

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

}  // namespace norvale::adbc
