// SQL statements with bound parameters: each bound row's values written into the statement as
// SQL literals.
#pragma once

#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/status.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "adbc/state_internal.h"
#include "norvale_adbc.h"

namespace norvale::adbc {

/// Runs `sql` once on the statement's connection (the metadata engine first, else a compute
/// node). With `out` the result becomes a stream that owns the query; without it the statement
/// runs to its end. rows_affected (may be null) receives the server's count or -1.
AdbcStatusCode run_sql(NVAdbcStatementState* state, const char* sql, ArrowArrayStream* out,
                       int64_t* rows_affected, AdbcError* error);

/// Runs the statement's SQL over the rows of the bound data, which it consumes as a stream:
/// an INSERT ... VALUES of one row without `out` as multi-row INSERTs, anything else once per
/// row. The rows affected are summed; with `out` one row's result is streamed as it comes,
/// several rows' results are concatenated when their schemas agree. A failure names the bound
/// rows it concerns and what was committed before it.
AdbcStatusCode execute_with_parameters(NVAdbcStatementState* state, ArrowArrayStream* out,
                                       int64_t* rows_affected, AdbcError* error);

}  // namespace norvale::adbc
