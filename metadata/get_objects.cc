// AdbcConnectionGetObjects: the catalog tree answered from the connection's snapshot, never
// from a compute node. Four relations are read once each and joined through hash maps keyed by
// 0x1F-joined names.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <arrow/api.h>

#include "adbc/error_internal.h"
#include "adbc/result_stream_internal.h"
#include "metadata/info_schema_internal.h"
#include "metadata/metadata_calls_internal.h"
#include "metadata/snapshot_cells_internal.h"
#include "metadata/type_mapping_internal.h"
#include "norvale/nv_log.h"
#include "sql/like_match_internal.h"

namespace norvale::adbc {
namespace {

struct ColInfo {
  int64_t ordinal;
  std::string_view name;
  std::string_view data_type;
  bool nullable;
  std::string_view column_default;
  bool has_default;
  int64_t character_maximum_length;
  int64_t character_octet_length;
  int64_t numeric_precision;
  int64_t numeric_precision_radix;
  int64_t numeric_scale;
  bool is_identity;
  bool is_generated;
  std::string_view description;
  bool has_description;
};

struct ConstraintInfo {
  std::string_view constraint_name;
  std::string_view constraint_type;
  std::string_view constraint_catalog;
  std::string_view constraint_schema;
};

struct ConstraintCol {
  int32_t ordinal;
  std::string_view column_name;
};

struct TableEntry {
  std::string_view name;
  const char* type;
};

struct SchemaGroup {
  std::string_view name;
  std::vector<TableEntry> tables;
};

// Catalogs and schemas are listed in the order they are first met; lookups go through hash maps.
struct CatalogGroup {
  std::string_view name;
  std::vector<SchemaGroup> schemas;
  std::unordered_map<std::string_view, size_t> schema_index;
};

struct Filters {
  int depth;
  const char* catalog;
  const char* db_schema;
  const char* table_name;
  const char** table_type;
  const char* column_name;
};

bool has_pattern(const char* pattern) { return pattern != nullptr && pattern[0] != '\0'; }

bool matches(const char* pattern, std::string_view text) {
  return !has_pattern(pattern) || nv::like_match_ci(pattern, text);
}

const char* normalise_table_type(std::string_view type) {
  if (ascii_eq_ci(type, "VIEW")) return "VIEW";
  if (ascii_eq_ci(type, "BASE TABLE")) return "BASE TABLE";
  if (ascii_eq_ci(type, "SYSTEM") || ascii_eq_ci(type, "SYSTEM TABLE")) return "SYSTEM TABLE";
  if (ascii_eq_ci(type, "LOCAL TEMPORARY")) return "LOCAL TEMPORARY";
  if (ascii_eq_ci(type, "GLOBAL TEMPORARY")) return "GLOBAL TEMPORARY";
  return "BASE TABLE";
}

bool type_selected(const char** types, const char* normalised) {
  if (types == nullptr || types[0] == nullptr) return true;
  for (const char** t = types; *t != nullptr; ++t) {
    if (ascii_eq_ci(*t, normalised)) return true;
  }
  return false;
}

bool has_columns(const arrow::RecordBatch* batch, std::initializer_list<std::string_view> names) {
  if (batch == nullptr) return false;
  for (std::string_view name : names) {
    if (snapshot_column_index(batch, name) < 0) return false;
  }
  return true;
}

using ColumnMap = std::unordered_map<std::string, std::vector<ColInfo>>;
using KeyColumnMap = std::unordered_map<std::string, std::vector<ConstraintCol>>;
using ConstraintMap = std::unordered_map<std::string, std::vector<ConstraintInfo>>;

ColumnMap collect_columns(const arrow::RecordBatch* columns, const char* column_pattern) {
  ColumnMap map;
  if (!has_columns(columns, {"table_name", "column_name", "data_type"})) return map;
  map.reserve(static_cast<size_t>(columns->num_rows()));
  const TextColumn catalog(columns, "table_catalog");
  const TextColumn schema(columns, "table_schema");
  const TextColumn table(columns, "table_name");
  const TextColumn name(columns, "column_name");
  const IntColumn ordinal(columns, "ordinal_position");
  const TextColumn data_type(columns, "data_type");
  const TextColumn is_nullable(columns, "is_nullable");
  const TextColumn column_default(columns, "column_default");
  const IntColumn char_max(columns, "character_maximum_length");
  const IntColumn char_octet(columns, "character_octet_length");
  const IntColumn precision(columns, "numeric_precision");
  const IntColumn radix(columns, "numeric_precision_radix");
  const IntColumn scale(columns, "numeric_scale");
  const TextColumn is_identity(columns, "is_identity");
  const TextColumn is_generated(columns, "is_generated");
  const TextColumn description(columns, "description");

  // Rows of one table usually come together: the previous row's list is reused without
  // building and hashing its key again (references into the map survive rehashing).
  std::vector<ColInfo>* last_list = nullptr;
  std::string_view last_catalog, last_schema, last_table;
  for (int64_t row = 0; row < columns->num_rows(); ++row) {
    const std::string_view column_name = name.get(row);
    if (!matches(column_pattern, column_name)) continue;
    const std::string_view cat = catalog.get(row);
    const std::string_view sch = schema.get(row);
    const std::string_view tbl = table.get(row);
    if (last_list == nullptr || cat != last_catalog || sch != last_schema || tbl != last_table) {
      last_list = &map[join_key(cat, sch, tbl)];
      last_catalog = cat;
      last_schema = sch;
      last_table = tbl;
    }
    auto& list = *last_list;
    ColInfo info{};
    info.ordinal = ordinal.present() ? ordinal.get(row) : static_cast<int64_t>(list.size()) + 1;
    info.name = column_name;
    info.data_type = data_type.get(row);
    const std::string_view nullable = is_nullable.get(row);
    info.nullable = nullable.empty() || ascii_eq_ci(nullable, "YES");
    info.column_default = column_default.get(row);
    info.has_default = !info.column_default.empty();
    info.character_maximum_length = char_max.get(row);
    info.character_octet_length = char_octet.get(row);
    info.numeric_precision = precision.get(row);
    info.numeric_precision_radix = radix.get(row);
    info.numeric_scale = scale.get(row);
    info.is_identity = is_identity.present() && ascii_eq_ci(is_identity.get(row), "YES");
    if (is_generated.present()) {
      const std::string_view generated = is_generated.get(row);
      info.is_generated = !generated.empty() && !ascii_eq_ci(generated, "NEVER") &&
                          !ascii_eq_ci(generated, "NO");
    }
    info.description = description.get(row);
    info.has_description = !info.description.empty();
    list.push_back(info);
  }
  return map;
}

KeyColumnMap collect_key_columns(const arrow::RecordBatch* usage) {
  KeyColumnMap map;
  if (usage == nullptr || usage->num_rows() == 0 ||
      !has_columns(usage,
                   {"constraint_catalog", "constraint_schema", "constraint_name", "column_name"})) {
    return map;
  }
  const TextColumn catalog(usage, "constraint_catalog");
  const TextColumn schema(usage, "constraint_schema");
  const TextColumn name(usage, "constraint_name");
  const TextColumn column(usage, "column_name");
  const IntColumn ordinal(usage, "ordinal_position");
  for (int64_t row = 0; row < usage->num_rows(); ++row) {
    const int64_t position = ordinal.present() ? ordinal.get(row) : 0;
    map[join_key(catalog.get(row), schema.get(row), name.get(row))].push_back(
        {static_cast<int32_t>(std::clamp<int64_t>(position, INT32_MIN, INT32_MAX)),
         column.get(row)});
  }
  for (auto& [key, list] : map) {
    std::stable_sort(list.begin(), list.end(), [](const ConstraintCol& a, const ConstraintCol& b) {
      return a.ordinal < b.ordinal;
    });
  }
  return map;
}

ConstraintMap collect_constraints(const arrow::RecordBatch* constraints) {
  ConstraintMap map;
  if (constraints == nullptr || constraints->num_rows() == 0 ||
      !has_columns(constraints, {"table_catalog", "table_schema", "constraint_name", "table_name",
                                 "constraint_type"})) {
    return map;
  }
  const TextColumn catalog(constraints, "table_catalog");
  const TextColumn schema(constraints, "table_schema");
  const TextColumn table(constraints, "table_name");
  const TextColumn name(constraints, "constraint_name");
  const TextColumn type(constraints, "constraint_type");
  const TextColumn constraint_catalog(constraints, "constraint_catalog");
  const TextColumn constraint_schema(constraints, "constraint_schema");
  for (int64_t row = 0; row < constraints->num_rows(); ++row) {
    map[join_key(catalog.get(row), schema.get(row), table.get(row))].push_back(
        {name.get(row), type.get(row), constraint_catalog.get(row), constraint_schema.get(row)});
  }
  return map;
}

// Builds the catalog tree from the tables relation, applying the name and type filters.
std::vector<CatalogGroup> group_tables(const arrow::RecordBatch* tables, const Filters& f) {
  std::vector<CatalogGroup> catalogs;
  std::unordered_map<std::string_view, size_t> catalog_index;
  const TextColumn catalog(tables, "table_catalog");
  const TextColumn schema(tables, "table_schema");
  const TextColumn name(tables, "table_name");
  const TextColumn type(tables, "table_type");
  for (int64_t row = 0; row < tables->num_rows(); ++row) {
    const std::string_view cat = catalog.get(row);
    const std::string_view sch = schema.get(row);
    const std::string_view tbl = name.get(row);
    if (!matches(f.catalog, cat) || !matches(f.db_schema, sch) || !matches(f.table_name, tbl)) {
      continue;
    }
    const char* normalised = normalise_table_type(type.get(row));
    if (!type_selected(f.table_type, normalised)) continue;

    auto [cat_it, cat_new] = catalog_index.try_emplace(cat, catalogs.size());
    if (cat_new) catalogs.push_back(CatalogGroup{cat, {}, {}});
    CatalogGroup& group = catalogs[cat_it->second];
    auto [sch_it, sch_new] = group.schema_index.try_emplace(sch, group.schemas.size());
    if (sch_new) group.schemas.push_back(SchemaGroup{sch, {}});
    group.schemas[sch_it->second].tables.push_back({tbl, normalised});
  }
  return catalogs;
}

arrow::Status step(const char* name, const arrow::Status& st) {
  if (st.ok()) return st;
  return arrow::Status::Invalid(name, " failed: ", st.message());
}

#define NV_STEP(name, expr) ARROW_RETURN_NOT_OK(step(name, (expr)))

template <typename Builder, typename T>
arrow::Status append_optional(Builder* builder, const std::optional<T>& value) {
  return value ? builder->Append(*value) : builder->AppendNull();
}

// Snapshot numbers are 64-bit; the result's fields are narrower and saturate.
int32_t to_int32(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}
int16_t to_int16(int64_t v) {
  return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
}

// The nested builders below the catalog level, taken apart once.
struct TreeBuilders {
  arrow::ListBuilder* db_schemas;
  arrow::StructBuilder* db_schema;
  arrow::StringBuilder* db_schema_name;
  arrow::ListBuilder* db_schema_tables;
  arrow::StructBuilder* table;
  arrow::StringBuilder* table_name;
  arrow::StringBuilder* table_type;
  arrow::ListBuilder* table_columns;
  arrow::StructBuilder* column;
  arrow::ListBuilder* table_constraints;
  arrow::StructBuilder* constraint;
  arrow::StringBuilder* constraint_name;
  arrow::StringBuilder* constraint_type;
  arrow::ListBuilder* constraint_colnames;
  arrow::StringBuilder* constraint_column_name;
  arrow::ListBuilder* constraint_usage;

