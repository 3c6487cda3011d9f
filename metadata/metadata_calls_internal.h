// Result schemas of the ADBC metadata calls and the pieces of GetTableSchema worth testing on
// their own.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <arrow/type_fwd.h>

namespace norvale::adbc {

/// The GetObjects result schema of ADBC 1.0.0 (catalog, db-schema, table, column, constraint
/// and usage levels), built afresh on each call.
std::shared_ptr<arrow::Schema> build_get_objects_schema();

/// The GetInfo result schema of ADBC 1.0.0: info_name uint32 and the info_value dense union.
std::shared_ptr<arrow::Schema> build_info_schema();

/// The GetTableTypes result schema: one non-null utf8 field, table_type.
std::shared_ptr<arrow::Schema> build_table_types_schema();

/// `name` between double quotes, every double quote inside it doubled.
std::string quote_identifier(std::string_view name);

/// "SELECT * FROM [catalog.][db_schema.]table LIMIT 0" with quoted identifiers; a null or empty
/// catalog or db_schema is left out.
std::string limit_zero_sql(const char* catalog, const char* db_schema, const char* table_name);

}  // namespace norvale::adbc
