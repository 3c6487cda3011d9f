#include "localsvc/sql_errors.h"

#include <string_view>

namespace nv_localsvc {

namespace {

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool has(std::string_view s, std::string_view p) { return s.find(p) != std::string_view::npos; }

// DuckDB names its error class before the first ": " ("Catalog Error: ...").
std::string_view error_class(std::string_view msg) {
  size_t colon = msg.find(": ");
  if (colon == std::string_view::npos || colon > 40) return {};
  return msg.substr(0, colon);
}

}  // namespace

HttpSqlError map_sql_error(const std::string& full) {
  // DuckDB appends hints ("Did you mean ...") and the statement text after a line break;
  // clients search the message for words such as "column" and "table", so only the first
  // line is sent.
  const std::string msg = full.substr(0, full.find('\n'));
  std::string_view cls = error_class(msg);
  if (cls == "Parser Error" || cls == "Syntax Error") return {400, "QUERY_ERROR", msg};
  if (cls == "Catalog Error") {
    if (has(msg, "already exists")) return {409, "DUPLICATE_OBJECT", msg};
    bool missing = has(msg, "does not exist") || has(msg, "not found");
    bool non_relation = has(msg, "Function with name") || has(msg, "Macro") ||
                        has(msg, "Type with name") || has(msg, "xtension");
    if (missing && !non_relation) return {404, "MISSING_OBJECT", msg};
    return {400, "QUERY_ERROR", msg};
  }
  if (cls == "Binder Error") {
    bool missing_column = has(msg, "Referenced column") || has(msg, "does not have a column") ||
                          (has(msg, "column") && has(msg, "not found"));
    if (missing_column) return {404, "MISSING_OBJECT", msg};
    if (has(msg, "Cannot") && (has(msg, "cast") || has(msg, "convert")))
      return {400, "QUERY_ERROR", "Cast error: " + msg};
    return {400, "QUERY_ERROR", msg};
  }
  if (cls == "Conversion Error" || cls == "Mismatch Type Error" || cls == "Invalid Type Error") {
    if (has(msg, "timestamp field format") || has(msg, "invalid timestamp"))
      return {400, "QUERY_ERROR", "Error parsing timestamp: " + msg};
    if (has(msg, "date field format") || has(msg, "invalid date"))
      return {400, "QUERY_ERROR", "Error parsing date: " + msg};
    if (has(msg, "time field format")) return {400, "QUERY_ERROR", "Error parsing time: " + msg};
    return {400, "QUERY_ERROR", "Cast error: " + msg};
  }
  if (has(msg, "ivision by zero") || has(msg, "ivide by zero")) {
    std::string text = msg;
    if (!has(msg, "division by zero") && !has(msg, "divide by zero") &&
        !has(msg, "Divide by zero"))
      text = "division by zero: " + msg;
    return {500, "INTERNAL_ERROR", text};
  }
  if (cls == "Constraint Error") return {409, "INTEGRITY_VIOLATION", msg};
  if (cls == "Transaction Error" || cls == "TransactionContext Error")
    return {409, "TRANSACTION_STATE", msg};
  if (cls == "Permission Error") return {403, "FORBIDDEN", msg};
  if (cls == "Interrupt Error") return {408, "TIMEOUT", msg};
  if (cls == "Dependency Error") return {409, "QUERY_ERROR", msg};
  if (cls == "Invalid Input Error" || cls == "Out of Range Error" || cls == "Not implemented Error" ||
      cls == "Invalid Error" || cls == "Sequence Error" || cls == "Decimal Error")
    return {400, "QUERY_ERROR", msg};
  if (starts_with(msg, "request:")) return {400, "QUERY_ERROR", msg};
  return {500, "INTERNAL_ERROR", msg};
}

std::string ingest_sqlstate_for(const std::string& full) {
  const std::string msg = full.substr(0, full.find('\n'));
  std::string_view cls = error_class(msg);
  if (cls == "Constraint Error") return "23000";
  if (cls == "Conversion Error" || cls == "Mismatch Type Error" || cls == "Invalid Type Error")
    return "22018";
  if (cls == "Binder Error" && (has(msg, "column") || has(msg, "Column"))) {
    if (has(msg, "cast") || has(msg, "Cast") || has(msg, "convert")) return "22018";
    return "42S22";
  }
  if (cls == "Catalog Error" && has(msg, "does not exist")) return "42S02";
  if (cls == "Transaction Error" || cls == "TransactionContext Error") return "40001";
  return "HY000";
}

}  // namespace nv_localsvc