  explicit TreeBuilders(arrow::ArrayBuilder* root) {
    db_schemas = static_cast<arrow::ListBuilder*>(root);
    db_schema = static_cast<arrow::StructBuilder*>(db_schemas->value_builder());
    db_schema_name = static_cast<arrow::StringBuilder*>(db_schema->field_builder(0));
    db_schema_tables = static_cast<arrow::ListBuilder*>(db_schema->field_builder(1));
    table = static_cast<arrow::StructBuilder*>(db_schema_tables->value_builder());
    table_name = static_cast<arrow::StringBuilder*>(table->field_builder(0));
    table_type = static_cast<arrow::StringBuilder*>(table->field_builder(1));
    table_columns = static_cast<arrow::ListBuilder*>(table->field_builder(2));
    column = static_cast<arrow::StructBuilder*>(table_columns->value_builder());
    table_constraints = static_cast<arrow::ListBuilder*>(table->field_builder(3));
    constraint = static_cast<arrow::StructBuilder*>(table_constraints->value_builder());
    constraint_name = static_cast<arrow::StringBuilder*>(constraint->field_builder(0));
    constraint_type = static_cast<arrow::StringBuilder*>(constraint->field_builder(1));
    constraint_colnames = static_cast<arrow::ListBuilder*>(constraint->field_builder(2));
    constraint_column_name =
        static_cast<arrow::StringBuilder*>(constraint_colnames->value_builder());
    constraint_usage = static_cast<arrow::ListBuilder*>(constraint->field_builder(3));
  }

