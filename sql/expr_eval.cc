#include "sql/expr_eval_internal.h"

#include <mutex>

#include "sql/cells_internal.h"

namespace nv_sql {

namespace cp = arrow::compute;

namespace {

// Identifies failures that should route the statement to compute as a decline.
class DeclineDetail : public arrow::StatusDetail {
 public:
  const char* type_id() const override { return "nv_sql::decline"; }
  std::string ToString() const override { return "declined"; }
};

bool is_null_type(const arrow::Datum& d) { return d.type() && d.type()->id() == arrow::Type::NA; }

bool is_num(const arrow::DataType& t) {
  return arrow::is_integer(t.id()) || arrow::is_floating(t.id());
}

// Nesting bound for evaluation; the bridge refuses deeper trees, rewrites cannot deepen them.
constexpr int kMaxEvalDepth = 2000;

}  // namespace

void ensure_arrow_compute_initialized() {
  static std::once_flag once;
  std::call_once(once, [] { (void)cp::Initialize(); });
}

int find_column_index(const arrow::Schema& schema, const std::string& name) {
  const std::string want = ascii_lower(name);
  for (int i = 0; i < schema.num_fields(); ++i) {
    if (ascii_lower(schema.field(i)->name()) == want) return i;
  }
  return -1;
}

arrow::Status decline_status(std::string msg) {
  return arrow::Status(arrow::StatusCode::NotImplemented, std::move(msg),
                       std::make_shared<DeclineDetail>());
}

bool is_decline(const arrow::Status& st) {
  return st.detail() != nullptr && std::string(st.detail()->type_id()) == "nv_sql::decline";
}

arrow::Result<int> resolve_column(const Frame& frame, const ColumnRef& ref) {
  const std::string label = ref.table.empty() ? ref.column : ref.table + "." + ref.column;
  if (frame.scope.empty()) {
    int idx = frame.batch ? find_column_index(*frame.batch->schema(), ref.column) : -1;
    if (idx < 0) return arrow::Status::Invalid("unknown column: " + label);
    return idx;
  }
  // Qualifiers are checked so that a reference to another table's column (an outer query's,
  // or the other side of a join) never silently binds to a same-named column here.
  const std::string col = ascii_lower(ref.column);
  const std::string qual = ascii_lower(ref.table);
  // Columns of the query itself first; an enclosing query's only when none matches.
  for (bool outer : {false, true}) {
    int found = -1;
    for (size_t i = 0; i < frame.scope.size(); ++i) {
      const ColumnScope& c = frame.scope[i];
      if (c.outer != outer || c.name != col) continue;
      if (qual.empty()) {
        if (c.hidden) continue;
      } else {
        bool named = false;
        for (const auto& q : c.qualifiers) named = named || q == qual;
        if (!named) continue;
      }
      if (found >= 0) return arrow::Status::Invalid("ambiguous column reference: " + label);
      found = static_cast<int>(i);
    }
    if (found >= 0) return found;
  }
  return arrow::Status::Invalid("unknown column: " + label);
}

arrow::Result<std::shared_ptr<arrow::Scalar>> literal_to_scalar(const Literal& lit) {
  switch (lit.index()) {
    case 0:
      return std::make_shared<arrow::NullScalar>();
    case 1:
      return std::make_shared<arrow::BooleanScalar>(std::get<bool>(lit));
    case 2:
      return std::make_shared<arrow::Int64Scalar>(std::get<int64_t>(lit));
    case 3:
      return std::make_shared<arrow::DoubleScalar>(std::get<double>(lit));
    case 4:
      return std::make_shared<arrow::StringScalar>(std::get<std::string>(lit));
    default:
      return arrow::Status::Invalid("unhandled Literal variant");
  }
}

arrow::Result<std::shared_ptr<arrow::Scalar>> literal_scalar(const LiteralExpr& lit) {
  const auto* v = std::get_if<int64_t>(&lit.value);
  if (v != nullptr && lit.type == Type::Int32 && *v >= INT32_MIN && *v <= INT32_MAX) {
    return std::make_shared<arrow::Int32Scalar>(static_cast<int32_t>(*v));
  }
  return literal_to_scalar(lit.value);
}

arrow::Result<std::shared_ptr<arrow::DataType>> type_to_arrow(Type t) {
  switch (t) {
    case Type::Bool:
      return arrow::boolean();
    case Type::Int32:
      return arrow::int32();
    case Type::Int64:
      return arrow::int64();
    case Type::Double:
      return arrow::float64();
    case Type::String:
      return arrow::utf8();
    case Type::Date:
      return arrow::date32();
    case Type::Timestamp:
      return arrow::timestamp(arrow::TimeUnit::MICRO);
    default:
      return arrow::Status::Invalid("unsupported nv_sql::Type");
  }
}

arrow::Result<std::shared_ptr<arrow::Array>> to_array(const arrow::Datum& d, int64_t rows) {
  if (d.is_scalar()) return arrow::MakeArrayFromScalar(*d.scalar(), rows);
  if (d.is_array()) return d.make_array();
  if (d.is_chunked_array()) {
    return arrow::Concatenate(d.chunked_array()->chunks());
  }
  return arrow::Status::Invalid("expected array or scalar");
}

arrow::Result<std::shared_ptr<arrow::Array>> to_mask(const arrow::Datum& d, int64_t rows) {
  if (!d.is_scalar() && !d.is_array()) {
    return arrow::Status::Invalid("predicate must be array or scalar");
  }
  ARROW_ASSIGN_OR_RAISE(auto arr, to_array(d, rows));
  if (arr->type_id() == arrow::Type::BOOL) return arr;
  ARROW_ASSIGN_OR_RAISE(arrow::Datum cast,
                        cp::Cast(arr, arrow::boolean(), cp::CastOptions::Safe()));
  return cast.make_array();
}

LikePrefix like_prefix(const std::string& pattern, char escape) {
  LikePrefix out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == escape && i + 1 < pattern.size()) {
      out.text += pattern[++i];
    } else if (c == '%' || c == '_') {
      out.wildcard = true;
      return out;
    } else {
      out.text += c;
    }
  }
  return out;
}

