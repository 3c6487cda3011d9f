#include "tools/nvsql/catalog.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <tuple>

#include <arrow/api.h>
#include <arrow/c/bridge.h>

namespace nvsql {
namespace {

// The nested GetObjects result is read through the struct view of each level.
using Visit = std::function<void(const arrow::StructArray&, int64_t)>;

std::string text_at(const arrow::StructArray& level, const char* field, int64_t row) {
  const auto array = level.GetFieldByName(field);
  if (array == nullptr || array->IsNull(row) || array->type_id() != arrow::Type::STRING) {
    return {};
  }
  return std::string(static_cast<const arrow::StringArray&>(*array).GetView(row));
}

int64_t int_at(const arrow::StructArray& level, const char* field, int64_t row) {
  const auto array = level.GetFieldByName(field);
  if (array == nullptr || array->IsNull(row)) return -1;
  switch (array->type_id()) {
    case arrow::Type::INT16: return static_cast<const arrow::Int16Array&>(*array).Value(row);
    case arrow::Type::INT32: return static_cast<const arrow::Int32Array&>(*array).Value(row);
    default: return -1;
  }
}

// Calls `visit` for each element of the list `field` of row `row`.
void each_item(const arrow::StructArray& level, const char* field, int64_t row,
               const Visit& visit) {
  const auto array = level.GetFieldByName(field);
  if (array == nullptr || array->IsNull(row) || array->type_id() != arrow::Type::LIST) return;
  const auto& list = static_cast<const arrow::ListArray&>(*array);
  if (list.values()->type_id() != arrow::Type::STRUCT) return;
  const auto& items = static_cast<const arrow::StructArray&>(*list.values());
  for (int64_t i = list.value_offset(row); i < list.value_offset(row + 1); ++i) visit(items, i);
}

std::vector<std::string> text_list_at(const arrow::StructArray& level, const char* field,
                                      int64_t row) {
  std::vector<std::string> out;
  const auto array = level.GetFieldByName(field);
  if (array == nullptr || array->IsNull(row) || array->type_id() != arrow::Type::LIST) return out;
  const auto& list = static_cast<const arrow::ListArray&>(*array);
  if (list.values()->type_id() != arrow::Type::STRING) return out;
  const auto& values = static_cast<const arrow::StringArray&>(*list.values());
  for (int64_t i = list.value_offset(row); i < list.value_offset(row + 1); ++i) {
    out.emplace_back(values.GetView(i));
  }
  return out;
}

struct StreamOwner {
  ArrowArrayStream stream{};
  ~StreamOwner() {
    if (stream.release != nullptr) stream.release(&stream);
  }
};

// Runs GetObjects and calls `visit` for every catalog row.
arrow::Status get_objects(Session& session, int depth, const std::string& schema,
                          const std::string& table, const char* type, const Visit& visit) {
  const char* types[] = {type, nullptr};
  StreamOwner owner;
  Failure failure;
  if (!session.get_objects(depth, schema.empty() ? nullptr : schema.c_str(),
                           table.empty() ? nullptr : table.c_str(),
                           type == nullptr ? nullptr : types, nullptr, &owner.stream,
                           &failure)) {
    return arrow::Status::IOError(describe(failure));
  }
  ARROW_ASSIGN_OR_RAISE(auto reader, arrow::ImportRecordBatchReader(&owner.stream));
  for (;;) {
    std::shared_ptr<arrow::RecordBatch> batch;
    ARROW_RETURN_NOT_OK(reader->ReadNext(&batch));
    if (batch == nullptr) break;
    ARROW_ASSIGN_OR_RAISE(auto top, batch->ToStructArray());
    const auto& catalogs = static_cast<const arrow::StructArray&>(*top);
    for (int64_t i = 0; i < catalogs.length(); ++i) visit(catalogs, i);
  }
  return arrow::Status::OK();
}

// Visits every table of a GetObjects result with its catalog and schema names.
using VisitTable = std::function<void(const TableRef&, const arrow::StructArray&, int64_t)>;

arrow::Status each_table(Session& session, int depth, const std::string& schema,
                         const std::string& table, const char* type, const VisitTable& visit) {
  return get_objects(session, depth, schema, table, type,
                     [&](const arrow::StructArray& catalogs, int64_t c) {
    const std::string catalog = text_at(catalogs, "catalog_name", c);
    each_item(catalogs, "catalog_db_schemas", c, [&](const arrow::StructArray& schemas,
                                                     int64_t s) {
      const std::string schema_name = text_at(schemas, "db_schema_name", s);
      each_item(schemas, "db_schema_tables", s, [&](const arrow::StructArray& tables, int64_t t) {
        visit(TableRef{catalog, schema_name, text_at(tables, "table_name", t),
                       text_at(tables, "table_type", t)},
              tables, t);
      });
    });
  });
}

std::string sql_type(const arrow::StructArray& columns, int64_t row) {
  std::string name = text_at(columns, "xdbc_type_name", row);
  const int64_t size = int_at(columns, "xdbc_column_size", row);
  const int64_t digits = int_at(columns, "xdbc_decimal_digits", row);
  if (name == "DECIMAL" && size >= 0 && digits >= 0) {
    name += "(" + std::to_string(size) + "," + std::to_string(digits) + ")";
  }
  return name;
}

// Arrow types by column name, from GetTableSchema; empty when the driver gives none.
std::map<std::string, std::shared_ptr<arrow::Field>> arrow_fields(Session& session,
                                                                  const TableRef& table) {
  std::map<std::string, std::shared_ptr<arrow::Field>> out;
  ArrowSchema c_schema{};
  Failure failure;
  if (!session.get_table_schema(table.schema, table.name, &c_schema, &failure)) return out;
  auto schema = arrow::ImportSchema(&c_schema);  // releases c_schema either way
  if (!schema.ok()) return out;
  for (const auto& field : (*schema)->fields()) out[field->name()] = field;
  return out;
}

std::string quoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// The catalog's type text (information_schema.columns.data_type) by column name: the SQL type
// as the service reports it. The driver answers this from its catalog snapshot, as it answers
// GetObjects, so it reaches no compute node. Empty when the driver gives none.
std::map<std::string, std::string> catalog_types(Session& session, const TableRef& table) {
  std::map<std::string, std::string> out;
  AdbcStatement statement{};
  Failure failure;
  if (!session.new_statement(&statement, &failure)) return out;
  std::string sql = "SELECT column_name, data_type FROM information_schema.columns WHERE "
                    "table_schema = " + quoted(table.schema) +
                    " AND table_name = " + quoted(table.name);
  if (!table.catalog.empty()) sql += " AND table_catalog = " + quoted(table.catalog);
  StreamOwner owner;
  if (session.execute(&statement, sql, &owner.stream, nullptr, &failure)) {
    auto reader = arrow::ImportRecordBatchReader(&owner.stream);
    std::shared_ptr<arrow::RecordBatch> batch;
    while (reader.ok() && (*reader)->ReadNext(&batch).ok() && batch != nullptr) {
      if (batch->num_columns() != 2 || batch->column(0)->type_id() != arrow::Type::STRING ||
          batch->column(1)->type_id() != arrow::Type::STRING) {
        break;
      }
      const auto& names = static_cast<const arrow::StringArray&>(*batch->column(0));
      const auto& types = static_cast<const arrow::StringArray&>(*batch->column(1));
      for (int64_t i = 0; i < batch->num_rows(); ++i) {
        if (!names.IsNull(i) && !types.IsNull(i)) out[names.GetString(i)] = types.GetString(i);
      }
    }
  }
  session.release_statement(&statement);
  return out;
}

}  // namespace

arrow::Result<std::vector<std::pair<std::string, std::string>>> list_schemas(
    Session& session, const std::string& pattern) {
  std::vector<std::pair<std::string, std::string>> out;
  ARROW_RETURN_NOT_OK(get_objects(session, ADBC_OBJECT_DEPTH_DB_SCHEMAS, pattern, {}, nullptr,
                                  [&](const arrow::StructArray& catalogs, int64_t c) {
    const std::string catalog = text_at(catalogs, "catalog_name", c);
    each_item(catalogs, "catalog_db_schemas", c, [&](const arrow::StructArray& schemas,
                                                     int64_t s) {
      out.emplace_back(catalog, text_at(schemas, "db_schema_name", s));
    });
  }));
  std::sort(out.begin(), out.end());
  return out;
}

arrow::Result<std::vector<TableRef>> list_tables(Session& session, const std::string& schema,
                                                 const std::string& table, const char* type) {
  std::vector<TableRef> out;
  ARROW_RETURN_NOT_OK(each_table(session, ADBC_OBJECT_DEPTH_TABLES, schema, table, type,
                                 [&](const TableRef& ref, const arrow::StructArray&, int64_t) {
                                   out.push_back(ref);
                                 }));
  std::sort(out.begin(), out.end(), [](const TableRef& a, const TableRef& b) {
    return std::tie(a.schema, a.name, a.catalog) < std::tie(b.schema, b.name, b.catalog);
  });
  return out;
}

arrow::Result<std::vector<TableInfo>> describe_table(Session& session, const std::string& schema,
                                                     const std::string& table) {
  std::vector<TableInfo> out;
  ARROW_RETURN_NOT_OK(each_table(
      session, ADBC_OBJECT_DEPTH_ALL, schema.empty() ? "" : like_literal(schema),
      like_literal(table), nullptr,
      [&](const TableRef& ref, const arrow::StructArray& tables, int64_t t) {
        // LIKE matching ignores case; \d names one table exactly (as the catalog spells it,
        // or in any case when that is the only spelling).
        TableInfo info{ref, {}, {}};
        each_item(tables, "table_columns", t, [&](const arrow::StructArray& columns, int64_t c) {
          ColumnInfo column;
          column.name = text_at(columns, "column_name", c);
          column.sql_type = sql_type(columns, c);
          column.nullable = text_at(columns, "xdbc_is_nullable", c) != "NO";
          column.default_value = text_at(columns, "xdbc_column_def", c);
          info.columns.push_back(std::move(column));
        });
        each_item(tables, "table_constraints", t,
                  [&](const arrow::StructArray& constraints, int64_t k) {
                    info.constraints.push_back(
                        {text_at(constraints, "constraint_name", k),
                         text_at(constraints, "constraint_type", k),
                         text_list_at(constraints, "constraint_column_names", k)});
                  });
        out.push_back(std::move(info));
      }));
  // An exact spelling wins over matches that differ only in case.
  const bool exact = std::any_of(out.begin(), out.end(), [&](const TableInfo& i) {
    return i.table.name == table && (schema.empty() || i.table.schema == schema);
  });
  if (exact) {
    out.erase(std::remove_if(out.begin(), out.end(),
                             [&](const TableInfo& i) {
                               return i.table.name != table ||
                                      (!schema.empty() && i.table.schema != schema);
                             }),
              out.end());
  }
  for (TableInfo& info : out) {
    // A table listed without columns is one the snapshot does not describe; GetTableSchema
    // would then ask a compute node, which browsing never does.
    if (info.columns.empty()) continue;
    const auto fields = arrow_fields(session, info.table);
    const auto types = catalog_types(session, info.table);
    for (ColumnInfo& column : info.columns) {
      if (auto t = types.find(column.name); t != types.end()) column.sql_type = t->second;
      if (auto f = fields.find(column.name); f != fields.end()) {
        column.arrow_type = f->second->type()->ToString();
        column.nullable = f->second->nullable();
      }
      for (const ConstraintInfo& constraint : info.constraints) {
        if (std::find(constraint.columns.begin(), constraint.columns.end(), column.name) ==
            constraint.columns.end()) {
          continue;
        }
        if (!column.keys.empty()) column.keys += ", ";
        column.keys += constraint.type;
      }
    }
  }
  std::sort(out.begin(), out.end(), [](const TableInfo& a, const TableInfo& b) {
    return std::tie(a.table.schema, a.table.name) < std::tie(b.table.schema, b.table.name);
  });
  return out;
}

std::string like_literal(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '%' || c == '_' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::pair<std::string, std::string> split_qualified(std::string_view text) {
  std::string parts[2];
  int part = 0;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        parts[part].push_back('"');
        ++i;
      } else {
        quoted = !quoted;
      }
    } else if (c == '.' && !quoted && part == 0) {
      part = 1;
    } else {
      parts[part].push_back(c);
    }
  }
  if (part == 0) return {"", parts[0]};
  return {parts[0], parts[1]};
}

}  // namespace nvsql
