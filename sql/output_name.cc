#include "sql/output_name_internal.h"

#include <algorithm>
#include <functional>

#include "cells/sql_lexer.h"
#include "util/strings_internal.h"
#include "sql/syntax_tree_internal.h"

namespace nv_sql {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word_char(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool has_upper(const std::string& s) {
  return std::any_of(s.begin(), s.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

std::string join(const std::vector<std::string>& parts, const char* sep) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? sep : "") + parts[i];
  return out;
}

std::string quoted_text(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// The node's spelling of a binary operator of the parser's.
const char* binary_operator(const std::string& op) {
  static const std::pair<const char*, const char*> kOps[] = {
      {"=", "="},   {"==", "="},  {"<>", "!="}, {"!=", "!="}, {"<", "<"},   {"<=", "<="},
      {">", ">"},   {">=", ">="}, {"+", "+"},   {"-", "-"},   {"*", "*"},   {"/", "/"},
      {"%", "%"},   {"||", "||"}, {"~~", "~~"}, {"!~~", "!~~"}, {"~~*", "~~*"},
      {"!~~*", "!~~*"}};
  for (const auto& [from, to] : kOps) {
    if (op == from) return to;
  }
  return nullptr;
}

// The first operator name of an A_Expr.
std::optional<std::string> operator_name(const json& a) {
  const json& names = list_field(a, "name");
  if (names.size() != 1) return std::nullopt;
  return string_node(names.front());
}

std::string negated(const std::string& inner) { return "(NOT " + inner + ")"; }

}  // namespace

std::string quote_name(const std::string& name) {
  bool plain = !name.empty() && !is_digit(name.front());
  for (char c : name) plain = plain && is_word_char(c);
  if (plain && !is_dialect_keyword(ascii_lower(name))) return name;
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string OutputNames::Token::parsed() const {
  return kind == kName ? ascii_lower(text) : text;
}

OutputNames::OutputNames(const std::string& sql) : sql_(sql) {}

// The statement is lexed only when a name is to be worked out: a statement of column
// references alone needs none.
const std::vector<OutputNames::Token>& OutputNames::tokens() const {
  if (lexed_) return tokens_;
  lexed_ = true;
  norvale::cells::lex_sql(sql_, [&](const norvale::cells::SqlToken& t) {
    const std::string_view text = std::string_view(sql_).substr(t.begin, t.end - t.begin);
    if (t.kind == norvale::cells::SqlTokenKind::kQuotedIdentifier) {
      if (text.size() < 2 || text.front() != '"') return;
      std::string inner;
      for (size_t i = 1; i + 1 < text.size(); ++i) {
        inner += text[i];
        if (text[i] == '"') ++i;  // "" stands for one quote
      }
      tokens_.push_back(Token{Token::kQuoted, t.begin, std::move(inner)});
      return;
    }
    if (t.kind != norvale::cells::SqlTokenKind::kOther) return;
    for (size_t i = 0; i < text.size();) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c == '(' || c == ')' || c == ',' || c == '.' || c == '*') {
        tokens_.push_back(Token{Token::kPunct, t.begin + i, std::string(1, text[i])});
        ++i;
        continue;
      }
      if (!norvale::cells::is_name_byte(c)) {
        ++i;
        continue;
      }
      // Numbers (with their fractions and exponents) are no names.
      const bool number = is_digit(text[i]) || c == '$';
      size_t j = i;
      while (j < text.size() &&
             (norvale::cells::is_name_byte(text[j]) || (number && text[j] == '.'))) {
        ++j;
      }
      if (!number) {
        tokens_.push_back(Token{Token::kName, t.begin + i, std::string(text.substr(i, j - i))});
      }
      i = j;
    }
  });
  return tokens_;
}

std::optional<std::string> OutputNames::spelling(const std::string& parsed) const {
  // Folded names have no capitals: a name with capitals was quoted and is exact.
  if (has_upper(parsed)) return parsed;
  if (spellings_.empty()) {
    for (const Token& t : tokens()) {
      if (t.kind == Token::kPunct) continue;
      auto& seen = spellings_[t.parsed()];
      if (std::find(seen.begin(), seen.end(), t.text) == seen.end()) seen.push_back(t.text);
    }
  }
  auto it = spellings_.find(parsed);
  if (it == spellings_.end() || it->second.size() != 1) return std::nullopt;
  return it->second.front();
}

int64_t OutputNames::token_at(int64_t location) const {
  if (location < 0) return -1;
  auto it = std::lower_bound(tokens().begin(), tokens().end(), static_cast<size_t>(location),
                             [](const Token& t, size_t at) { return t.begin < at; });
  if (it == tokens().end() || it->begin != static_cast<size_t>(location)) return -1;
  return it - tokens().begin();
}

std::optional<std::string> OutputNames::alias(const std::string& parsed, int64_t location,
                                              int64_t next) const {
  // The item's first token (it may start with a string or a number, which are no tokens).
  const auto from = std::lower_bound(tokens().begin(), tokens().end(),
                                     static_cast<size_t>(std::max<int64_t>(location, 0)),
                                     [](const Token& t, size_t at) { return t.begin < at; });
  const int64_t first = from - tokens().begin();
  // The item ends where the next one starts, or (the last one) at the FROM that follows it at
  // its own depth; IS DISTINCT FROM is an operator.
  size_t end = tokens().size();
  int depth = 0;
  for (size_t i = static_cast<size_t>(first); i < tokens().size(); ++i) {
    const Token& t = tokens()[i];
    if (next >= 0) {
      if (t.begin >= static_cast<size_t>(next)) {
        end = i;
        break;
      }
      continue;
    }
    if (t.kind == Token::kPunct && t.text == "(") ++depth;
    if (t.kind == Token::kPunct && t.text == ")") --depth;
    if (depth == 0 && t.kind == Token::kName && norvale::ascii_eq_ci(t.text, "from") &&
        !(i > 0 && tokens()[i - 1].kind == Token::kName &&
          norvale::ascii_eq_ci(tokens()[i - 1].text, "distinct"))) {
      end = i;
      break;
    }
  }
  // The alias is the item's last name.
  for (size_t i = end; i > static_cast<size_t>(first); --i) {
    const Token& t = tokens()[i - 1];
    if (t.kind == Token::kPunct && t.text == ",") continue;
    if (t.kind == Token::kPunct || t.parsed() != parsed) return std::nullopt;
    return t.text;
  }
  return std::nullopt;
}
std::string_view OutputNames::word_at(int64_t location) const {
  if (location < 0 || static_cast<size_t>(location) >= sql_.size()) return {};
  size_t end = static_cast<size_t>(location);
  while (end < sql_.size() && is_word_char(sql_[end])) ++end;
  return std::string_view(sql_).substr(static_cast<size_t>(location),
                                       end - static_cast<size_t>(location));
}

std::optional<std::string> OutputNames::render(const json* node) const {
  const json* body = nullptr;
  const std::string kind = kind_of(node, &body);
  if (body == nullptr) return std::nullopt;
  if (kind == "ColumnRef") return column_ref(*body);
  if (kind == "A_Const") return constant(*body);
  if (kind == "A_Expr") return operator_expr(*body);
  if (kind == "BoolExpr") return bool_expr(*body);
  if (kind == "CaseExpr") return case_expr(*body);
  if (kind == "FuncCall") return function(*body);
  if (kind == "TypeCast") return cast(*body);
  if (kind == "NullTest") {
    auto arg = render(field(*body, "arg"));
    if (!arg) return std::nullopt;
    const bool not_null = str_field(*body, "nulltesttype") == "IS_NOT_NULL";
    return "(" + *arg + (not_null ? " IS NOT NULL)" : " IS NULL)");
  }
  if (kind == "CoalesceExpr") {
    auto args = list(list_field(*body, "args"));
    if (!args) return std::nullopt;
    return "COALESCE(" + *args + ")";
  }
  // Subqueries are rendered in full, in the node's own SQL: not attempted.
  return std::nullopt;
}

std::optional<std::string> OutputNames::list(const json& items) const {
  std::vector<std::string> parts;
  for (const json& item : items) {
    auto r = render(&item);
    if (!r) return std::nullopt;
    parts.push_back(std::move(*r));
  }
  return join(parts, ", ");
}

// The reference's names as written where it starts, each as the node writes it.
std::optional<std::string> OutputNames::column_ref(const json& c) const {
  const json& fields = list_field(c, "fields");
  int64_t at = token_at(c.value("location", int64_t{-1}));
  if (at < 0 || fields.empty()) return std::nullopt;
  std::string out;
  for (size_t k = 0; k < fields.size(); ++k, ++at) {
    if (k > 0) {
      if (static_cast<size_t>(at) >= tokens().size() || tokens()[at].text != "." ||
          tokens()[at].kind != Token::kPunct) {
        return std::nullopt;
      }
      out += ".";
      ++at;
    }
    if (static_cast<size_t>(at) >= tokens().size()) return std::nullopt;
    const Token& t = tokens()[at];
    const json* body = nullptr;
    if (kind_of(&fields[k], &body) == "A_Star") {
      if (t.kind != Token::kPunct || t.text != "*") return std::nullopt;
      out += "*";
      continue;
    }
    auto parsed = string_node(fields[k]);
    if (!parsed || t.kind == Token::kPunct || t.parsed() != *parsed) return std::nullopt;
    out += quote_name(t.text);
  }
  return out;
}

std::optional<std::string> OutputNames::constant(const json& c) const {
  if (bool_field(c, "isnull")) return std::string("NULL");
  if (const json* bv = field(c, "boolval")) {
    return std::string(bv->value("boolval", false) ? "true" : "false");
  }
  if (const json* sv = field(c, "sval")) return quoted_text(sv->value("sval", std::string()));
  // A number the parser keeps as text is the node's rendering of it, sign included.
  if (const json* fv = field(c, "fval")) return fv->value("fval", std::string());
  if (const json* iv = field(c, "ival")) {
    return integer_text(c, iv->value("ival", static_cast<int64_t>(0)));
  }
  return std::nullopt;
}

// The node keeps an integer's digits as written (01, 1_000); a minus the parser folded into the
// constant is written before them, once per odd count (- -1 is 1).
std::optional<std::string> OutputNames::integer_text(const json& c, int64_t value) const {
  const int64_t location = c.value("location", static_cast<int64_t>(-1));
  // A constant the grammar adds (substring(x FOR n) starts at 1) has no text.
  if (location < 0) return std::to_string(value);
  size_t i = static_cast<size_t>(location);
  int minus = 0;
  while (i < sql_.size()) {
    const char ch = sql_[i];
    if (ch == '-') {
      ++minus;
    } else if (ch != '(' && ch != ' ' && ch != '\t' && ch != '\n' && ch != '\r') {
      break;
    }
    ++i;
  }
  size_t end = i;
  uint64_t digits = 0;
  while (end < sql_.size() && (is_digit(sql_[end]) || sql_[end] == '_')) {
    if (sql_[end] != '_') digits = digits * 10 + static_cast<uint64_t>(sql_[end] - '0');
    if (digits > (uint64_t{1} << 32)) return std::nullopt;
    ++end;
  }
  if (end == i || (end < sql_.size() && (is_word_char(sql_[end]) || sql_[end] == '.'))) {
    return std::nullopt;
  }
  const int64_t read = minus % 2 ? -static_cast<int64_t>(digits) : static_cast<int64_t>(digits);
  if (read != value) return std::nullopt;
  return (minus % 2 ? "-" : "") + sql_.substr(i, end - i);
}

std::optional<std::string> OutputNames::operator_expr(const json& a) const {
  const std::string kind = str_field(a, "kind");
  const auto name = operator_name(a);
  if (!name) return std::nullopt;
  auto lhs = render(field(a, "lexpr"));
  if (!lhs) return std::nullopt;
  const json* rexpr = field(a, "rexpr");
  const json* rbody = nullptr;
  const std::string rkind = kind_of(rexpr, &rbody);
  if (kind == "AEXPR_IN") {
    if (rkind != "List") return std::nullopt;
    auto items = list(list_field(*rbody, "items"));
    if (!items) return std::nullopt;
    const std::string in = "(" + *lhs + " IN (" + *items + "))";
    if (*name == "=") return in;
    if (*name == "<>") return negated(in);
    return std::nullopt;
  }
  if (kind == "AEXPR_BETWEEN" || kind == "AEXPR_NOT_BETWEEN") {
    const json& bounds = rkind == "List" ? list_field(*rbody, "items") : JsonValue::EmptyArray();
    if (bounds.size() != 2) return std::nullopt;
    auto lo = render(&bounds[0]);
    auto hi = render(&bounds[1]);
    if (!lo || !hi) return std::nullopt;
    const std::string between = "(" + *lhs + " BETWEEN " + *lo + " AND " + *hi + ")";
    return kind == "AEXPR_BETWEEN" ? between : negated(between);
  }
  if ((kind == "AEXPR_LIKE" || kind == "AEXPR_ILIKE") && rkind == "FuncCall") {
    // x [NOT] [I]LIKE p ESCAPE e arrives as like_escape(p, e) on the right.
    const json& fname = list_field(*rbody, "funcname");
    const json& args = list_field(*rbody, "args");
    auto last = fname.empty() ? std::nullopt : string_node(fname.back());
    if (!last || *last != "like_escape" || args.size() != 2) return std::nullopt;
    auto pattern = render(&args[0]);
    auto escape = render(&args[1]);
    if (!pattern || !escape) return std::nullopt;
    const bool ilike = kind == "AEXPR_ILIKE";
    const std::string call = std::string(ilike ? "ilike_escape(" : "like_escape(") + *lhs +
                             ", " + *pattern + ", " + *escape + ")";
    if (*name == (ilike ? "~~*" : "~~")) return call;
    if (*name == (ilike ? "!~~*" : "!~~")) return negated(call);
    return std::nullopt;
  }
  auto rhs = render(rexpr);
  if (!rhs) return std::nullopt;
  if (kind == "AEXPR_NULLIF") return "\"nullif\"(" + *lhs + ", " + *rhs + ")";
  if (kind == "AEXPR_DISTINCT") return "(" + *lhs + " IS DISTINCT FROM " + *rhs + ")";
  if (kind == "AEXPR_NOT_DISTINCT") return "(" + *lhs + " IS NOT DISTINCT FROM " + *rhs + ")";
  if (kind != "AEXPR_OP" && kind != "AEXPR_LIKE" && kind != "AEXPR_ILIKE") return std::nullopt;
  const char* op = binary_operator(*name);
  if (op == nullptr) return std::nullopt;
  return "(" + *lhs + " " + op + " " + *rhs + ")";
}

std::optional<std::string> OutputNames::bool_expr(const json& b) const {
  const std::string op = str_field(b, "boolop");
  const json& args = list_field(b, "args");
  if (op == "NOT_EXPR") {
    if (args.size() != 1) return std::nullopt;
    auto inner = render(&args[0]);
    if (!inner) return std::nullopt;
    return negated(*inner);
  }
  if (op != "AND_EXPR" && op != "OR_EXPR") return std::nullopt;
  // The node keeps one flat list of the operands of nested ANDs (ORs): (a AND b AND c).
  std::vector<std::string> parts;
  std::function<bool(const json&)> flatten = [&](const json& operands) {
    for (size_t i = 0; i < operands.size(); ++i) {
      const json* body = nullptr;
      if (kind_of(&operands[i], &body) == "BoolExpr" && str_field(*body, "boolop") == op) {
        if (!flatten(list_field(*body, "args"))) return false;
        continue;
      }
      auto r = render(&operands[i]);
      if (!r) return false;
      parts.push_back(std::move(*r));
    }
    return true;
  };
  if (!flatten(args)) return std::nullopt;
  if (parts.size() < 2) return std::nullopt;
  return "(" + join(parts, op == "AND_EXPR" ? " AND " : " OR ") + ")";
}

std::optional<std::string> OutputNames::case_expr(const json& c) const {
  std::optional<std::string> operand;
  if (const json* arg = field(c, "arg")) {
    operand = render(arg);
    if (!operand) return std::nullopt;
  }
  // CASE x WHEN v is CASE WHEN x = v; a missing ELSE is ELSE NULL.
  std::string out = "CASE ";
  for (const json& w : list_field(c, "args")) {
    const json* wbody = nullptr;
    if (kind_of(&w, &wbody) != "CaseWhen") return std::nullopt;
    auto cond = render(field(*wbody, "expr"));
    auto then = render(field(*wbody, "result"));
    if (!cond || !then) return std::nullopt;
    if (operand) cond = "(" + *operand + " = " + *cond + ")";
    out += " WHEN (" + *cond + ") THEN (" + *then + ")";
  }
  std::string otherwise = "NULL";
  if (const json* def = field(c, "defresult")) {
    auto r = render(def);
    if (!r) return std::nullopt;
    otherwise = *r;
  }
  return out + " ELSE " + otherwise + " END";
}

std::optional<std::string> OutputNames::function(const json& f) const {
  if (field(f, "over") || field(f, "agg_filter") || bool_field(f, "agg_within_group") ||
      bool_field(f, "func_variadic")) {
    return std::nullopt;
  }
  const auto parts = string_list(list_field(f, "funcname"));
  if (!parts) return std::nullopt;
  const std::vector<std::string>& names = *parts;
  std::string name;
  if (names.size() == 1) {
    name = ascii_lower(names.front());  // the node's function names are lower case, quoted or not
  } else if (names.size() == 2 && names.front() == "pg_catalog" &&
             str_field(f, "funcformat") == "COERCE_SQL_SYNTAX") {
    // SUBSTRING(x FROM a FOR b), TRIM(... FROM x), POSITION(a IN b): the node names the call.
    static const std::pair<const char*, const char*> kForms[] = {
        {"substring", "substring"}, {"btrim", "trim"}, {"ltrim", "ltrim"},
        {"rtrim", "rtrim"},         {"position", "position"}};
    for (const auto& [from, to] : kForms) {
      if (names.back() == from) name = to;
    }
    if (name.empty()) return std::nullopt;
  } else {
    return std::nullopt;
  }
  if (bool_field(f, "agg_star")) {
    if (name != "count") return std::nullopt;
    return std::string("count_star()");
  }
  // A cast the grammar adds to an argument (substring(x FOR n)) does not show.
  std::vector<std::string> args;
  for (const json& a : list_field(f, "args")) {
    const json* body = nullptr;
    const json* arg = &a;
    if (kind_of(arg, &body) == "TypeCast" && body->value("location", int64_t{0}) < 0) {
      arg = field(*body, "arg");
    }
    auto r = render(arg);
    if (!r) return std::nullopt;
    args.push_back(std::move(*r));
  }
  std::string out = quote_name(name) + "(" + (bool_field(f, "agg_distinct") ? "DISTINCT " : "") +
                    join(args, ", ");
  const json& order = list_field(f, "agg_order");
  for (size_t k = 0; k < order.size(); ++k) {
    const json* sbody = nullptr;
    if (kind_of(&order[k], &sbody) != "SortBy") return std::nullopt;
    auto key = render(field(*sbody, "node"));
    if (!key) return std::nullopt;
    const std::string dir = str_field(*sbody, "sortby_dir");
    const std::string nulls = str_field(*sbody, "sortby_nulls");
    out += (k ? ", " : " ORDER BY ") + *key;
    if (dir == "SORTBY_ASC") out += " ASC";
    if (dir == "SORTBY_DESC") out += " DESC";
    if (dir == "SORTBY_USING") return std::nullopt;
    if (nulls == "SORTBY_NULLS_FIRST") out += " NULLS FIRST";
    if (nulls == "SORTBY_NULLS_LAST") out += " NULLS LAST";
  }
  return out + ")";
}

std::optional<std::string> OutputNames::cast(const json& c) const {
  auto operand = render(field(c, "arg"));
  if (!operand) return std::nullopt;
  const json* tn = field(c, "typeName");
  if (tn == nullptr) return std::nullopt;
  const json* tbody = tn->contains("TypeName") ? &(*tn)["TypeName"] : tn;
  auto type = type_name(*tbody);
  if (!type) return std::nullopt;
  return "CAST(" + *operand + " AS " + *type + ")";
}

// A type the grammar knows by keyword is named by the node in capitals; any other type name is
// kept as written.
std::optional<std::string> OutputNames::type_name(const json& t) const {
  if (!list_field(t, "arrayBounds").empty() || !list_field(t, "typmods").empty()) {
    return std::nullopt;
  }
  const auto parts = string_list(list_field(t, "names"));
  if (!parts) return std::nullopt;
  const std::vector<std::string>& names = *parts;
  const std::string written = ascii_lower(std::string(word_at(t.value("location", int64_t{-1}))));
  if (names.size() == 1) {
    if (written != names.front()) return std::nullopt;
    return std::string(word_at(t.value("location", int64_t{-1})));
  }
  if (names.size() != 2 || names.front() != "pg_catalog") return std::nullopt;
  static const struct {
    const char* parsed;
    const char* written;
    const char* node;
  } kKeywordTypes[] = {
      {"int4", "int", "INTEGER"},         {"int4", "integer", "INTEGER"},
      {"int8", "bigint", "BIGINT"},       {"bool", "boolean", "BOOLEAN"},
      {"varchar", "varchar", "VARCHAR"},  {"varchar", "character", "VARCHAR"},
      {"varchar", "char", "VARCHAR"},     {"bpchar", "character", "VARCHAR"},
      {"bpchar", "char", "VARCHAR"},      {"float8", "double", "DOUBLE"},
      {"timestamp", "timestamp", "TIMESTAMP"},
  };
  for (const auto& k : kKeywordTypes) {
    if (names.back() == k.parsed && written == k.written) return std::string(k.node);
  }
  return std::nullopt;
}

}  // namespace nv_sql
