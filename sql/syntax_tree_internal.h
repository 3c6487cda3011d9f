// The metadata engine's own syntax tree: a small, owned tree that the parser bridge builds from
// PostgreSQL parse trees and that the engine rewrites and evaluates.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "util/strings_internal.h"

namespace nv_sql {

struct Expr;
struct SelectStatement;
struct TableRef;
struct JoinRef;

using ExprPtr = std::unique_ptr<Expr>;

/// Alternatives in this order: null, boolean, integer, double, string.
using Literal = std::variant<std::monostate, bool, int64_t, double, std::string>;

enum class Type : int32_t {
  Unknown = 0,
  Bool = 1,
  Int32 = 2,
  Int64 = 3,
  Double = 4,
  String = 5,
  Date = 6,
  Timestamp = 7,
  Null = 8,
};

enum class CmpOp : int32_t { Eq = 0, Ne = 1, Lt = 2, Le = 3, Gt = 4, Ge = 5 };
enum class ArithOp : int32_t { Add = 0, Sub = 1, Mul = 2, Div = 3, Mod = 4, Concat = 5 };
enum class LogicOp : int32_t { And = 0, Or = 1 };
enum class UnaryOp : int32_t { Not = 0, Neg = 1, IsNull = 2, IsNotNull = 3 };
enum class JoinKind : int32_t {
  Inner = 0,
  Left = 1,
  Right = 2,
  Full = 3,
  Semi = 4,
  Anti = 5,
  Cross = 6,
};

inline constexpr const char* kAggNames[] = {"count", "sum", "min", "max", "avg", "string_agg"};
bool is_agg_name(const std::string& lowered);

/// Functions the bridge makes for operator forms. Their names cannot be written as calls.
inline constexpr const char* kFuncNullif = "nullif";
inline constexpr const char* kFuncIsDistinct = "$is_distinct_from";
inline constexpr const char* kFuncIsNotDistinct = "$is_not_distinct_from";
bool is_internal_func_name(const std::string& lowered);

struct ColumnRef {
  std::string table;  // empty when unqualified
  std::string column;
};

struct LiteralExpr {
  Literal value;
  Type type = Type::Null;  // Int32 for an integer within 32 bits, as the compute node types it
  bool decimal = false;    // a number written with a fraction and no exponent (a DECIMAL there)
};

struct CmpExpr {
  CmpOp op = CmpOp::Eq;
  ExprPtr lhs;
  ExprPtr rhs;
};

struct ArithExpr {
  ArithOp op = ArithOp::Add;
  ExprPtr lhs;
  ExprPtr rhs;
};

struct LogicExpr {
  LogicOp op = LogicOp::And;
  ExprPtr lhs;
  ExprPtr rhs;
};

struct UnaryExpr {
  UnaryOp op = UnaryOp::Not;
  ExprPtr operand;
};

struct InExpr {
  ExprPtr lhs;
  std::vector<ExprPtr> list;                  // empty for the subquery form
  std::unique_ptr<SelectStatement> subquery;  // absent for the list form
};

struct LikeExpr {
  ExprPtr value;
  ExprPtr pattern;
  char escape = '\\';
  bool case_insensitive = false;
};

struct CaseExpr {
  ExprPtr operand;  // present for the simple form CASE x WHEN ...
  std::vector<std::pair<ExprPtr, ExprPtr>> whens;
  ExprPtr else_expr;
};

struct CastExpr {
  ExprPtr operand;
  Type target = Type::Unknown;
};

struct FuncExpr {
  std::string name;  // lower case
  std::vector<ExprPtr> args;
};

struct StarExpr {
  std::string qualifier;  // empty for a bare *
};

struct ExistsExpr {
  std::unique_ptr<SelectStatement> subquery;
  bool negated = false;
};

struct OrderKey {
  std::optional<int64_t> ordinal;  // set for an integer constant key; expr is then absent
  ExprPtr expr;
  bool descending = false;
  bool nulls_first = false;
  bool nulls_specified = false;
};

struct AggExpr {
  std::string name;  // lower case, one of kAggNames
  std::vector<ExprPtr> args;
  bool distinct = false;
  bool star = false;                // count(*)
  std::vector<OrderKey> order_by;  // string_agg(x, ',' ORDER BY y)
};

struct ScalarSubqueryExpr {
  std::unique_ptr<SelectStatement> subquery;
};

/// The union's index is relied on by the evaluator and the tree walks; keep the order.
using ExprNode = std::variant<ColumnRef, LiteralExpr, CmpExpr, ArithExpr, LogicExpr, UnaryExpr,
                              InExpr, LikeExpr, CaseExpr, CastExpr, FuncExpr, StarExpr,
                              ExistsExpr, AggExpr, ScalarSubqueryExpr>;

struct Expr {
  ExprNode node;

  /// Builds an owned expression from one alternative.
  template <typename Alt>
  static ExprPtr make(Alt&& alt) {
    auto e = std::make_unique<Expr>();
    e->node.template emplace<std::decay_t<Alt>>(std::forward<Alt>(alt));
    return e;
  }

