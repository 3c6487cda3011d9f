// Placeholder scanning and SQL literal quoting shared by the parameter functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace norvale::cells {

/// Walks `sql` and calls on_placeholder(offset) for each ? that is a placeholder: one outside
/// '...' literals, "..." and [...] identifiers (a doubled closing character stays inside),
/// -- line comments and /* */ block comments. Stops at the end or inside an unterminated
/// literal, identifier or comment.
template <typename OnPlaceholder>
void scan_placeholders(std::string_view sql, OnPlaceholder&& on_placeholder) {
  const size_t n = sql.size();
  size_t i = 0;
  auto skip_quoted = [&](char close) {
    // i is just past the opening character; true when the closing one was found.
    while (i < n) {
      if (sql[i] == close) {
        if (i + 1 < n && sql[i + 1] == close) {
          i += 2;
          continue;
        }
        ++i;
        return true;
      }
      ++i;
    }
    return false;
  };
  while (i < n) {
    const char c = sql[i];
    if (c == '\'' || c == '"' || c == '[') {
      ++i;
      if (!skip_quoted(c == '[' ? ']' : c)) return;
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      const size_t eol = sql.find('\n', i + 2);
      if (eol == std::string_view::npos) return;
      i = eol;
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      const size_t close = sql.find("*/", i + 2);
      if (close == std::string_view::npos) return;
      i = close + 2;
    } else {
      if (c == '?') on_placeholder(i);
      ++i;
    }
  }
}

/// Appends text as a SQL string literal: quotes around it, each single quote doubled.
void append_sql_quoted(std::string& out, std::string_view text);

/// Appends X'..' with two upper-case hexadecimal digits per byte.
void append_hex_literal(std::string& out, const uint8_t* data, size_t length);

}  // namespace norvale::cells
