#include "tools/nvsql/statement_buffer.h"

#include "cells/sql_lexer.h"

namespace nvsql {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

std::string trimmed(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && is_space(text[begin])) ++begin;
  while (end > begin && is_space(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

namespace {

using norvale::cells::lex_sql;
using norvale::cells::SqlToken;
using norvale::cells::SqlTokenKind;

bool has_content(std::string_view text, const SqlToken& token) {
  if (token.kind == SqlTokenKind::kComment) return false;
  for (size_t i = token.begin; i < token.end; ++i) {
    if (!is_space(text[i])) return true;
  }
  return false;
}

}  // namespace

void StatementBuffer::add_line(std::string_view line) {
  text_.append(line);
  text_.push_back('\n');
}

bool StatementBuffer::take(std::string* statement) {
  for (;;) {
    size_t end = std::string::npos;  // offset just past the first semicolon
    size_t semicolon = 0;
    bool content = false;
    lex_sql(text_, [&](const SqlToken& token) {
      if (end != std::string::npos) return;
      if (token.kind == SqlTokenKind::kSemicolon) {
        semicolon = token.begin;
        end = token.end;
      } else {
        content = content || has_content(text_, token);
      }
    });
    if (end == std::string::npos) return false;
    std::string text = trimmed(std::string_view(text_).substr(0, semicolon));
    text_.erase(0, end);
    if (content) {
      *statement = std::move(text);
      return true;
    }
  }
}

bool StatementBuffer::take_rest(std::string* statement) {
  const bool content = !blank();
  std::string text = trimmed(text_);
  text_.clear();
  if (!content) return false;
  *statement = std::move(text);
  return true;
}

bool StatementBuffer::blank() const {
  bool content = false;
  lex_sql(text_, [&](const SqlToken& token) { content = content || has_content(text_, token); });
  return !content;
}

bool StatementBuffer::inside_literal() const {
  return !lex_sql(text_, [](const SqlToken&) {});
}

}  // namespace nvsql
