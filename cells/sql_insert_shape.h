// The shape of a one-row INSERT ... VALUES statement, read with the library's SQL lexer: the
// table it names, its column list and the values of its row.
// Standard library only, like the lexer it builds on.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvale::cells {

/// One identifier as the statement writes it.
struct SqlIdentifier {
  std::string name;  // bare: the text as written; quoted: the text inside, "" read as one "
  bool quoted = false;

  bool operator==(const SqlIdentifier&) const = default;
};

/// INSERT INTO <table> [(<columns>)] VALUES (<values>) [;]
struct InsertValuesShape {
  struct Span {
    size_t begin;  // [begin, end) byte offsets into the statement
    size_t end;
    size_t tokens;  // significant tokens in it: a lone placeholder has one
  };
  std::vector<SqlIdentifier> table;    // one to three parts: [catalog .] [schema .] table
  bool has_column_list = false;
  std::vector<SqlIdentifier> columns;  // the column list, in order
  Span row{};                          // the row, from its "(" to just past its ")"
  std::vector<Span> values;            // each value of the row, without blanks and comments
};

/// The shape of `sql` when it is exactly one INSERT INTO ... VALUES statement of one row
/// (comments, blanks and one trailing ';' aside); nullopt for anything else: several rows, a
/// SELECT, INSERT OR REPLACE, an alias, BY NAME, ON CONFLICT, RETURNING, DEFAULT VALUES, or
/// text the lexer finds unterminated. The values themselves may be any expressions.
std::optional<InsertValuesShape> parse_insert_values(std::string_view sql);

}  // namespace norvale::cells
