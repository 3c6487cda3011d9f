// GetObjects' catalog tree, answered from the connection's snapshot, never from a compute
// node. Catalogs and schemas come from their own relations (empty ones listed)
// and from the tables; columns, constraints and key columns are found through the catalog
// index, so an exact table name costs what it returns.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <arrow/api.h>

#include "metadata/catalog_answers_internal.h"
#include "metadata/catalog_index_internal.h"
#include "metadata/info_schema_internal.h"
#include "metadata/snapshot_cells_internal.h"
#include "metadata/type_mapping_internal.h"
#include "sql/like_match_internal.h"
#include "util/strings_internal.h"

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

using Filters = ObjectsFilter;


bool matches(const char* pattern, std::string_view text) {
  return !non_empty(pattern) || nv::like_match_ci(pattern, text);
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

// A pattern without wildcards or escapes names exactly one text (ASCII case-insensitive).
bool is_exact(const char* pattern) {
  return non_empty(pattern) && std::strpbrk(pattern, "%_\\") == nullptr;
}

class Tree {
 public:
  CatalogGroup& catalog(std::string_view name) {
    auto [it, added] = catalog_index_.try_emplace(name, catalogs_.size());
    if (added) catalogs_.push_back(CatalogGroup{name, {}, {}});
    return catalogs_[it->second];
  }
  static SchemaGroup& schema(CatalogGroup& group, std::string_view name) {
    auto [it, added] = group.schema_index.try_emplace(name, group.schemas.size());
    if (added) group.schemas.push_back(SchemaGroup{name, {}});
    return group.schemas[it->second];
  }
  const std::vector<CatalogGroup>& catalogs() const { return catalogs_; }

 private:
  std::vector<CatalogGroup> catalogs_;
  std::unordered_map<std::string_view, size_t> catalog_index_;
};

// The catalog tree: catalogs from the catalogs relation, schemas from schemata, then both (and
// the tables) from the tables relation, each filtered by its own pattern. Catalogs and schemas
// without tables are listed too; the table filters choose tables only.
Tree group_objects(const CatalogIndex& index, const Filters& f) {
  Tree tree;
  const SnapshotBatches& b = index.batches();
  if (const arrow::RecordBatch* catalogs = b[kRsCatalogs].get();
      catalogs != nullptr && has_columns(catalogs, {"catalog_name"})) {
    const TextColumn name(catalogs, "catalog_name");
    for (int64_t row = 0; row < catalogs->num_rows(); ++row) {
      if (matches(f.catalog, name.get(row))) tree.catalog(name.get(row));
    }
  }
  if (const arrow::RecordBatch* schemata = b[kRsSchemata].get();
      f.depth != 1 && schemata != nullptr &&
      has_columns(schemata, {"catalog_name", "schema_name"})) {
    const TextColumn catalog(schemata, "catalog_name");
    const TextColumn name(schemata, "schema_name");
    for (int64_t row = 0; row < schemata->num_rows(); ++row) {
      if (!matches(f.catalog, catalog.get(row)) || !matches(f.db_schema, name.get(row))) continue;
      Tree::schema(tree.catalog(catalog.get(row)), name.get(row));
    }
  }
  const arrow::RecordBatch* tables = b[kRsTables].get();
  if (tables == nullptr ||
      !has_columns(tables, {"table_catalog", "table_schema", "table_name", "table_type"})) {
    return tree;
  }
  const TextColumn catalog(tables, "table_catalog");
  const TextColumn schema(tables, "table_schema");
  const TextColumn name(tables, "table_name");
  const TextColumn type(tables, "table_type");
  auto add = [&](int64_t row) {
    const std::string_view cat = catalog.get(row);
    const std::string_view sch = schema.get(row);
    const std::string_view tbl = name.get(row);
    if (!matches(f.catalog, cat) || !matches(f.db_schema, sch)) return;
    CatalogGroup& group = tree.catalog(cat);
    if (f.depth == 1) return;
    SchemaGroup& schema_group = Tree::schema(group, sch);
    if (f.depth == 2 || !matches(f.table_name, tbl)) return;
    const char* normalised = normalise_table_type(type.get(row));
    if (type_selected(f.table_type, normalised)) schema_group.tables.push_back({tbl, normalised});
  };
  if (f.depth != 1 && f.depth != 2 && is_exact(f.table_name) && index.indexed(kRsTables)) {
    // An exact name: only that table's rows, but every catalog and schema still counts.
    if (b[kRsSchemata] == nullptr) {
      // Without a schemata relation the schemas come from the tables: all of them are read.
      for (int64_t row = 0; row < tables->num_rows(); ++row) {
        const std::string_view cat = catalog.get(row);
        if (matches(f.catalog, cat) && matches(f.db_schema, schema.get(row))) {
          Tree::schema(tree.catalog(cat), schema.get(row));
        }
      }
    }
    for (int32_t row : index.rows(kRsTables, f.table_name)) add(row);
  } else {
    for (int64_t row = 0; row < tables->num_rows(); ++row) add(row);
  }
  return tree;
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
  arrow::StructBuilder* usage;
  arrow::StringBuilder* fk_catalog;
  arrow::StringBuilder* fk_db_schema;
  arrow::StringBuilder* fk_table;
  arrow::StringBuilder* fk_column_name;

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
    usage = static_cast<arrow::StructBuilder*>(constraint_usage->value_builder());
    fk_catalog = static_cast<arrow::StringBuilder*>(usage->field_builder(0));
    fk_db_schema = static_cast<arrow::StringBuilder*>(usage->field_builder(1));
    fk_table = static_cast<arrow::StringBuilder*>(usage->field_builder(2));
    fk_column_name = static_cast<arrow::StringBuilder*>(usage->field_builder(3));
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

// The relations a table's columns and constraints are read from, with their cell readers.
class Relations {
 public:
  Relations(const CatalogIndex& index, const char* column_pattern)
      : index_(index), column_pattern_(column_pattern) {
    const SnapshotBatches& b = index.batches();
    const arrow::RecordBatch* columns = b[kRsColumns].get();
    if (has_columns(columns, {"table_name", "column_name", "data_type"})) {
      columns_ok_ = true;
      c_catalog_ = TextColumn(columns, "table_catalog");
      c_schema_ = TextColumn(columns, "table_schema");
      c_table_ = TextColumn(columns, "table_name");
      c_name_ = TextColumn(columns, "column_name");
      c_ordinal_ = IntColumn(columns, "ordinal_position");
      c_type_ = TextColumn(columns, "data_type");
      c_nullable_ = TextColumn(columns, "is_nullable");
      c_default_ = TextColumn(columns, "column_default");
      c_char_max_ = IntColumn(columns, "character_maximum_length");
      c_char_octet_ = IntColumn(columns, "character_octet_length");
      c_precision_ = IntColumn(columns, "numeric_precision");
      c_radix_ = IntColumn(columns, "numeric_precision_radix");
      c_scale_ = IntColumn(columns, "numeric_scale");
      c_identity_ = TextColumn(columns, "is_identity");
      c_generated_ = TextColumn(columns, "is_generated");
      c_description_ = TextColumn(columns, "description");
    }
    const arrow::RecordBatch* cons = b[kRsTableConstraints].get();
    if (cons != nullptr && cons->num_rows() > 0 &&
        has_columns(cons, {"table_catalog", "table_schema", "constraint_name", "table_name",
                           "constraint_type"})) {
      constraints_ok_ = true;
      t_catalog_ = TextColumn(cons, "table_catalog");
      t_schema_ = TextColumn(cons, "table_schema");
      t_table_ = TextColumn(cons, "table_name");
      t_name_ = TextColumn(cons, "constraint_name");
      t_type_ = TextColumn(cons, "constraint_type");
      t_cons_catalog_ = TextColumn(cons, "constraint_catalog");
      t_cons_schema_ = TextColumn(cons, "constraint_schema");
    }
    const arrow::RecordBatch* usage = b[kRsKeyColumnUsage].get();
    if (usage != nullptr && usage->num_rows() > 0 &&
        has_columns(usage,
                    {"constraint_catalog", "constraint_schema", "constraint_name", "column_name"})) {
      usage_ok_ = true;
      k_catalog_ = TextColumn(usage, "constraint_catalog");
      k_schema_ = TextColumn(usage, "constraint_schema");
      k_name_ = TextColumn(usage, "constraint_name");
      k_column_ = TextColumn(usage, "column_name");
      k_ordinal_ = IntColumn(usage, "ordinal_position");
      k_position_ = IntColumn(usage, "position_in_unique_constraint");
      k_table_catalog_ = TextColumn(usage, "table_catalog");
      k_table_schema_ = TextColumn(usage, "table_schema");
      k_table_ = TextColumn(usage, "table_name");
      usage_has_tables_ = has_columns(usage, {"table_catalog", "table_schema", "table_name"});
    }
    const arrow::RecordBatch* refs = b[kRsReferentialConstraints].get();
    if (refs != nullptr &&
        has_columns(refs, {"constraint_catalog", "constraint_schema", "constraint_name",
                           "unique_constraint_catalog", "unique_constraint_schema",
                           "unique_constraint_name"})) {
      refs_ok_ = true;
      r_catalog_ = TextColumn(refs, "constraint_catalog");
      r_schema_ = TextColumn(refs, "constraint_schema");
      r_name_ = TextColumn(refs, "constraint_name");
      r_unique_catalog_ = TextColumn(refs, "unique_constraint_catalog");
      r_unique_schema_ = TextColumn(refs, "unique_constraint_schema");
      r_unique_name_ = TextColumn(refs, "unique_constraint_name");
    }
  }

  /// The table's columns (matching the column pattern), sorted by ordinal.
  std::vector<ColInfo> columns(std::string_view catalog, std::string_view schema,
                               std::string_view table) const {
    std::vector<ColInfo> list;
    if (!columns_ok_) return list;
    for (int32_t row : index_.rows(kRsColumns, table)) {
      // Rows belong to a table by exact names; the index only narrows the search.
      if (c_catalog_.get(row) != catalog || c_schema_.get(row) != schema) continue;
      // The index matched the name ASCII case-insensitively; rows join by exact name.
      if (c_table_.get(row) != table) continue;
      const std::string_view column_name = c_name_.get(row);
      if (!matches(column_pattern_, column_name)) continue;
      list.push_back(column_info(row, column_name, static_cast<int64_t>(list.size()) + 1));
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const ColInfo& a, const ColInfo& b) { return a.ordinal < b.ordinal; });
    return list;
  }

  struct Constraint {
    std::string_view name, type, catalog, schema;
  };

  std::vector<Constraint> constraints(std::string_view catalog, std::string_view schema,
                                      std::string_view table) const {
    std::vector<Constraint> list;
    if (!constraints_ok_) return list;
    for (int32_t row : index_.rows(kRsTableConstraints, table)) {
      if (t_catalog_.get(row) != catalog || t_schema_.get(row) != schema ||
          t_table_.get(row) != table) {
        continue;
      }
      list.push_back({t_name_.get(row), t_type_.get(row), t_cons_catalog_.get(row),
                      t_cons_schema_.get(row)});
    }
    return list;
  }

  struct KeyColumn {
    int64_t ordinal;
    int64_t position_in_unique;  // -1 when absent
    int32_t row;
  };

  /// The key columns of a constraint, sorted by ordinal.
  std::vector<KeyColumn> key_columns(std::string_view catalog, std::string_view schema,
                                     std::string_view name) const {
    std::vector<KeyColumn> list;
    if (!usage_ok_) return list;
    for (int32_t row : index_.rows(kRsKeyColumnUsage, name)) {
      if (k_catalog_.get(row) != catalog || k_schema_.get(row) != schema ||
          k_name_.get(row) != name) {
        continue;
      }
      list.push_back({k_ordinal_.present() ? k_ordinal_.get(row) : 0, k_position_.get(row), row});
    }
    std::stable_sort(list.begin(), list.end(), [](const KeyColumn& a, const KeyColumn& b) {
      return a.ordinal < b.ordinal;
    });
    return list;
  }

  std::string_view key_column_name(const KeyColumn& k) const { return k_column_.get(k.row); }

  struct Usage {
    std::string_view catalog, schema, table, column;
  };

  /// For a foreign key: the referenced columns, one per key column in key order; nothing when
  /// the referenced key cannot be resolved from the snapshot.
  std::optional<std::vector<Usage>> foreign_usage(const Constraint& c,
                                                  const std::vector<KeyColumn>& keys) const {
    if (!refs_ok_ || !usage_has_tables_ || keys.empty()) return std::nullopt;
    for (int32_t row : index_.rows(kRsReferentialConstraints, c.name)) {
      if (r_catalog_.get(row) != c.catalog || r_schema_.get(row) != c.schema ||
          r_name_.get(row) != c.name) {
        continue;
      }
      const std::vector<KeyColumn> target = key_columns(
          r_unique_catalog_.get(row), r_unique_schema_.get(row), r_unique_name_.get(row));
      if (target.empty()) return std::nullopt;
      std::vector<Usage> usage;
      for (size_t i = 0; i < keys.size(); ++i) {
        // position_in_unique_constraint names the referenced column; without it, key order.
        const KeyColumn* ref = i < target.size() ? &target[i] : nullptr;
        if (keys[i].position_in_unique >= 0) {
          ref = nullptr;
          for (const KeyColumn& t : target) {
            if (t.ordinal == keys[i].position_in_unique) ref = &t;
          }
        }
        if (ref == nullptr) return std::nullopt;
        usage.push_back({k_table_catalog_.get(ref->row), k_table_schema_.get(ref->row),
                         k_table_.get(ref->row), k_column_.get(ref->row)});
      }
      return usage;
    }
    return std::nullopt;
  }

  XdbcCache& types() { return types_; }

 private:
  ColInfo column_info(int32_t row, std::string_view column_name, int64_t position) const {
    ColInfo info{};
    info.ordinal = c_ordinal_.present() ? c_ordinal_.get(row) : position;
    info.name = column_name;
    info.data_type = c_type_.get(row);
    const std::string_view nullable = c_nullable_.get(row);
    info.nullable = nullable.empty() || ascii_eq_ci(nullable, "YES");
    info.column_default = c_default_.get(row);
    info.has_default = !info.column_default.empty();
    info.character_maximum_length = c_char_max_.get(row);
    info.character_octet_length = c_char_octet_.get(row);
    info.numeric_precision = c_precision_.get(row);
    info.numeric_precision_radix = c_radix_.get(row);
    info.numeric_scale = c_scale_.get(row);
    info.is_identity = c_identity_.present() && ascii_eq_ci(c_identity_.get(row), "YES");
    if (c_generated_.present()) {
      const std::string_view generated = c_generated_.get(row);
      info.is_generated = !generated.empty() && !ascii_eq_ci(generated, "NEVER") &&
                          !ascii_eq_ci(generated, "NO");
    }
    info.description = c_description_.get(row);
    info.has_description = !info.description.empty();
    return info;
  }

  const CatalogIndex& index_;
  const char* column_pattern_;
  XdbcCache types_;
  bool columns_ok_ = false, constraints_ok_ = false, usage_ok_ = false, refs_ok_ = false;
  bool usage_has_tables_ = false;
  TextColumn c_catalog_, c_schema_, c_table_, c_name_, c_type_, c_nullable_, c_default_, c_identity_,
      c_generated_, c_description_;
  IntColumn c_ordinal_, c_char_max_, c_char_octet_, c_precision_, c_radix_, c_scale_;
  TextColumn t_catalog_, t_schema_, t_table_, t_name_, t_type_, t_cons_catalog_, t_cons_schema_;
  TextColumn k_catalog_, k_schema_, k_name_, k_column_, k_table_catalog_, k_table_schema_, k_table_;
  IntColumn k_ordinal_, k_position_;
  TextColumn r_catalog_, r_schema_, r_name_, r_unique_catalog_, r_unique_schema_, r_unique_name_;
};

arrow::Status append_constraints(const TreeBuilders& b, const Relations& rel,
                                 std::string_view catalog, std::string_view schema,
                                 std::string_view table) {
  NV_STEP("table_constraints_lb.Append", b.table_constraints->Append());
  for (const Relations::Constraint& c : rel.constraints(catalog, schema, table)) {
    NV_STEP("constraint_sb.Append", b.constraint->Append());
    NV_STEP("constraint_name.Append", b.constraint_name->Append(c.name));
    NV_STEP("constraint_type.Append", b.constraint_type->Append(c.type));
    NV_STEP("constraint_colnames_lb.Append", b.constraint_colnames->Append());
    const std::vector<Relations::KeyColumn> keys = rel.key_columns(c.catalog, c.schema, c.name);
    for (const Relations::KeyColumn& k : keys) {
      NV_STEP("constraint_column_name.Append",
              b.constraint_column_name->Append(rel.key_column_name(k)));
    }
    std::optional<std::vector<Relations::Usage>> usage;
    if (ascii_eq_ci(c.type, "FOREIGN KEY")) usage = rel.foreign_usage(c, keys);
    if (!usage) {
      NV_STEP("constraint_usage_lb.AppendNull", b.constraint_usage->AppendNull());
      continue;
    }
    NV_STEP("constraint_usage_lb.Append", b.constraint_usage->Append());
    for (const Relations::Usage& u : *usage) {
      NV_STEP("usage_sb.Append", b.usage->Append());
      NV_STEP("fk_catalog.Append", b.fk_catalog->Append(u.catalog));
      NV_STEP("fk_db_schema.Append", b.fk_db_schema->Append(u.schema));
      NV_STEP("fk_table.Append", b.fk_table->Append(u.table));
      NV_STEP("fk_column_name.Append", b.fk_column_name->Append(u.column));
    }
  }
  return arrow::Status::OK();
}

arrow::Status append_table(const TreeBuilders& b, Relations& rel, int depth,
                           std::string_view catalog, std::string_view schema,
                           const TableEntry& table) {
  NV_STEP("table_sb.Append", b.table->Append());
  NV_STEP("table_name.Append", b.table_name->Append(table.name));
  NV_STEP("table_type.Append", b.table_type->Append(table.type));
  if (depth != 0) {
    // At depth TABLES the levels below the table are null.
    NV_STEP("table_columns_lb.AppendNull", b.table_columns->AppendNull());
    NV_STEP("table_constraints_lb.AppendNull", b.table_constraints->AppendNull());
    return arrow::Status::OK();
  }
  NV_STEP("table_columns_lb.Append", b.table_columns->Append());
  for (const ColInfo& c : rel.columns(catalog, schema, table.name)) {
    ARROW_RETURN_NOT_OK(append_column(b, rel.types(), c, catalog, schema, table.name));
  }
  return append_constraints(b, rel, catalog, schema, table.name);
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

}  // namespace

arrow::Result<std::shared_ptr<arrow::RecordBatch>> objects_batch(const CatalogIndex* index,
                                                                 const ObjectsFilter& f) {
  auto schema = build_get_objects_schema();
  if (index == nullptr) return empty_result(schema);
  const Tree tree = group_objects(*index, f);
  if (tree.catalogs().empty()) return empty_result(schema);
  Relations rel(*index, f.column_name);

  std::unique_ptr<arrow::ArrayBuilder> root;
  arrow::Status made = arrow::MakeBuilder(arrow::default_memory_pool(),
                                          schema->field(1)->type(), &root);
  if (!made.ok()) return arrow::Status::Invalid("MakeBuilder(db_schemas) failed: ", made.message());
  const TreeBuilders b(root.get());
  arrow::StringBuilder catalog_names;

  for (const CatalogGroup& catalog : tree.catalogs()) {
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

}  // namespace norvale::adbc
