// The published ADBC result schemas of GetObjects, GetInfo and GetTableTypes (as 1.0.0 defined
// them; 1.1.0 keeps them).
#include <arrow/type.h>

#include "metadata/catalog_answers_internal.h"

namespace norvale::adbc {

std::shared_ptr<arrow::Schema> build_get_objects_schema() {
  using arrow::field;
  auto usage = arrow::struct_({
      field("fk_catalog", arrow::utf8(), true),
      field("fk_db_schema", arrow::utf8(), true),
      field("fk_table", arrow::utf8(), false),
      field("fk_column_name", arrow::utf8(), false),
  });
  auto constraint = arrow::struct_({
      field("constraint_name", arrow::utf8(), true),
      field("constraint_type", arrow::utf8(), false),
      field("constraint_column_names", arrow::list(arrow::utf8()), false),
      field("constraint_column_usage", arrow::list(usage), true),
  });
  auto column = arrow::struct_({
      field("column_name", arrow::utf8(), false),
      field("ordinal_position", arrow::int32()),
      field("remarks", arrow::utf8()),
      field("xdbc_data_type", arrow::int16()),
      field("xdbc_type_name", arrow::utf8()),
      field("xdbc_column_size", arrow::int32()),
      field("xdbc_decimal_digits", arrow::int16()),
      field("xdbc_num_prec_radix", arrow::int16()),
      field("xdbc_nullable", arrow::int16()),
      field("xdbc_column_def", arrow::utf8()),
      field("xdbc_sql_data_type", arrow::int16()),
      field("xdbc_datetime_sub", arrow::int16()),
      field("xdbc_char_octet_length", arrow::int32()),
      field("xdbc_is_nullable", arrow::utf8()),
      field("xdbc_scope_catalog", arrow::utf8()),
      field("xdbc_scope_schema", arrow::utf8()),
      field("xdbc_scope_table", arrow::utf8()),
      field("xdbc_is_autoincrement", arrow::boolean()),
      field("xdbc_is_generatedcolumn", arrow::boolean()),
  });
  auto table = arrow::struct_({
      field("table_name", arrow::utf8(), false),
      field("table_type", arrow::utf8(), false),
      field("table_columns", arrow::list(column), true),
      field("table_constraints", arrow::list(constraint), true),
  });
  auto db_schema = arrow::struct_({
      field("db_schema_name", arrow::utf8(), true),
      field("db_schema_tables", arrow::list(table), true),
  });
  return arrow::schema({
      field("catalog_name", arrow::utf8(), true),
      field("catalog_db_schemas", arrow::list(db_schema), true),
  });
}

std::shared_ptr<arrow::Schema> build_info_schema() {
  using arrow::field;
  auto value = arrow::dense_union(
      {
          field("string_value", arrow::utf8()),
          field("bool_value", arrow::boolean()),
          field("int64_value", arrow::int64()),
          field("int32_bitmask", arrow::int32()),
          field("string_list", arrow::list(arrow::utf8())),
          field("int32_to_int32_list_map", arrow::map(arrow::int32(), arrow::list(arrow::int32()))),
      },
      {0, 1, 2, 3, 4, 5});
  return arrow::schema({
      field("info_name", arrow::uint32(), false),
      field("info_value", value, true),
  });
}

std::shared_ptr<arrow::Schema> build_table_types_schema() {
  return arrow::schema({arrow::field("table_type", arrow::utf8(), false)});
}

std::shared_ptr<arrow::Schema> build_statistic_names_schema() {
  return arrow::schema({arrow::field("statistic_name", arrow::utf8(), false),
                        arrow::field("statistic_key", arrow::int16(), false)});
}

}  // namespace norvale::adbc
