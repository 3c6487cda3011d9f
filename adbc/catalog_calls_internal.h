// What the ADBC catalog calls ask of the connection beyond its snapshot: the queries of the
// driver's own on its compute node, and the names in which the service resolves unqualified
// ones.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "adbc/cancellable_query_internal.h"
#include "adbc/state_internal.h"

namespace norvale::adbc {

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

/// `name` between double quotes, every double quote inside it doubled.
std::string quote_identifier(std::string_view name);

/// "SELECT * FROM [catalog.][db_schema.]table LIMIT 0" with quoted identifiers; a null or empty
/// catalog or db_schema is left out.
std::string limit_zero_sql(const char* catalog, const char* db_schema, const char* table_name);

}  // namespace norvale::adbc
