// The walker: one transform per parse-node family, from libpg_query's parse tree to the engine's
// syntax tree. Everything outside the supported subset is refused with a status and a message;
// the first refusal wins.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sql/output_name_internal.h"
#include "sql/pg_tree_internal.h"
#include "sql/syntax_tree_internal.h"

namespace nv_sql {

// Each nested SELECT is a recursive execution in the engine, far heavier on the stack than an
// expression level; host threads may have small stacks.
inline constexpr int kMaxSelectDepth = 64;

class Walker {
 public:
  /// `sql` is the parsed text; it must outlive the walker.
  Walker(ParseError* error, const std::string& sql) : error_(error), names_(sql) {}

  bool aborted() const { return aborted_; }

  /// Records the first refusal only; returns nothing for the caller to propagate.
  std::nullptr_t abort_with(ParseStatus status, std::string message) {
    if (!aborted_) {
      aborted_ = true;
      error_->status = status;
      error_->message = std::move(message);
      error_->location = -1;
    }
    return nullptr;
  }

  /// `names_seen`: whether the statement's output names are seen (at the top, in FROM, in WITH
  /// and on the left of a set operation), so that each must be the compute node's.
  std::unique_ptr<SelectStatement> transform_select(const json& sel, bool names_seen);

 private:
  bool transform_targets(const json& sel, bool names_seen, SelectStatement* stmt);
  std::unique_ptr<TableRef> transform_tableref_node(const json* node);
  ExprPtr transform_expression(const json* node);
  ExprPtr transform_a_expr(const json& a);
  ExprPtr transform_func_call(const json& f);
  ExprPtr transform_type_cast(const json& c);
  ExprPtr transform_const(const json& c);
  ExprPtr transform_column_ref(const json& c);
  ExprPtr transform_sub_link(const json& s);
  ExprPtr transform_case(const json& c);
  bool transform_int_literal(const json* node, std::optional<int64_t>* out);
  bool transform_sort_keys(const json& list, std::vector<OrderKey>* out);
  bool transform_limit(const json& sel, SelectStatement* stmt);
  bool transform_order_limit(const json& sel, SelectStatement* stmt);
  bool transform_set_op(const json& sel, const std::string& op, bool names_seen,
                        SelectStatement* stmt);
  bool transform_with(const json& with, SelectStatement* stmt);

  ParseError* error_;
  OutputNames names_;
  bool aborted_ = false;
  int depth_ = 0;
  int select_depth_ = 0;
};

// Counts one level of nesting for as long as it lives.
struct DepthGuard {
  int& depth;
  explicit DepthGuard(int& d) : depth(++d) {}
  ~DepthGuard() { --depth; }
};

}  // namespace nv_sql
