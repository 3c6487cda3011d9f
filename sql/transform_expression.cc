// Expressions: the dispatch over expression nodes, boolean connectives, null tests,
// subqueries, CASE, column references and constants.

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "sql/walker_internal.h"

namespace nv_sql {

ExprPtr Walker::transform_expression(const json* node) {
  DepthGuard guard(depth_);
  if (depth_ > kMaxDepth) {
    return abort_with(ParseStatus::Unsupported, "expression nesting too deep");
  }
  const json* body = nullptr;
  const std::string kind = kind_of(node, &body);
  if (body == nullptr) return abort_with(ParseStatus::Malformed, "null expression node");

  if (kind == "BoolExpr") {
    const std::string op = str_field(*body, "boolop");
    const json& args = list_field(*body, "args");
    if (op == "NOT_EXPR") {
      if (args.size() != 1) {
        return abort_with(ParseStatus::Malformed, "NOT with other than one operand");
      }
      UnaryExpr u;
      u.op = UnaryOp::Not;
      u.operand = transform_expression(&args[0]);
      if (!u.operand) return nullptr;
      return Expr::make(std::move(u));
    }
    if (op != "AND_EXPR" && op != "OR_EXPR") {
      return abort_with(ParseStatus::Unsupported, "unknown PGBoolExpr op");
    }
    // A folded chain is as deep as it is long.
    if (depth_ + static_cast<int>(args.size()) > kMaxDepth) {
      return abort_with(ParseStatus::Unsupported, "expression nesting too deep");
    }
    ExprPtr acc;
    for (const json& a : args) {
      auto e = transform_expression(&a);
      if (!e) return nullptr;
      if (!acc) {
        acc = std::move(e);
        continue;
      }
      LogicExpr l;
      l.op = op == "AND_EXPR" ? LogicOp::And : LogicOp::Or;
      l.lhs = std::move(acc);
      l.rhs = std::move(e);
      acc = Expr::make(std::move(l));
    }
    if (!acc) return abort_with(ParseStatus::Malformed, "boolean expression without operands");
    return acc;
  }

  if (kind == "NullTest") {
    UnaryExpr u;
    u.op = str_field(*body, "nulltesttype") == "IS_NOT_NULL" ? UnaryOp::IsNotNull
                                                              : UnaryOp::IsNull;
    u.operand = transform_expression(field(*body, "arg"));
    if (!u.operand) return nullptr;
    return Expr::make(std::move(u));
  }

  if (kind == "SubLink") return transform_sub_link(*body);
  if (kind == "CaseExpr") return transform_case(*body);
  if (kind == "A_Expr") return transform_a_expr(*body);
  if (kind == "ColumnRef") return transform_column_ref(*body);
  if (kind == "A_Const") return transform_const(*body);
  if (kind == "FuncCall") return transform_func_call(*body);
  if (kind == "TypeCast") return transform_type_cast(*body);
  if (kind == "A_Star") return Expr::make(StarExpr{});

  // The grammar gives COALESCE a node of its own; it is the same function as coalesce(...).
  if (kind == "CoalesceExpr") {
    FuncExpr f;
    f.name = "coalesce";
    for (const json& a : list_field(*body, "args")) {
      auto e = transform_expression(&a);
      if (!e) return nullptr;
      f.args.push_back(std::move(e));
    }
    return Expr::make(std::move(f));
  }

  return abort_with(ParseStatus::Unsupported, "unsupported PG expression node in metadata path");
}

ExprPtr Walker::transform_sub_link(const json& s) {
  const std::string type = str_field(s, "subLinkType");
  const json* sub = field(s, "subselect");
  if (type == "EXISTS_SUBLINK") {
    const json* sbody = nullptr;
    if (kind_of(sub, &sbody) != "SelectStmt") {
      return abort_with(ParseStatus::Malformed, "EXISTS missing inner SelectStmt");
    }
    ExistsExpr e;
    e.subquery = transform_select(*sbody, /*names_seen=*/false);
    if (!e.subquery) return nullptr;
    return Expr::make(std::move(e));
  }
  if (type == "EXPR_SUBLINK") {
    const json* sbody = nullptr;
    if (kind_of(sub, &sbody) != "SelectStmt") {
      return abort_with(ParseStatus::Malformed, "scalar subquery missing inner SelectStmt");
    }
    ScalarSubqueryExpr e;
    e.subquery = transform_select(*sbody, /*names_seen=*/false);
    if (!e.subquery) return nullptr;
    return Expr::make(std::move(e));
  }
  if (type == "ANY_SUBLINK") {
    const json& oper = list_field(s, "operName");
    if (!oper.empty()) {
      auto name = string_node(oper.front());
      if (!name || *name != "=") {
        return abort_with(ParseStatus::Unsupported,
                          "subquery operator other than '=' (IN) not supported");
      }
    }
    const json* test = field(s, "testexpr");
    if (test == nullptr) return abort_with(ParseStatus::Malformed, "ANY-subquery missing testexpr");
    const json* sbody = nullptr;
    if (kind_of(sub, &sbody) != "SelectStmt") {
      return abort_with(ParseStatus::Malformed, "ANY-subquery missing inner SelectStmt");
    }
    InExpr in;
    in.lhs = transform_expression(test);
    if (!in.lhs) return nullptr;
    in.subquery = transform_select(*sbody, /*names_seen=*/false);
    if (!in.subquery) return nullptr;
    return Expr::make(std::move(in));
  }
  return abort_with(ParseStatus::Unsupported,
                    "subquery kind not yet supported (IN / EXISTS only)");
}

ExprPtr Walker::transform_case(const json& c) {
  CaseExpr out;
  if (const json* arg = field(c, "arg")) {
    out.operand = transform_expression(arg);
    if (!out.operand) return nullptr;
  }
  const json& whens = list_field(c, "args");
  if (whens.empty()) return abort_with(ParseStatus::Malformed, "CASE without WHEN clauses");
  for (const json& w : whens) {
    const json* wbody = nullptr;
    if (kind_of(&w, &wbody) != "CaseWhen") {
      return abort_with(ParseStatus::Malformed, "CASE without WHEN clauses");
    }
    auto cond = transform_expression(field(*wbody, "expr"));
    if (!cond) return nullptr;
    auto then = transform_expression(field(*wbody, "result"));
    if (!then) return nullptr;
    out.whens.emplace_back(std::move(cond), std::move(then));
  }
  if (const json* def = field(c, "defresult")) {
    out.else_expr = transform_expression(def);
    if (!out.else_expr) return nullptr;
  }
  return Expr::make(std::move(out));
}

ExprPtr Walker::transform_column_ref(const json& c) {
  const json& fields = list_field(c, "fields");
  if (fields.empty()) return abort_with(ParseStatus::Malformed, "empty column reference");
  const json* last_body = nullptr;
  if (kind_of(&fields.back(), &last_body) == "A_Star") {
    StarExpr s;
    if (fields.size() >= 2) {
      if (auto q = string_node(fields.front())) s.qualifier = *q;
    }
    return Expr::make(std::move(s));
  }
  std::vector<std::string> parts;
  for (const json& f : fields) {
    auto s = string_node(f);
    if (!s) {
      return abort_with(ParseStatus::Unsupported,
                        "non-string identifier component in column reference");
    }
    parts.push_back(*s);
  }
  ColumnRef ref;
  ref.column = parts.back();
  if (parts.size() >= 2) ref.table = parts[parts.size() - 2];
  return Expr::make(std::move(ref));
}

ExprPtr Walker::transform_const(const json& c) {
  LiteralExpr lit;
  if (bool_field(c, "isnull")) {
    lit.type = Type::Null;
    return Expr::make(std::move(lit));
  }
  // The compute node types an integer constant by its size: INTEGER within 32 bits, BIGINT
  // beyond; the parser keeps the first kind as a number, the second as text.
  if (const json* iv = field(c, "ival")) {
    lit.value = iv->value("ival", static_cast<int64_t>(0));
    lit.type = Type::Int32;
    return Expr::make(std::move(lit));
  }
  if (const json* fv = field(c, "fval")) {
    const std::string text = fv->value("fval", std::string());
    // Integers beyond 32 bits arrive as numeric text: keep them exact as 64-bit integers.
    // Beyond 64 bits the compute node makes them wide decimals, which this engine has not.
    if (text.find_first_of(".eE") == std::string::npos) {
      errno = 0;
      char* iend = nullptr;
      long long v = std::strtoll(text.c_str(), &iend, 10);
      if (text.empty() || iend == nullptr || *iend != '\0' || errno == ERANGE) {
        return abort_with(ParseStatus::Unsupported, "integer literal beyond 64 bits: " + text);
      }
      lit.value = static_cast<int64_t>(v);
      lit.type = Type::Int64;
      return Expr::make(std::move(lit));
    }
    errno = 0;
    char* end = nullptr;
    double d = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || errno == ERANGE || !std::isfinite(d)) {
      return abort_with(ParseStatus::Malformed, "invalid numeric literal: " + text);
    }
    lit.value = d;
    lit.type = Type::Double;
    // Written without an exponent, the compute node holds it as a DECIMAL, which this engine
    // does not.
    lit.decimal = text.find_first_of("eE") == std::string::npos;
    return Expr::make(std::move(lit));
  }
  if (const json* bv = field(c, "boolval")) {
    lit.value = bv->value("boolval", false);
    lit.type = Type::Bool;
    return Expr::make(std::move(lit));
  }
  if (const json* sv = field(c, "sval")) {
    lit.value = sv->value("sval", std::string());
    lit.type = Type::String;
    return Expr::make(std::move(lit));
  }
  if (const json* bs = field(c, "bsval")) {
    lit.value = bs->value("bsval", std::string());
    lit.type = Type::String;
    return Expr::make(std::move(lit));
  }
  return abort_with(ParseStatus::Unsupported, "unsupported PGValue type in literal");
}

}  // namespace nv_sql
