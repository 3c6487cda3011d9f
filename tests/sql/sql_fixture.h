// A small hand-made information_schema fixture for the SQL behaviour tests.
#pragma once

#include <string>

#include <arrow/api.h>

#include "sql/metadata_engine_internal.h"

namespace nv_sql::testing {

/// Registers information_schema.tables, .columns, .schemata, .catalogs (one: db), the three
/// key relations (table_constraints, key_column_usage, referential_constraints) and an empty
/// .routines.
void register_fixture(MetadataEngine* engine);

/// One cell as text: NULL for nulls, Arrow's scalar text otherwise.
std::string cell_text(const arrow::Array& array, int64_t row);

}  // namespace nv_sql::testing
