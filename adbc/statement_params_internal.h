// SQL statements run on the statement's connection: once, or over the rows of the bound data
// with each row's values written into the statement as SQL literals.
#pragma once

#include <arrow/status.h>

#include <cstdint>

#include "adbc/cancel_registry_internal.h"
#include "adbc/state_internal.h"
#include "norvale/nv_query.h"
#include "norvale_adbc.h"

namespace norvale::adbc {

/// Offers `sql` to the connection's metadata engine: a finished local query when the engine
/// answered it, null when it goes to a compute node (an engine failure never reaches the host).
/// A cancel of `operation` stops a snapshot fetch the engine waits for; the statement then goes
/// nowhere (null).
NVQueryHandle* try_metadata_engine(NVAdbcStatementState* state, const char* sql,
                                   const CancelOperation& operation);

/// Runs `sql` once on the statement's connection (the metadata engine first, else a compute
/// node). With `out` the result becomes a stream that owns the query; without it the statement
/// runs to its end. rows_affected (may be null) receives the server's count or -1.
arrow::Status run_sql(NVAdbcStatementState* state, const char* sql, ArrowArrayStream* out,
                      int64_t* rows_affected);

/// Runs the statement's SQL over the rows of the bound data, which it takes and reads batch by
/// batch: an INSERT ... VALUES of one row without `out` as multi-row INSERTs, anything else
/// once per row. The rows affected are summed; with `out` one row's result is streamed as it
/// comes, several rows' results are concatenated when their schemas agree. A failure names the
/// bound rows it concerns and what was committed before it.
arrow::Status execute_with_parameters(NVAdbcStatementState* state, ArrowArrayStream* out,
                                      int64_t* rows_affected);

}  // namespace norvale::adbc