arrow::Result<std::string> unicode_lower(const std::string& text) {
  ARROW_ASSIGN_OR_RAISE(
      arrow::Datum lowered,
      cp::CallFunction("utf8_lower", {arrow::Datum(std::make_shared<arrow::StringScalar>(text))}));
  return static_cast<const arrow::StringScalar&>(*lowered.scalar()).ToString();
}

namespace {

// Casts `d` to `type` when it is of the null type (a NULL constant); others pass unchanged.
arrow::Result<arrow::Datum> null_to(const arrow::Datum& d,
                                    const std::shared_ptr<arrow::DataType>& type) {
  if (!is_null_type(d)) return d;
  return cp::Cast(d, type, cp::CastOptions::Safe());
}

// The common type of CASE / coalesce branches: NULL constants take the others' type, mixed
// numbers widen to int64 or double. Other mixtures are left to the kernel to reject.
std::shared_ptr<arrow::DataType> common_type(const std::vector<arrow::Datum>& values) {
  std::shared_ptr<arrow::DataType> out;
  for (const auto& v : values) {
    if (is_null_type(v)) continue;
    const auto& t = v.type();
    if (!out) {
      out = t;
    } else if (!out->Equals(*t)) {
      if (is_num(*out) && is_num(*t)) {
        bool fl = arrow::is_floating(out->id()) || arrow::is_floating(t->id());
        out = fl ? arrow::float64() : arrow::int64();
      } else {
        return nullptr;
      }
    }
  }
  return out;
}

arrow::Result<std::vector<arrow::Datum>> unify(std::vector<arrow::Datum> values) {
  auto target = common_type(values);
  if (!target) return values;
  for (auto& v : values) {
    if (!v.type()->Equals(*target)) {
      ARROW_ASSIGN_OR_RAISE(v, cp::Cast(v, target, cp::CastOptions::Safe()));
    }
  }
  return values;
}

std::string like_to_regex(const std::string& pattern, char escape) {
  // (?s): '%' and '_' match any character, line breaks included (view definitions span lines).
  std::string out = "(?s)^";
  static const std::string kMeta = ".^$|()[]{}*+?\\";
  auto copy = [&](char c) {
    if (kMeta.find(c) != std::string::npos) out += '\\';
    out += c;
  };
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c == escape && i + 1 < pattern.size()) {
      copy(pattern[++i]);
    } else if (c == '%') {
      out += ".*";
    } else if (c == '_') {
      out += ".";
    } else {
      copy(c);
    }
  }
  out += "$";
  return out;
}

