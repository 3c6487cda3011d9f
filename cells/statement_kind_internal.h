// What a statement is, by its first keyword, read with the library's SQL lexer: the one
// classifier behind the metadata engine's choice of statements and the catalog's write notes.
#pragma once

#include <cstdint>
#include <string_view>

namespace norvale::cells {

enum class StatementKind : uint8_t {
  kNone,      // no keyword: blank, only comments, or a literal first
  kReadOnly,  // SELECT, VALUES, SHOW, DESCRIBE, EXPLAIN, SUMMARIZE
  kQuery,     // WITH, TABLE, FROM: a query, which may still hold a write (WITH ... DELETE)
  kOther,     // anything else: INSERT, UPDATE, DDL, SET, ...
};

/// The kind of `sql` by its first keyword, after blanks, opening parentheses and comments
/// (block comments nest, as the service reads them).
StatementKind statement_kind(std::string_view sql);

/// Whether `sql` may be a query the metadata engine could answer: anything but kOther. INSERT,
/// UPDATE, DDL and the like are not; the engine would only parse them to decline.
bool sql_may_be_query(std::string_view sql);

/// Whether `sql`, run on a compute node, may change the catalog: anything but kReadOnly.
bool sql_may_write_catalog(std::string_view sql);

/// Whether `sql` names an information_schema relation (ASCII case-insensitive).
bool sql_reads_catalog(std::string_view sql);

}  // namespace norvale::cells