  template <typename T>
  T* col(int i) const {
    return static_cast<T*>(column->field_builder(i));
  }
};

// Classifications by data_type text; a snapshot holds few distinct texts.
class XdbcCache {
 public:
  const XdbcType& get(std::string_view data_type) {
    auto it = cache_.find(data_type);
    if (it == cache_.end()) it = cache_.emplace(data_type, classify_xdbc_type(data_type)).first;
    return it->second;
  }

 private:
  std::unordered_map<std::string_view, XdbcType> cache_;
};

arrow::Status append_column(const TreeBuilders& b, XdbcCache& types, const ColInfo& c,
                            std::string_view catalog, std::string_view schema,
                            std::string_view table) {
  using arrow::BooleanBuilder;
  using arrow::Int16Builder;
  using arrow::Int32Builder;
  using arrow::StringBuilder;
  const XdbcType& x = types.get(c.data_type);

  std::optional<int32_t> size = x.column_size;
  if (c.character_maximum_length >= 0) {
    size = to_int32(c.character_maximum_length);
  } else if (c.numeric_precision >= 0) {
    size = to_int32(c.numeric_precision);
  }
  std::optional<int16_t> digits = x.decimal_digits;
  if (c.numeric_scale >= 0) digits = to_int16(c.numeric_scale);
  std::optional<int16_t> radix = x.num_prec_radix;
  if (c.numeric_precision >= 0) {
    radix = std::nullopt;
    if (c.numeric_precision_radix >= 0) radix = to_int16(c.numeric_precision_radix);
  }
  std::optional<int32_t> octets = x.char_octet_length;
  if (c.character_octet_length >= 0) octets = to_int32(c.character_octet_length);
  std::optional<int16_t> datetime_sub;
  if (x.data_type == 91 || x.data_type == 92 || x.data_type == 93) datetime_sub = x.data_type;

  NV_STEP("column_sb.Append", b.column->Append());
  NV_STEP("column_name.Append", b.col<StringBuilder>(0)->Append(c.name));
  NV_STEP("column_ordinal.Append", b.col<Int32Builder>(1)->Append(to_int32(c.ordinal)));
  NV_STEP("remarks.Append", c.has_description ? b.col<StringBuilder>(2)->Append(c.description)
                                              : b.col<StringBuilder>(2)->AppendNull());
  NV_STEP("xdbc_data_type.Append", b.col<Int16Builder>(3)->Append(x.data_type));
  NV_STEP("xdbc_type_name.Append", b.col<StringBuilder>(4)->Append(x.type_name));
  NV_STEP("xdbc_column_size.Append", append_optional(b.col<Int32Builder>(5), size));
  NV_STEP("xdbc_decimal_digits.Append", append_optional(b.col<Int16Builder>(6), digits));
  NV_STEP("xdbc_num_prec_radix.Append", append_optional(b.col<Int16Builder>(7), radix));
  NV_STEP("xdbc_nullable.Append", b.col<Int16Builder>(8)->Append(c.nullable ? 1 : 0));
  NV_STEP("xdbc_column_def.Append", c.has_default
                                        ? b.col<StringBuilder>(9)->Append(c.column_default)
                                        : b.col<StringBuilder>(9)->AppendNull());
  NV_STEP("xdbc_sql_data_type.Append", b.col<Int16Builder>(10)->Append(x.data_type));
  NV_STEP("xdbc_datetime_sub.Append", append_optional(b.col<Int16Builder>(11), datetime_sub));
  NV_STEP("xdbc_char_octet_length.Append", append_optional(b.col<Int32Builder>(12), octets));
  NV_STEP("xdbc_is_nullable.Append", b.col<StringBuilder>(13)->Append(c.nullable ? "YES" : "NO"));
  NV_STEP("xdbc_scope_catalog.Append", b.col<StringBuilder>(14)->Append(catalog));
  NV_STEP("xdbc_scope_schema.Append", b.col<StringBuilder>(15)->Append(schema));
  NV_STEP("xdbc_scope_table.Append", b.col<StringBuilder>(16)->Append(table));
  NV_STEP("xdbc_is_autoincrement.Append", b.col<BooleanBuilder>(17)->Append(c.is_identity));
  NV_STEP("xdbc_is_generatedcolumn.Append", b.col<BooleanBuilder>(18)->Append(c.is_generated));
  return arrow::Status::OK();
}

// Sizes the column builders once for every collected column, so that appending never regrows.
arrow::Status reserve_columns(const TreeBuilders& b, const ColumnMap& columns) {
  int64_t total = 0;
  for (const auto& [key, list] : columns) total += static_cast<int64_t>(list.size());
  if (total == 0) return arrow::Status::OK();
  ARROW_RETURN_NOT_OK(b.column->Reserve(total));
  for (int i = 0; i < b.column->num_fields(); ++i) {
    ARROW_RETURN_NOT_OK(b.column->field_builder(i)->Reserve(total));
  }
  return arrow::Status::OK();
}

struct Relations {
  ColumnMap columns;
  KeyColumnMap key_columns;
  ConstraintMap constraints;
  XdbcCache types;
};

arrow::Status append_table(const TreeBuilders& b, Relations& rel, int depth,
                           std::string_view catalog, std::string_view schema,
                           const TableEntry& table) {
  NV_STEP("table_sb.Append", b.table->Append());
  NV_STEP("table_name.Append", b.table_name->Append(table.name));
  NV_STEP("table_type.Append", b.table_type->Append(table.type));
  const std::string key = join_key(catalog, schema, table.name);

  if (depth != 0) {
    NV_STEP("table_columns_lb.AppendNull", b.table_columns->AppendNull());
  } else {
    NV_STEP("table_columns_lb.Append", b.table_columns->Append());
    auto it = rel.columns.find(key);
    if (it != rel.columns.end()) {
      std::vector<const ColInfo*> sorted;
      sorted.reserve(it->second.size());
      for (const ColInfo& c : it->second) sorted.push_back(&c);
      std::stable_sort(sorted.begin(), sorted.end(), [](const ColInfo* a, const ColInfo* c) {
        return a->ordinal < c->ordinal;
      });
      for (const ColInfo* c : sorted) {
        ARROW_RETURN_NOT_OK(append_column(b, rel.types, *c, catalog, schema, table.name));
      }
    }
  }

  NV_STEP("table_constraints_lb.Append", b.table_constraints->Append());
  auto cons = rel.constraints.find(key);
  if (cons == rel.constraints.end()) return arrow::Status::OK();
  for (const ConstraintInfo& c : cons->second) {
    NV_STEP("constraint_sb.Append", b.constraint->Append());
    NV_STEP("constraint_name.Append", b.constraint_name->Append(c.constraint_name));
    NV_STEP("constraint_type.Append", b.constraint_type->Append(c.constraint_type));
    NV_STEP("constraint_colnames_lb.Append", b.constraint_colnames->Append());
    auto cols = rel.key_columns.find(
        join_key(c.constraint_catalog, c.constraint_schema, c.constraint_name));
    if (cols != rel.key_columns.end()) {
      for (const ConstraintCol& col : cols->second) {
        NV_STEP("constraint_column_name.Append", b.constraint_column_name->Append(col.column_name));
      }
    }
    NV_STEP("constraint_usage_lb.AppendNull", b.constraint_usage->AppendNull());
  }
  return arrow::Status::OK();
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> empty_result(
    const std::shared_ptr<arrow::Schema>& schema) {
  std::vector<std::shared_ptr<arrow::Array>> arrays;
  for (const auto& field : schema->fields()) {
    auto array = arrow::MakeEmptyArray(field->type(), arrow::default_memory_pool());
    if (!array.ok()) {
      return arrow::Status::Invalid("MakeEmptyArray failed: ", array.status().message());
    }
    arrays.push_back(*std::move(array));
  }
  return arrow::RecordBatch::Make(schema, 0, std::move(arrays));
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> build_objects(NVAdbcConnectionState* state,
                                                                 const Filters& f) {
  auto schema = build_get_objects_schema();
  const auto tables = info_schema_batch_get(state, kRsTables);
  const auto columns = info_schema_batch_get(state, kRsColumns);
  const auto usage = info_schema_batch_get(state, kRsKeyColumnUsage);
  const auto constraints = info_schema_batch_get(state, kRsTableConstraints);

  if (!tables || tables->num_rows() == 0 ||
      !has_columns(tables.get(), {"table_catalog", "table_schema", "table_name", "table_type"})) {
    return empty_result(schema);
  }

  Relations rel;
  // Columns are only written at depth 0; the other depths skip reading them.
  if (f.depth == 0) rel.columns = collect_columns(columns.get(), f.column_name);
  if (f.depth == 0 || f.depth >= 3) {
    rel.key_columns = collect_key_columns(usage.get());
    rel.constraints = collect_constraints(constraints.get());
  }
  const std::vector<CatalogGroup> catalogs = group_tables(tables.get(), f);

  std::unique_ptr<arrow::ArrayBuilder> root;
  arrow::Status made = arrow::MakeBuilder(arrow::default_memory_pool(),
                                          schema->field(1)->type(), &root);
  if (!made.ok()) return arrow::Status::Invalid("MakeBuilder(db_schemas) failed: ", made.message());
  const TreeBuilders b(root.get());
  arrow::StringBuilder catalog_names;
  // With table filters most collected columns may go unused; sizing for them would waste memory.
  const bool unfiltered = !has_pattern(f.catalog) && !has_pattern(f.db_schema) &&
                          !has_pattern(f.table_name) &&
                          (f.table_type == nullptr || f.table_type[0] == nullptr);
  if (unfiltered) ARROW_RETURN_NOT_OK(reserve_columns(b, rel.columns));

  for (const CatalogGroup& catalog : catalogs) {
    NV_STEP("catalog_name.Append", catalog_names.Append(catalog.name));
    if (f.depth == 1) {
      NV_STEP("db_schemas_lb.AppendNull", b.db_schemas->AppendNull());
      continue;
    }
    NV_STEP("db_schemas_lb.Append", b.db_schemas->Append());
    for (const SchemaGroup& schema_group : catalog.schemas) {
      NV_STEP("db_schema_sb.Append", b.db_schema->Append());
      NV_STEP("db_schema_name.Append", b.db_schema_name->Append(schema_group.name));
      if (f.depth == 2) {
        NV_STEP("db_schema_tables_lb.AppendNull", b.db_schema_tables->AppendNull());
        continue;
      }
      NV_STEP("db_schema_tables_lb.Append", b.db_schema_tables->Append());
      for (const TableEntry& table : schema_group.tables) {
        ARROW_RETURN_NOT_OK(
            append_table(b, rel, f.depth, catalog.name, schema_group.name, table));
      }
    }
  }

  std::shared_ptr<arrow::Array> names;
  std::shared_ptr<arrow::Array> db_schemas;
  NV_STEP("catalog_name.Finish", catalog_names.Finish(&names));
  NV_STEP("db_schemas.Finish", root->Finish(&db_schemas));
  return arrow::RecordBatch::Make(schema, names->length(), {names, db_schemas});
}

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

void set_error_256(AdbcError* error, const std::string& message) {
  char text[256];
  std::snprintf(text, sizeof(text), "AdbcConnectionGetObjects: %s", message.c_str());
  set_error(error, text, "HY000");
}

}  // namespace
}  // namespace norvale::adbc

extern "C" AdbcStatusCode nv_adbc_connection_get_objects(
    AdbcConnection* connection, int depth, const char* catalog, const char* db_schema,
    const char* table_name, const char** table_type, const char* column_name,
    ArrowArrayStream* out, AdbcError* error) {
  using namespace norvale::adbc;
  try {
    nv_log_emit(NV_LOG_INFO, "api",
                "AdbcConnectionGetObjects(conn=%p, depth=%d, catalog=\"%s\", db_schema=\"%s\", "
                "table_name=\"%s\", column_name=\"%s\")",
                static_cast<void*>(connection), depth, or_empty(catalog), or_empty(db_schema),
                or_empty(table_name), or_empty(column_name));
    if (connection == nullptr || out == nullptr) {
      set_error(error, "AdbcConnectionGetObjects: null connection or stream", "HY009");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    auto* state = static_cast<NVAdbcConnectionState*>(connection->private_data);
    if (state == nullptr || state->connection == nullptr) {
      set_error(error, "AdbcConnectionGetObjects: connection not initialised", "HY010");
      return ADBC_STATUS_INVALID_STATE;
    }
    if (depth < 0) {
      set_error(error,
                "AdbcConnectionGetObjects: depth must be 0 (all), 1 (catalogs), 2 (db_schemas) "
                "or 3 (tables), got " + std::to_string(depth),
                "HY009");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    const Filters filters{std::min(depth, 3), catalog, db_schema, table_name, table_type,
                          column_name};
    auto batch = build_objects(state, filters);
    if (!batch.ok()) {
      set_error_256(error, batch.status().message());
      return ADBC_STATUS_INTERNAL;
    }
    nv_log_emit(NV_LOG_DEBUG, "meta_engine",
                "GetObjects served from snapshot (depth=%d, catalog=\"%s\", db_schema=\"%s\", "
                "table_name=\"%s\", catalogs=%lld)",
                depth, or_empty(catalog), or_empty(db_schema), or_empty(table_name),
                static_cast<long long>((*batch)->num_rows()));
    return export_single_batch(*std::move(batch), out, error);
  } catch (const std::exception& e) {
    set_error_256(error, std::string("internal error: ") + e.what());
    return ADBC_STATUS_INTERNAL;
  }
}
