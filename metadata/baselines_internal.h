// Names of the snapshot relations as the metadata engine knows them.
#pragma once

#include <cstddef>

#include "metadata/info_schema_internal.h"

namespace norvale::adbc {

/// Relation name of each snapshot result set, by index.
inline constexpr const char* kBaselineNames[kSnapshotResultSets] = {
    "information_schema.catalogs",
    "information_schema.schemata",
    "information_schema.tables",
    "information_schema.columns",
    "information_schema.views",
    "information_schema.key_column_usage",
    "information_schema.odbc_columns",
    "information_schema.table_constraints",
    "information_schema.referential_constraints",
};

/// Number of empty stub relations registered after the baselines.
size_t empty_stub_count();

}  // namespace norvale::adbc