// Whether an IN-list constant of type `from` may be coerced to the tested value's type.
// String constants coerce to anything (like untyped literals); numbers only to numbers.
bool in_coercible(const arrow::DataType& from, const arrow::DataType& to) {
  if (from.Equals(to) || from.id() == arrow::Type::NA) return true;
  if (from.id() == arrow::Type::STRING) return true;
  return is_num(from) && is_num(to);
}

}  // namespace

arrow::Result<arrow::Datum> ExprEval::call(const std::string& fn,
                                           const std::vector<arrow::Datum>& args,
                                           const cp::FunctionOptions* opts) {
  return cp::CallFunction(fn, args, opts);
}

arrow::Result<arrow::Datum> ExprEval::eval(const Expr& e) {
  if (++depth_ > kMaxEvalDepth) {
    --depth_;
    return arrow::Status::Invalid("expression nesting too deep");
  }
  auto r = std::visit([this](const auto& n) { return eval_dispatch(n); }, e.node);
  --depth_;
  return r;
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const ColumnRef& n) {
  ARROW_ASSIGN_OR_RAISE(int idx, resolve_column(frame_, n));
  return arrow::Datum(frame_.batch->column(idx));
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const LiteralExpr& n) {
  ARROW_ASSIGN_OR_RAISE(auto s, literal_scalar(n));
  return arrow::Datum(s);
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const CmpExpr& n) {
  static const char* kFns[] = {"equal", "not_equal", "less", "less_equal", "greater",
                               "greater_equal"};
  ARROW_ASSIGN_OR_RAISE(auto l, eval(*n.lhs));
  ARROW_ASSIGN_OR_RAISE(auto r, eval(*n.rhs));
  return call(kFns[static_cast<int>(n.op)], {l, r});
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const ArithExpr& n) {
  ARROW_ASSIGN_OR_RAISE(auto l, eval(*n.lhs));
  ARROW_ASSIGN_OR_RAISE(auto r, eval(*n.rhs));
  switch (n.op) {
    // Overflow is an error (and so goes to compute), never a wrapped value.
    case ArithOp::Add:
      return call("add_checked", {l, r});
    case ArithOp::Sub:
      return call("subtract_checked", {l, r});
    case ArithOp::Mul:
      return call("multiply_checked", {l, r});
    case ArithOp::Div:
      return divide(l, r);
    case ArithOp::Mod:
      // Arrow's registry has no modulo kernel; rather than an engine error the statement is
      // declined and answered by the compute node.
      if (!cp::GetFunctionRegistry()->GetFunction("mod").ok()) {
        return decline_status("modulo operator not available locally");
      }
      return call("mod", {l, r});
    case ArithOp::Concat: {
      // With a NULL constant the compute node's result is a NULL of no type.
      if (is_null_type(l) || is_null_type(r)) {
        return arrow::Datum(std::make_shared<arrow::NullScalar>());
      }
      return call("binary_join_element_wise",
                  {l, r, arrow::Datum(std::make_shared<arrow::StringScalar>(""))});
    }
  }
  return arrow::Status::Invalid("unhandled ArithOp");
}