  template <typename Alt>
  Alt* as() {
    return std::get_if<Alt>(&node);
  }
  template <typename Alt>
  const Alt* as() const {
    return std::get_if<Alt>(&node);
  }
};

struct SelectItem {
  ExprPtr expr;
  std::optional<std::string> alias;  // as the parser reports it (unquoted names folded)
  // The output column's name as the compute node gives it: the alias as written, or the node's
  // rendering of an unaliased expression. Empty for a column reference (named by its column),
  // and where nobody sees the name (the inside of IN, EXISTS and scalar subqueries).
  std::string name;
};

struct BaseTable {
  std::string catalog;
  std::string schema;
  std::string name;
  std::optional<std::string> alias;
};

struct ValuesList {
  std::vector<std::vector<ExprPtr>> rows;
  std::vector<std::string> column_names;
  std::optional<std::string> alias;
};

struct TableRef {
  std::variant<BaseTable, std::unique_ptr<JoinRef>, std::unique_ptr<SelectStatement>, ValuesList>
      node;
  std::optional<std::string> alias;  // a derived table's alias
  bool hidden = false;               // columns not shown by a bare * (engine-made joins)
};

struct JoinRef {
  JoinKind kind = JoinKind::Inner;
  std::unique_ptr<TableRef> left;
  std::unique_ptr<TableRef> right;
  ExprPtr on;
  std::vector<std::string> using_columns;
  bool natural = false;
  bool at_most_one = false;  // a left row matching two right rows is an error (scalar subquery)
};

enum class SetOp : int32_t { None = 0, Union = 1, Intersect = 2, Except = 3 };

struct CommonTableExpr {
  std::string name;
  std::unique_ptr<SelectStatement> query;
};

struct SelectStatement {
  std::vector<SelectItem> items;
  std::unique_ptr<TableRef> from;  // absent for a constant SELECT and for a set operation
  ExprPtr where;
  std::vector<ExprPtr> group_by;
  std::vector<OrderKey> order_by;
  std::optional<int64_t> limit;
  std::optional<int64_t> offset;
  bool distinct = false;
  ExprPtr having;
  // A set operation `set_left <set_op> [ALL] set_right`: items, FROM, WHERE, GROUP BY and
  // HAVING are empty; ORDER BY, LIMIT and OFFSET apply to the combined rows.
  SetOp set_op = SetOp::None;
  bool set_all = false;
  std::unique_ptr<SelectStatement> set_left;
  std::unique_ptr<SelectStatement> set_right;
  // WITH: each query is run once, in order; later ones and the body see earlier names.
  std::vector<CommonTableExpr> ctes;
};

/// Calls `fn(ExprPtr&)` for every direct expression child of `e`, in source order. Subquery
/// statements are not children; walks that need them reach them through the node itself.
template <typename Fn>
void for_each_child(Expr& e, Fn&& fn) {
  std::visit(
      [&](auto& n) {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, CmpExpr> || std::is_same_v<T, ArithExpr> ||
                      std::is_same_v<T, LogicExpr>) {
          fn(n.lhs);
          fn(n.rhs);
        } else if constexpr (std::is_same_v<T, UnaryExpr>) {
          fn(n.operand);
        } else if constexpr (std::is_same_v<T, InExpr>) {
          fn(n.lhs);
          for (auto& x : n.list) fn(x);
        } else if constexpr (std::is_same_v<T, LikeExpr>) {
          fn(n.value);
          fn(n.pattern);
        } else if constexpr (std::is_same_v<T, CaseExpr>) {
          fn(n.operand);
          for (auto& [w, t] : n.whens) {
            fn(w);
            fn(t);
          }
          fn(n.else_expr);
        } else if constexpr (std::is_same_v<T, CastExpr>) {
          fn(n.operand);
        } else if constexpr (std::is_same_v<T, FuncExpr>) {
          for (auto& x : n.args) fn(x);
        } else if constexpr (std::is_same_v<T, AggExpr>) {
          for (auto& x : n.args) fn(x);
          for (auto& k : n.order_by) fn(k.expr);
        }
      },
      e.node);
}

/// Read-only variant of for_each_child; null child slots are skipped.
template <typename Fn>
void for_each_child(const Expr& e, Fn&& fn) {
  for_each_child(const_cast<Expr&>(e), [&](ExprPtr& c) {
    if (c) fn(static_cast<const Expr&>(*c));
  });
}

// Names fold with the library's ASCII fold.
using norvale::ascii_lower;

/// A deep copy of `e`; null when `e` holds a subquery (those are never copied).
ExprPtr clone_expr(const Expr& e);

/// Whether two expressions are the same tree. `same_column` decides for two column references.
bool expr_equal(const Expr& a, const Expr& b,
                const std::function<bool(const ColumnRef&, const ColumnRef&)>& same_column);

/// Whether `e` holds a subquery anywhere.
bool has_subquery(const Expr& e);

}  // namespace nv_sql
