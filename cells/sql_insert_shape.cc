// Reading the shape of INSERT INTO ... VALUES (...) from the lexer's tokens.
#include "cells/sql_insert_shape.h"

#include "cells/sql_lexer.h"

namespace norvale::cells {
namespace {

// A significant token: a word or one punctuation byte of the ordinary text, or a whole token of
// another kind (comments and blanks are dropped).
struct Piece {
  SqlTokenKind kind;
  size_t begin;
  size_t end;
  bool word;  // a run of name bytes within the ordinary text
};

bool is_blank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::optional<std::vector<Piece>> pieces_of(std::string_view sql) {
  std::vector<Piece> pieces;
  const bool complete = lex_sql(sql, [&](const SqlToken& t) {
    if (t.kind == SqlTokenKind::kComment) return;
    if (t.kind != SqlTokenKind::kOther) {
      pieces.push_back(Piece{t.kind, t.begin, t.end, false});
      return;
    }
    for (size_t i = t.begin; i < t.end;) {
      const auto c = static_cast<unsigned char>(sql[i]);
      if (is_name_byte(c)) {
        size_t j = i + 1;
        while (j < t.end && is_name_byte(static_cast<unsigned char>(sql[j]))) ++j;
        pieces.push_back(Piece{t.kind, i, j, true});
        i = j;
      } else {
        if (!is_blank(c)) pieces.push_back(Piece{t.kind, i, i + 1, false});
        ++i;
      }
    }
  });
  if (!complete) return std::nullopt;
  return pieces;
}

class Reader {
 public:
  Reader(std::string_view sql, std::vector<Piece> pieces)
      : sql_(sql), pieces_(std::move(pieces)) {}

  bool at_end() const { return at_ >= pieces_.size(); }
  size_t position() const { return at_; }

  bool Keyword(std::string_view upper) {
    if (at_end() || !pieces_[at_].word) return false;
    if (!is_keyword(text(pieces_[at_]), upper)) return false;
    ++at_;
    return true;
  }

  bool Byte(char c) {
    if (at_end() || !IsByte(pieces_[at_], c)) return false;
    ++at_;
    return true;
  }

  // A bare name (not starting with a digit or $) or a quoted identifier.
  std::optional<SqlIdentifier> Identifier() {
    if (at_end()) return std::nullopt;
    const Piece& p = pieces_[at_];
    if (p.kind == SqlTokenKind::kQuotedIdentifier && sql_[p.begin] == '"') {
      ++at_;
      SqlIdentifier id{"", true};
      const std::string_view inner = sql_.substr(p.begin + 1, p.end - p.begin - 2);
      for (size_t i = 0; i < inner.size(); ++i) {
        id.name += inner[i];
        if (inner[i] == '"') ++i;  // "" stands for one "
      }
      return id;
    }
    if (!p.word) return std::nullopt;
    const auto first = static_cast<unsigned char>(sql_[p.begin]);
    if ((first >= '0' && first <= '9') || first == '$') return std::nullopt;
    ++at_;
    return SqlIdentifier{std::string(text(p)), false};
  }

  bool Semicolon() {
    if (at_end() || pieces_[at_].kind != SqlTokenKind::kSemicolon) return false;
    ++at_;
    return true;
  }

  // A parenthesised, comma-separated list whose "(" was just read: the spans of its items.
  std::optional<std::vector<InsertValuesShape::Span>> ListItems() {
    std::vector<InsertValuesShape::Span> items;
    size_t first = at_;
    int depth = 0;
    for (; !at_end(); ++at_) {
      const Piece& p = pieces_[at_];
      if (p.kind == SqlTokenKind::kSemicolon) return std::nullopt;
      if (IsByte(p, '(') || IsByte(p, '[') || IsByte(p, '{')) {
        ++depth;
        continue;
      }
      const bool close = IsByte(p, ')');
      if (depth > 0) {
        if (close || IsByte(p, ']') || IsByte(p, '}')) --depth;
        continue;
      }
      if (!close && !IsByte(p, ',')) continue;
      if (at_ == first) return std::nullopt;  // an empty item
      items.push_back({pieces_[first].begin, pieces_[at_ - 1].end, at_ - first});
      first = at_ + 1;
      if (close) {
        ++at_;
        return items;
      }
    }
    return std::nullopt;
  }

  size_t begin_of(size_t piece) const { return pieces_[piece].begin; }
  size_t end_of(size_t piece) const { return pieces_[piece].end; }

 private:
  std::string_view text(const Piece& p) const { return sql_.substr(p.begin, p.end - p.begin); }
  bool IsByte(const Piece& p, char c) const {
    return !p.word && p.kind == SqlTokenKind::kOther && p.end == p.begin + 1 && sql_[p.begin] == c;
  }

  std::string_view sql_;
  std::vector<Piece> pieces_;
  size_t at_ = 0;
};

}  // namespace

std::optional<InsertValuesShape> parse_insert_values(std::string_view sql) {
  auto pieces = pieces_of(sql);
  if (!pieces) return std::nullopt;
  Reader in(sql, std::move(*pieces));
  if (!in.Keyword("INSERT") || !in.Keyword("INTO")) return std::nullopt;

  InsertValuesShape shape;
  for (;;) {
    auto part = in.Identifier();
    if (!part) return std::nullopt;
    shape.table.push_back(std::move(*part));
    if (!in.Byte('.')) break;
    if (shape.table.size() == 3) return std::nullopt;
  }
  if (in.Byte('(')) {
    shape.has_column_list = true;
    for (;;) {
      auto column = in.Identifier();
      if (!column) return std::nullopt;
      shape.columns.push_back(std::move(*column));
      if (in.Byte(')')) break;
      if (!in.Byte(',')) return std::nullopt;
    }
  }
  if (!in.Keyword("VALUES")) return std::nullopt;
  const size_t open = in.position();
  if (!in.Byte('(')) return std::nullopt;
  auto values = in.ListItems();
  if (!values) return std::nullopt;
  shape.values = std::move(*values);
  shape.row = {in.begin_of(open), in.end_of(in.position() - 1), in.position() - open};
  // Nothing after the row but one ';'.
  in.Semicolon();
  if (!in.at_end()) return std::nullopt;
  return shape;
}

}  // namespace norvale::cells
