// SQL literal writing shared by the parameter functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace norvale::cells {

/// Appends text as a SQL string literal: quotes around it, each single quote doubled.
void append_sql_quoted(std::string& out, std::string_view text);

/// Whether the service's lexer would read `left` followed by `right` as one token (or the start
/// of a longer one): a literal written next to text needs a space where its edge and the text's
/// edge join ("- -5", never "--5"; "E '..'", never "E'..'").
bool joins_into_one_token(char left, char right);

/// Appends X'..' with two upper-case hexadecimal digits per byte.
void append_hex_literal(std::string& out, const uint8_t* data, size_t length);

}  // namespace norvale::cells
