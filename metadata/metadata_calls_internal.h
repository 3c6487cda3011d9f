// Result schemas of the ADBC metadata calls and the pieces of GetTableSchema worth testing on
// their own.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <arrow/type_fwd.h>

#include "adbc/cancellable_query_internal.h"
#include "adbc/state_internal.h"
#include "norvale/nv_query.h"

namespace norvale::adbc {

/// The ADBC GetObjects result schema (catalog, db-schema, table, column, constraint and usage
/// levels), built afresh on each call.
std::shared_ptr<arrow::Schema> build_get_objects_schema();

/// The ADBC GetInfo result schema: info_name uint32 and the info_value dense union.
std::shared_ptr<arrow::Schema> build_info_schema();

/// The GetTableTypes result schema: one non-null utf8 field, table_type.
std::shared_ptr<arrow::Schema> build_table_types_schema();

/// The GetStatisticNames result schema: statistic_name utf8 and statistic_key int16, not null.
std::shared_ptr<arrow::Schema> build_statistic_names_schema();

/// Starts a query of the driver's own on the connection's compute node (the LIMIT 0 schema
/// probe, the current-schema question) under `operation`, so that a cancel reaches it; empty
/// with the message in `err`.
CancellableQuery run_metadata_query(NVAdbcConnectionState* state,
                                    const std::shared_ptr<CancelOperation>& operation,
                                    const std::string& sql, char* err, size_t err_size);

/// The catalog of the connection: the one catalog its snapshot lists; nothing when the
/// snapshot lists none or several.
std::optional<std::string> current_catalog(NVAdbcConnectionState* state);

/// The schema in which the service resolves unqualified names, asked of the compute node once
/// per connection; nothing when the service does not say.
std::optional<std::string> current_schema(NVAdbcConnectionState* state);

/// Whether table (or view) [catalog.][db_schema.]table exists, as the connection's catalog
/// tells when it is fresh: validated by the service within the last few seconds, including
/// every write this process made since (so the connection reads its own DDL), and not older
/// than a catalog sequence the process has seen. `parts` is the name's one to three parts, the
/// table last. False when no schema of that name in any catalog holds it; true when it is
/// found and the name leaves no choice (schema given, and a catalog given or only one listed);
/// nothing otherwise, and when the catalog is not fresh. Names compare ASCII
/// case-insensitively.
std::optional<bool> catalog_knows_table(NVAdbcConnectionState* state,
                                        const std::vector<std::string>& parts);

/// `name` between double quotes, every double quote inside it doubled.
std::string quote_identifier(std::string_view name);

/// "SELECT * FROM [catalog.][db_schema.]table LIMIT 0" with quoted identifiers; a null or empty
/// catalog or db_schema is left out.
std::string limit_zero_sql(const char* catalog, const char* db_schema, const char* table_name);

}  // namespace norvale::adbc
