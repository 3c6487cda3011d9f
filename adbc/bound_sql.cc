// Writing bound rows into a statement's SQL, and finding the row of an INSERT ... VALUES.
#include "adbc/bound_sql_internal.h"

#include "cells/param_internal.h"
#include "cells/sql_lexer.h"

namespace norvale::adbc {
namespace {

using cells::joins_into_one_token;

// The significant pieces of a statement in order: words and single punctuation bytes of the
// ordinary text (with their depth in parentheses), and every other token as one piece.
struct Piece {
  size_t begin;
  size_t end;
  int depth;  // parentheses open before the piece
  bool word;
  cells::SqlTokenKind kind;
};

std::vector<Piece> pieces_of(std::string_view sql) {
  std::vector<Piece> pieces;
  int depth = 0;
  cells::lex_sql(sql, [&](const cells::SqlToken& t) {
    if (t.kind == cells::SqlTokenKind::kComment) return;
    if (t.kind != cells::SqlTokenKind::kOther) {
      pieces.push_back(Piece{t.begin, t.end, depth, false, t.kind});
      return;
    }
    for (size_t i = t.begin; i < t.end;) {
      const auto c = static_cast<unsigned char>(sql[i]);
      if (cells::is_name_byte(c)) {
        size_t j = i + 1;
        while (j < t.end && cells::is_name_byte(static_cast<unsigned char>(sql[j]))) ++j;
        pieces.push_back(Piece{i, j, depth, true, t.kind});
        i = j;
        continue;
      }
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v') {
        if (c == ')') --depth;
        pieces.push_back(Piece{i, i + 1, depth, false, t.kind});
        if (c == '(') ++depth;
      }
      ++i;
    }
  });
  return pieces;
}

bool is_byte(std::string_view sql, const Piece& p, char c) {
  return !p.word && p.kind == cells::SqlTokenKind::kOther && p.end == p.begin + 1 &&
         sql[p.begin] == c;
}

}  // namespace

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
  const std::vector<Piece> pieces = pieces_of(sql);
  if (pieces.size() < 4 || !pieces[0].word || !pieces[1].word) return std::nullopt;
  auto word = [&](const Piece& p) { return sql.substr(p.begin, p.end - p.begin); };
  if (!cells::is_keyword(word(pieces[0]), "INSERT") ||
      !cells::is_keyword(word(pieces[1]), "INTO")) {
    return std::nullopt;
  }
  size_t values = 0;
  for (size_t i = 2; i < pieces.size(); ++i) {
    const Piece& p = pieces[i];
    if (p.kind == cells::SqlTokenKind::kSemicolon) return std::nullopt;
    if (p.depth == 0 && p.word && cells::is_keyword(word(p), "VALUES")) {
      values = i;
      break;
    }
  }
  if (values == 0 || values + 1 >= pieces.size() || !is_byte(sql, pieces[values + 1], '(')) {
    return std::nullopt;
  }
  size_t close = values + 2;
  while (close < pieces.size() && !(pieces[close].depth == 0 && is_byte(sql, pieces[close], ')'))) {
    if (pieces[close].kind == cells::SqlTokenKind::kSemicolon) return std::nullopt;
    ++close;
  }
  if (close >= pieces.size()) return std::nullopt;
  // Nothing after the row but one ';'.
  const size_t rest = pieces.size() - close - 1;
  if (rest > 1 || (rest == 1 && pieces.back().kind != cells::SqlTokenKind::kSemicolon)) {
    return std::nullopt;
  }
  const InsertValuesRow row{pieces[values + 1].begin, pieces[close].end};
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
