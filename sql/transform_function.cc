// Function calls (aggregates among them) and casts.

#include "sql/walker_internal.h"

namespace nv_sql {

ExprPtr Walker::transform_func_call(const json& f) {
  const auto qualified = string_list(list_field(f, "funcname"));
  if (!qualified || qualified->empty()) {
    return abort_with(ParseStatus::Malformed, "function call without name");
  }
  const std::vector<std::string>& parts = *qualified;
  // A schema-qualified name is the function of that schema: pg_catalog.f is the built-in f;
  // any other qualified name keeps its full spelling so that it never maps to a built-in.
  std::string name;
  if (parts.size() == 1 || ascii_lower(parts.front()) == "pg_catalog") {
    name = ascii_lower(parts.back());
  } else {
    for (const auto& p : parts) name += (name.empty() ? "" : ".") + ascii_lower(p);
  }
  // TRIM([BOTH | LEADING | TRAILING] ... FROM x) arrives as btrim / ltrim / rtrim; the compute
  // node's dialect knows the first as trim. Written as a call, btrim stays itself.
  if (name == "btrim" && str_field(f, "funcformat") == "COERCE_SQL_SYNTAX") name = "trim";
  if (field(f, "over")) {
    return abort_with(ParseStatus::Unsupported,
                      "window functions are not supported in the metadata path");
  }
  const bool ordered_string_agg = name == "string_agg" && !list_field(f, "agg_order").empty();
  if (field(f, "agg_filter") || bool_field(f, "agg_within_group") ||
      (!list_field(f, "agg_order").empty() && !ordered_string_agg)) {
    return abort_with(ParseStatus::Unsupported,
                      "aggregate FILTER / WITHIN GROUP / ORDER BY not supported");
  }
  if (bool_field(f, "func_variadic")) {
    return abort_with(ParseStatus::Unsupported, "VARIADIC arguments are out of scope");
  }
  if (is_internal_func_name(name)) {
    return abort_with(ParseStatus::Unsupported, "unsupported function: " + name);
  }
  std::vector<ExprPtr> args;
  if (!(bool_field(f, "agg_star") && name == "count")) {
    for (const json& a : list_field(f, "args")) {
      auto e = transform_expression(&a);
      if (!e) return nullptr;
      args.push_back(std::move(e));
    }
  }
  if (is_agg_name(name)) {
    AggExpr agg;
    agg.name = name;
    agg.distinct = bool_field(f, "agg_distinct");
    agg.star = bool_field(f, "agg_star") && name == "count";
    if (name == "count" && args.size() == 1 && args[0]->as<StarExpr>()) {
      agg.star = true;
      args.clear();
    }
    agg.args = std::move(args);
    if (!transform_sort_keys(list_field(f, "agg_order"), &agg.order_by)) return nullptr;
    return Expr::make(std::move(agg));
  }
  FuncExpr out;
  out.name = std::move(name);
  out.args = std::move(args);
  return Expr::make(std::move(out));
}

ExprPtr Walker::transform_type_cast(const json& c) {
  auto operand = transform_expression(field(c, "arg"));
  if (!operand) return nullptr;
  const json* tn = field(c, "typeName");
  const json* tbody = tn;
  if (tn != nullptr && tn->contains("TypeName")) tbody = &(*tn)["TypeName"];
  if (tbody == nullptr || list_field(*tbody, "names").empty()) {
    return abort_with(ParseStatus::Malformed, "CAST without type name");
  }
  const json& names = list_field(*tbody, "names");
  auto written = string_node(names.back());
  if (!written) return abort_with(ParseStatus::Malformed, "CAST type name not a string");
  const std::string lowered = ascii_lower(*written);
  // FLOAT is the grammar's float8 (a double) but the compute node's 32-bit FLOAT.
  if (ascii_lower(std::string(names_.word_at(tbody->value("location", int64_t{-1})))) ==
      "float") {
    return abort_with(ParseStatus::Unsupported, "CAST to unsupported type: float");
  }
  // Arrays and type modifiers (varchar(n), timestamp(p), ...) change values in ways the
  // plain Arrow casts do not reproduce; they go to the compute node.
  if (!list_field(*tbody, "arrayBounds").empty()) {
    return abort_with(ParseStatus::Unsupported, "CAST to unsupported type: " + *written + "[]");
  }
  if (!list_field(*tbody, "typmods").empty()) {
    return abort_with(ParseStatus::Unsupported, "CAST to unsupported type: " + *written + "(n)");
  }
  // Only types the engine holds as the service does: SMALLINT, REAL (FLOAT, FLOAT4) and
  // TIMESTAMP WITH TIME ZONE would come back as INTEGER, DOUBLE and a zone-less timestamp.
  static const std::pair<const char*, Type> kTypes[] = {
      {"varchar", Type::String},
      {"char", Type::String},
      {"text", Type::String},
      {"nvarchar", Type::String},
      {"string", Type::String},
      {"bpchar", Type::String},
      {"boolean", Type::Bool},
      {"bool", Type::Bool},
      {"int4", Type::Int32},
      {"integer", Type::Int32},
      {"int", Type::Int32},
      {"int8", Type::Int64},
      {"bigint", Type::Int64},
      {"float8", Type::Double},
      {"double", Type::Double},
      {"double_precision", Type::Double},
      {"date", Type::Date},
      {"timestamp", Type::Timestamp},
      {"datetime", Type::Timestamp},
  };
  for (const auto& [n, t] : kTypes) {
    if (lowered == n) return Expr::make(CastExpr{std::move(operand), t});
  }
  return abort_with(ParseStatus::Unsupported, "CAST to unsupported type: " + *written);
}

}  // namespace nv_sql
