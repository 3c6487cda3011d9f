// Writing bound rows into a statement's SQL, and finding the row of an INSERT ... VALUES.
#include "adbc/bound_sql_internal.h"

#include "cells/param_internal.h"
#include "cells/sql_insert_shape.h"

namespace norvale::adbc {

using cells::joins_into_one_token;

SqlTemplate::SqlTemplate(std::string_view sql, size_t begin, size_t end,
                         const StatementParameters& params, const std::vector<int>& columns) {
  size_t copied = begin;
  const std::vector<ParameterMarker>& markers = params.markers;
  for (size_t i = 0; i < markers.size(); ++i) {
    const ParameterMarker& m = markers[i];
    if (m.begin < begin || m.end > end) continue;
    const char left = m.begin > 0 ? sql[m.begin - 1] : '\0';
    const char right = m.end < sql.size() ? sql[m.end] : '\0';
    // A literal starts with a letter or a quote and ends with a letter, a quote or ')'; after
    // a ':' its first word would read as a :name, and two literals next to each other join
    // ('a''b' is one string).
    const bool next_is_marker = i + 1 < markers.size() && markers[i + 1].begin == m.end;
    const bool after_marker = i > 0 && markers[i - 1].end == m.begin;  // spaced already
    slots_.push_back(Slot{std::string(sql.substr(copied, m.begin - copied)),
                          columns[static_cast<size_t>(m.parameter)],
                          !after_marker && (left == ':' || joins_into_one_token(left, 'A') ||
                                            joins_into_one_token(left, '\'')),
                          next_is_marker || joins_into_one_token('A', right) ||
                              joins_into_one_token('\'', right)});
    copied = m.end;
  }
  tail_ = std::string(sql.substr(copied, end - copied));
}

void SqlTemplate::AppendRow(const std::vector<cells::SqlLiteralColumn>& literals, int64_t row,
                            std::string* out) const {
  for (const Slot& slot : slots_) {
    out->append(slot.before);
    if (slot.space_before) out->push_back(' ');
    literals[static_cast<size_t>(slot.column)].Append(row, out);
    if (slot.space_after) out->push_back(' ');
  }
  out->append(tail_);
}

std::optional<InsertValuesRow> find_insert_values_row(std::string_view sql,
                                                      const StatementParameters& params) {
  if (params.markers.empty()) return std::nullopt;
  const std::optional<cells::InsertValuesShape> shape = cells::parse_insert_values(sql);
  if (!shape) return std::nullopt;
  const InsertValuesRow row{shape->row.begin, shape->row.end};
  for (const ParameterMarker& m : params.markers) {
    if (m.begin < row.begin || m.end > row.end) return std::nullopt;
  }
  return row;
}

BoundSql::BoundSql(std::string sql, StatementParameters parameters, std::vector<int> columns)
    : sql_(std::move(sql)),
      parameters_(std::move(parameters)),
      columns_(std::move(columns)),
      statement_(sql_, 0, sql_.size(), parameters_, columns_) {}

arrow::Result<BoundSql> BoundSql::Make(std::string sql, bool by_name,
                                       const arrow::Schema& schema) {
  ARROW_ASSIGN_OR_RAISE(StatementParameters parameters, find_parameters(sql, by_name));
  ARROW_ASSIGN_OR_RAISE(std::vector<int> columns, bind_columns(parameters, schema, by_name));
  return BoundSql(std::move(sql), std::move(parameters), std::move(columns));
}

arrow::Result<BoundLiterals> BoundSql::LiteralsOf(const arrow::RecordBatch& batch,
                                                  int* failed_column) {
  BoundLiterals literals;
  literals.reserve(static_cast<size_t>(batch.num_columns()));
  for (int c = 0; c < batch.num_columns(); ++c) {
    auto column = cells::SqlLiteralColumn::Make(batch.column(c));
    if (!column.ok()) {
      *failed_column = c;
      return column.status();
    }
    literals.push_back(*std::move(column));
  }
  return literals;
}

arrow::Result<std::string> sql_with_first_row(std::string sql, bool by_name,
                                              const arrow::RecordBatch& batch) {
  ARROW_ASSIGN_OR_RAISE(BoundSql bound, BoundSql::Make(std::move(sql), by_name, *batch.schema()));
  int failed_column = -1;
  ARROW_ASSIGN_OR_RAISE(BoundLiterals literals,
                        BoundSql::LiteralsOf(*batch.Slice(0, 1), &failed_column));
  std::string text;
  bound.AppendStatement(literals, 0, &text);
  return text;
}

}  // namespace norvale::adbc
