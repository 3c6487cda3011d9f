// Operator expressions (A_Expr): comparisons and arithmetic, IN lists, LIKE / ILIKE with and
// without ESCAPE, BETWEEN, NULLIF and IS [NOT] DISTINCT FROM.

#include "sql/walker_internal.h"

namespace nv_sql {
namespace {

/// x LIKE 'p' ESCAPE 'e' arrives as like_escape('p', 'e'). With constant text and a one-byte
/// (or empty) escape, the pattern is rewritten into the backslash-escape form of LikeExpr;
/// anything else (a trailing escape, a longer escape string) stays a call and fails later.
std::optional<std::string> like_with_escape(const json& rexpr) {
  const json* body = nullptr;
  if (kind_of(&rexpr, &body) != "FuncCall") return std::nullopt;
  const json& names = list_field(*body, "funcname");
  auto last = names.empty() ? std::nullopt : string_node(names.back());
  if (!last || *last != "like_escape") return std::nullopt;
  if (names.size() == 2) {
    auto first = string_node(names.front());
    if (!first || *first != "pg_catalog") return std::nullopt;
  } else if (names.size() != 1) {
    return std::nullopt;
  }
  const json& args = list_field(*body, "args");
  if (args.size() != 2) return std::nullopt;
  std::string texts[2];
  for (int i = 0; i < 2; ++i) {
    const json* cbody = nullptr;
    if (kind_of(&args[i], &cbody) != "A_Const") return std::nullopt;
    const json* sv = field(*cbody, "sval");
    if (sv == nullptr) return std::nullopt;
    texts[i] = sv->value("sval", std::string());
  }
  const std::string& pattern = texts[0];
  const std::string& esc = texts[1];
  if (esc.size() > 1 || (esc.size() == 1 && static_cast<unsigned char>(esc[0]) >= 0x80)) {
    return std::nullopt;
  }
  std::string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (!esc.empty() && c == esc[0]) {
      if (i + 1 == pattern.size()) return std::nullopt;
      out += '\\';
      out += pattern[++i];
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

ExprPtr Walker::transform_a_expr(const json& a) {
  const std::string kind = str_field(a, "kind");
  const json& names = list_field(a, "name");
  std::optional<std::string> name;
  if (!names.empty()) name = string_node(names.front());
  if ((kind == "AEXPR_OP" || kind == "AEXPR_OP_ANY" || kind == "AEXPR_OP_ALL") && !name) {
    return abort_with(ParseStatus::Malformed, "PGAExpr without operator name");
  }
  const json* lexpr = field(a, "lexpr");
  const json* rexpr = field(a, "rexpr");

  if (kind == "AEXPR_OP") {
    if (lexpr == nullptr || rexpr == nullptr) {
      return abort_with(ParseStatus::Malformed, "binary operator missing operand");
    }
    auto lhs = transform_expression(lexpr);
    if (!lhs) return nullptr;
    auto rhs = transform_expression(rexpr);
    if (!rhs) return nullptr;
    static const std::pair<const char*, CmpOp> kCmp[] = {
        {"=", CmpOp::Eq},  {"==", CmpOp::Eq}, {"<>", CmpOp::Ne}, {"!=", CmpOp::Ne},
        {"<", CmpOp::Lt},  {"<=", CmpOp::Le}, {">", CmpOp::Gt},  {">=", CmpOp::Ge}};
    static const std::pair<const char*, ArithOp> kArith[] = {
        {"+", ArithOp::Add}, {"-", ArithOp::Sub}, {"*", ArithOp::Mul},
        {"/", ArithOp::Div}, {"%", ArithOp::Mod}, {"||", ArithOp::Concat}};
    for (const auto& [n, op] : kCmp) {
      if (*name == n) return Expr::make(CmpExpr{op, std::move(lhs), std::move(rhs)});
    }
    for (const auto& [n, op] : kArith) {
      if (*name == n) return Expr::make(ArithExpr{op, std::move(lhs), std::move(rhs)});
    }
    return abort_with(ParseStatus::Unsupported, "unsupported binary operator: " + *name);
  }

  if (kind == "AEXPR_IN") {
    const json* lbody = nullptr;
    if (lexpr == nullptr || rexpr == nullptr) {
      return abort_with(ParseStatus::Malformed, "IN missing operand");
    }
    auto lhs = transform_expression(lexpr);
    if (!lhs) return nullptr;
    if (kind_of(rexpr, &lbody) != "List") {
      return abort_with(ParseStatus::Unsupported, "IN with non-list rhs (subquery?)");
    }
    InExpr in;
    in.lhs = std::move(lhs);
    for (const json& item : list_field(*lbody, "items")) {
      auto e = transform_expression(&item);
      if (!e) return nullptr;
      in.list.push_back(std::move(e));
    }
    auto out = Expr::make(std::move(in));
    if (name && (*name == "<>" || *name == "!=")) {
      return Expr::make(UnaryExpr{UnaryOp::Not, std::move(out)});
    }
    return out;
  }

  if (kind == "AEXPR_LIKE" || kind == "AEXPR_ILIKE") {
    if (lexpr == nullptr || rexpr == nullptr) {
      return abort_with(ParseStatus::Malformed, "LIKE missing operand");
    }
    LikeExpr like;
    like.value = transform_expression(lexpr);
    if (!like.value) return nullptr;
    if (auto pattern = like_with_escape(*rexpr)) {
      like.pattern = Expr::make(LiteralExpr{Literal{*pattern}, Type::String});
    } else {
      like.pattern = transform_expression(rexpr);
      if (!like.pattern) return nullptr;
      // Without ESCAPE, dialects disagree on a backslash: an escape in PostgreSQL, an
      // ordinary character in others. The service's own rule is not known here.
      const auto* lit = like.pattern->as<LiteralExpr>();
      const auto* text = lit ? std::get_if<std::string>(&lit->value) : nullptr;
      if (text != nullptr && text->find('\\') != std::string::npos) {
        return abort_with(ParseStatus::Unsupported,
                          "LIKE pattern with a backslash needs an ESCAPE clause");
      }
    }
    like.case_insensitive = kind == "AEXPR_ILIKE";
    auto out = Expr::make(std::move(like));
    if (name && (*name == "!~~" || *name == "!~~*")) {
      return Expr::make(UnaryExpr{UnaryOp::Not, std::move(out)});
    }
    return out;
  }

  if (kind == "AEXPR_BETWEEN" || kind == "AEXPR_NOT_BETWEEN") {
    // x BETWEEN a AND b is x >= a AND x <= b; x is converted twice rather than shared.
    const json* lbody = nullptr;
    if (lexpr == nullptr || rexpr == nullptr || kind_of(rexpr, &lbody) != "List" ||
        list_field(*lbody, "items").size() != 2) {
      return abort_with(ParseStatus::Malformed, "BETWEEN missing operand");
    }
    const json& bounds = list_field(*lbody, "items");
    auto x1 = transform_expression(lexpr);
    if (!x1) return nullptr;
    auto lo = transform_expression(&bounds[0]);
    if (!lo) return nullptr;
    auto x2 = transform_expression(lexpr);
    if (!x2) return nullptr;
    auto hi = transform_expression(&bounds[1]);
    if (!hi) return nullptr;
    auto out = Expr::make(LogicExpr{LogicOp::And,
                                    Expr::make(CmpExpr{CmpOp::Ge, std::move(x1), std::move(lo)}),
                                    Expr::make(CmpExpr{CmpOp::Le, std::move(x2), std::move(hi)})});
    if (kind == "AEXPR_NOT_BETWEEN") return Expr::make(UnaryExpr{UnaryOp::Not, std::move(out)});
    return out;
  }

  if (kind == "AEXPR_NULLIF" || kind == "AEXPR_DISTINCT" || kind == "AEXPR_NOT_DISTINCT") {
    if (lexpr == nullptr || rexpr == nullptr) {
      return abort_with(ParseStatus::Malformed, "binary operator missing operand");
    }
    FuncExpr f;
    f.name = kind == "AEXPR_NULLIF"     ? kFuncNullif
             : kind == "AEXPR_DISTINCT" ? kFuncIsDistinct
                                        : kFuncIsNotDistinct;
    for (const json* operand : {lexpr, rexpr}) {
      auto e = transform_expression(operand);
      if (!e) return nullptr;
      f.args.push_back(std::move(e));
    }
    return Expr::make(std::move(f));
  }

  return abort_with(ParseStatus::Unsupported, "unsupported PGAExpr kind in metadata path");
}

}  // namespace nv_sql