arrow::Result<arrow::Datum> ExprEval::divide(const arrow::Datum& l, const arrow::Datum& r) {
  // Dialects disagree on integer division (truncating or fractional) and on division by zero
  // (an error, NULL or infinity); those statements are left to the compute node.
  const auto lt = l.type();
  const auto rt = r.type();
  if (lt && rt && (arrow::is_integer(lt->id()) || lt->id() == arrow::Type::NA) &&
      (arrow::is_integer(rt->id()) || rt->id() == arrow::Type::NA)) {
    return decline_status("integer division: dialects disagree on its result");
  }
  if (rt && is_num(*rt)) {
    ARROW_ASSIGN_OR_RAISE(auto zero, call("equal", {r, arrow::Datum(0.0)}));
    if (zero.is_scalar()) {
      const auto& flag = static_cast<const arrow::BooleanScalar&>(*zero.scalar());
      if (flag.is_valid && flag.value) return decline_status("division by zero");
    } else {
      ARROW_ASSIGN_OR_RAISE(auto any, call("any", {zero}));
      const auto& flag = static_cast<const arrow::BooleanScalar&>(*any.scalar());
      if (flag.is_valid && flag.value) return decline_status("division by zero");
    }
  }
  return call("divide", {l, r});
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const LogicExpr& n) {
  ARROW_ASSIGN_OR_RAISE(auto l, eval(*n.lhs));
  ARROW_ASSIGN_OR_RAISE(auto r, eval(*n.rhs));
  ARROW_ASSIGN_OR_RAISE(l, null_to(l, arrow::boolean()));
  ARROW_ASSIGN_OR_RAISE(r, null_to(r, arrow::boolean()));
  return call(n.op == LogicOp::And ? "and_kleene" : "or_kleene", {l, r});
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const UnaryExpr& n) {
  ARROW_ASSIGN_OR_RAISE(auto v, eval(*n.operand));
  switch (n.op) {
    case UnaryOp::Not: {
      ARROW_ASSIGN_OR_RAISE(v, null_to(v, arrow::boolean()));
      return call("invert", {v});
    }
    case UnaryOp::Neg: {
      ARROW_ASSIGN_OR_RAISE(v, null_to(v, arrow::int64()));
      return call("negate", {v});
    }
    case UnaryOp::IsNull:
      return call("is_null", {v});
    case UnaryOp::IsNotNull:
      return call("is_valid", {v});
  }
  return arrow::Status::Invalid("unhandled UnaryOp");
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const InExpr& n) {
  if (n.subquery) {
    return arrow::Status::Invalid("IN subquery survived the flatten pass; engine internal error");
  }
  ARROW_ASSIGN_OR_RAISE(auto lhs, eval(*n.lhs));
  if (!lhs.is_scalar() && !lhs.is_array()) {
    return arrow::Status::Invalid("IN: unexpected operand kind");
  }
  // x IN () (an empty subquery result) is false for every row, a NULL x included.
  if (n.list.empty()) {
    return arrow::Datum(std::make_shared<arrow::BooleanScalar>(false));
  }
  auto set_type = lhs.type();
  std::vector<std::shared_ptr<arrow::Scalar>> values;
  for (const auto& item : n.list) {
    const auto* lit = item ? item->as<LiteralExpr>() : nullptr;
    if (lit == nullptr) {
      return arrow::Status::Invalid("IN list element must be a literal");
    }
    ARROW_ASSIGN_OR_RAISE(auto s, literal_to_scalar(lit->value));
    values.push_back(std::move(s));
  }
  if (set_type->id() == arrow::Type::NA) {
    // NULL IN (non-empty list) is NULL.
    return arrow::Datum(arrow::MakeNullScalar(arrow::boolean()));
  }
  std::unique_ptr<arrow::ArrayBuilder> builder;
  ARROW_RETURN_NOT_OK(arrow::MakeBuilder(arrow::default_memory_pool(), set_type, &builder));
  for (const auto& s : values) {
    if (!in_coercible(*s->type, *set_type)) {
      return arrow::Status::Invalid("IN list element of type " + s->type->ToString() +
                            " does not match " + set_type->ToString());
    }
    ARROW_ASSIGN_OR_RAISE(arrow::Datum c, cp::Cast(s, set_type, cp::CastOptions::Safe()));
    ARROW_RETURN_NOT_OK(builder->AppendScalar(*c.scalar()));
  }
  ARROW_ASSIGN_OR_RAISE(auto set, builder->Finish());
  // SQL semantics: a NULL tested value, or no match while the list holds a NULL, is NULL, so
  // that NOT IN over such rows is not true.
  cp::SetLookupOptions opts(set, cp::SetLookupOptions::INCONCLUSIVE);
  return call("is_in", {lhs}, &opts);
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const LikeExpr& n) {
  const auto* plit = n.pattern ? n.pattern->as<LiteralExpr>() : nullptr;
  if (plit == nullptr) return arrow::Status::Invalid("LIKE pattern must be a literal");
  ARROW_ASSIGN_OR_RAISE(auto pat, eval(*n.pattern));
  if (!pat.is_scalar()) return arrow::Status::Invalid("LIKE non-scalar pattern");
  ARROW_ASSIGN_OR_RAISE(auto value, eval(*n.value));
  ARROW_ASSIGN_OR_RAISE(value, null_to(value, arrow::utf8()));
  const auto& ps = pat.scalar();
  if (!ps->is_valid || ps->type->id() != arrow::Type::STRING) {
    // A NULL pattern gives NULL; a non-text pattern is left to the kernel to reject.
    return call("equal", {value, pat});
  }
  std::string text = std::static_pointer_cast<arrow::StringScalar>(ps)->ToString();
  // ILIKE matches the operands lowered by Unicode case mapping, with or without wildcards:
  // 'İnventory' lowers to 'inventory' and matches 'inv%', while 'ſ' (already lower case) does
  // not match 's'. Case-insensitive regex matching would fold both differently.
  if (n.case_insensitive) {
    if (has_unstable_case(value) || has_unstable_case(pat)) {
      return decline_status("ILIKE over letters whose case mapping differs by Unicode version");
    }
    ARROW_ASSIGN_OR_RAISE(value, call("utf8_lower", {value}));
    ARROW_ASSIGN_OR_RAISE(text, unicode_lower(text));
  }
  const LikePrefix plain = like_prefix(text, n.escape);
  if (!plain.wildcard) {
    return call("equal", {value, arrow::Datum(std::make_shared<arrow::StringScalar>(plain.text))});
  }
  cp::MatchSubstringOptions opts(like_to_regex(text, n.escape), /*ignore_case=*/false);
  return call("match_substring_regex", {value}, &opts);
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const CaseExpr& n) {
  const int64_t len = rows();
  arrow::ArrayVector conds;
  std::vector<std::string> names;
  std::optional<arrow::Datum> operand;
  if (n.operand) {
    ARROW_ASSIGN_OR_RAISE(auto v, eval(*n.operand));
    operand = v;
  }
  for (size_t i = 0; i < n.whens.size(); ++i) {
    ARROW_ASSIGN_OR_RAISE(auto w, eval(*n.whens[i].first));
    arrow::Datum cond = w;
    if (operand) {
      ARROW_ASSIGN_OR_RAISE(cond, call("equal", {*operand, w}));
    }
    ARROW_ASSIGN_OR_RAISE(auto mask, to_mask(cond, len));
    conds.push_back(mask);
    names.push_back("c" + std::to_string(i));
  }
  std::vector<arrow::Datum> values;
  for (const auto& [w, then] : n.whens) {
    ARROW_ASSIGN_OR_RAISE(auto v, eval(*then));
    values.push_back(v);
  }
  if (n.else_expr) {
    ARROW_ASSIGN_OR_RAISE(auto v, eval(*n.else_expr));
    values.push_back(v);
  }
  ARROW_ASSIGN_OR_RAISE(values, unify(std::move(values)));
  std::vector<arrow::Datum> args;
  ARROW_ASSIGN_OR_RAISE(auto cond_struct, arrow::StructArray::Make(conds, names));
  args.emplace_back(cond_struct);
  for (auto& v : values) {
    ARROW_ASSIGN_OR_RAISE(auto arr, to_array(v, len));
    args.emplace_back(arr);
  }
  return call("case_when", args);
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const CastExpr& n) {
  ARROW_ASSIGN_OR_RAISE(auto v, eval(*n.operand));
  auto type = type_to_arrow(n.target);
  if (!type.ok()) return arrow::Status::Invalid("unsupported nv_sql::Type");
  // Text of a fractional number or a point in time is formatted differently by each dialect
  // ('3' or '3.0', with or without fractional seconds).
  const auto from = v.type() ? v.type()->id() : arrow::Type::NA;
  if (n.target == Type::String && !is_text(*v.type()) && from != arrow::Type::NA &&
      from != arrow::Type::BOOL && from != arrow::Type::DATE32 && !arrow::is_integer(from)) {
    return decline_status(
        "CAST of " + v.type()->ToString() + " to text: dialects format it differently");
  }
  return cp::Cast(v, *type, cp::CastOptions::Safe());
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const FuncExpr& n) {
  std::vector<arrow::Datum> args;
  for (const auto& a : n.args) {
    ARROW_ASSIGN_OR_RAISE(auto v, eval(*a));
    args.push_back(std::move(v));
  }
  if (n.name == "coalesce") {
    ARROW_ASSIGN_OR_RAISE(args, unify(std::move(args)));
    return call("coalesce", args);
  }
  if (n.name == kFuncNullif || n.name == kFuncIsDistinct || n.name == kFuncIsNotDistinct) {
    if (args.size() != 2) return arrow::Status::Invalid(n.name + ": expected two arguments");
    ARROW_ASSIGN_OR_RAISE(args, unify(std::move(args)));
    ARROW_ASSIGN_OR_RAISE(auto eq, call("equal", {args[0], args[1]}));
    if (n.name == kFuncNullif) {
      // NULL where the two are equal, else the first.
      ARROW_ASSIGN_OR_RAISE(auto mask, to_mask(eq, rows()));
      auto null_value = arrow::MakeNullScalar(args[0].type());
      return call("if_else", {mask, arrow::Datum(null_value), args[0]});
    }
    // Not distinct: equal where both have values, else whether both are null.
    ARROW_ASSIGN_OR_RAISE(auto ln, call("is_null", {args[0]}));
    ARROW_ASSIGN_OR_RAISE(auto rn, call("is_null", {args[1]}));
    ARROW_ASSIGN_OR_RAISE(auto both_null, call("and", {ln, rn}));
    ARROW_ASSIGN_OR_RAISE(auto same, call("coalesce", {eq, both_null}));
    if (n.name == kFuncIsNotDistinct) return same;
    return call("invert", {same});
  }
  if (is_text_function(n.name)) return eval_text_function(n.name, args, rows());
  return arrow::Status::Invalid("unsupported function: " + n.name);
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const StarExpr&) {
  return arrow::Status::Invalid("'*' must be expanded by the planner before evaluation");
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const ExistsExpr&) {
  return arrow::Status::Invalid(
      "EXISTS expression survived the flatten pass; engine internal error");
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const AggExpr&) {
  return arrow::Status::Invalid("aggregate function in row-wise evaluator; engine internal error");
}

arrow::Result<arrow::Datum> ExprEval::eval_dispatch(const ScalarSubqueryExpr&) {
  return arrow::Status::Invalid("scalar subquery survived the flatten pass; engine internal error");
}

}  // namespace nv_sql
