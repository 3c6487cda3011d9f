// The SQL behaviour tests' engine: the small catalog of tests/support/snapshot_relations.h
// registered with it.
#pragma once

#include <string>
#include <vector>

#include <arrow/api.h>

#include "sql/metadata_engine_internal.h"

namespace nv_sql::testing {

/// Registers the small catalog's information_schema.tables, .columns, .schemata, .catalogs
/// (one: db), the three key relations (table_constraints, key_column_usage,
/// referential_constraints) and an empty .routines. With `indexed`, every relation is one batch
/// with the catalog's name lookups (as a connection registers its snapshot); otherwise .columns
/// comes in two batches and none has lookups, so that every statement scans.
void register_fixture(MetadataEngine* engine, bool indexed = false);

/// The names of the relations register_fixture registers, without their schema.
const std::vector<std::string>& fixture_relations();

/// One cell as text: NULL for nulls, Arrow's scalar text otherwise.
std::string cell_text(const arrow::Array& array, int64_t row);

}  // namespace nv_sql::testing
