// Which bound INSERTs run as one ingest, and how their values map to bound columns.
#include "adbc/bulk_bind_internal.h"
#include "util/strings_internal.h"

namespace norvale::adbc {

std::optional<BulkInsertPlan> plan_bulk_insert(std::string_view sql,
                                               const StatementParameters& params,
                                               const std::vector<int>& columns) {
  if (params.markers.empty()) return std::nullopt;
  const std::optional<cells::InsertValuesShape> shape = cells::parse_insert_values(sql);
  if (!shape) return std::nullopt;
  if (shape->has_column_list && shape->columns.size() != shape->values.size()) {
    return std::nullopt;  // the service's own error says what is wrong
  }
  // Every value is one marker, every marker is a value, and every parameter has one marker:
  // the row is then the bound row itself, column for column.
  if (params.markers.size() != shape->values.size() ||
      params.names.size() != shape->values.size() || columns.size() != params.names.size()) {
    return std::nullopt;
  }
  BulkInsertPlan plan;
  plan.table = shape->table;
  std::vector<bool> seen(params.names.size(), false);
  for (size_t i = 0; i < shape->values.size(); ++i) {
    const cells::InsertValuesShape::Span& value = shape->values[i];
    const ParameterMarker& marker = params.markers[i];
    if (value.tokens != 1 || value.begin != marker.begin || value.end != marker.end) {
      return std::nullopt;
    }
    const auto p = static_cast<size_t>(marker.parameter);
    if (seen[p]) return std::nullopt;
    seen[p] = true;
    plan.bound_columns.push_back(columns[p]);
  }
  if (shape->has_column_list) {
    std::vector<std::string> names;
    for (const cells::SqlIdentifier& column : shape->columns) {
      // The service matches column names without regard to case: a name given twice is its
      // SQL error to report.
      for (const std::string& earlier : names) {
        if (ascii_eq_ci(earlier, column.name)) return std::nullopt;
      }
      names.push_back(column.name);
    }
    plan.target_columns = std::move(names);
  }
  return plan;
}

std::string target_table_text(const std::vector<cells::SqlIdentifier>& table) {
  std::string out;
  for (const cells::SqlIdentifier& part : table) {
    if (!out.empty()) out += '.';
    if (!part.quoted) {
      out += part.name;
      continue;
    }
    out += '"';
    for (char c : part.name) {
      out += c;
      if (c == '"') out += '"';
    }
    out += '"';
  }
  return out;
}

}  // namespace norvale::adbc
