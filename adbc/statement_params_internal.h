// SQL statements with bound parameters: the statement's SQL runs once per bound row, with the
// row's values substituted as SQL literals.
#pragma once

#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/status.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "adbc/state_internal.h"
#include "norvale/nv_query.h"
#include "norvale_adbc.h"

namespace norvale::adbc {

/// Offers `sql` to the connection's metadata engine: a finished local query when the engine
/// answered it, null when it goes to a compute node (an engine failure never reaches the host).
NVQueryHandle* try_metadata_engine(NVAdbcStatementState* state, const char* sql);

/// Runs `sql` once on the statement's connection (the metadata engine first, else a compute
/// node). With `out` the result becomes a stream that owns the query; without it the statement
/// runs to its end. rows_affected (may be null) receives the server's count or -1.
AdbcStatusCode run_sql(NVAdbcStatementState* state, const char* sql, ArrowArrayStream* out,
                       int64_t* rows_affected, AdbcError* error);

/// Runs the statement's SQL once per row of the bound data, which it consumes. Without `out`
/// the rows affected are summed; with `out` one row's result is streamed as it comes, several
/// rows' results are concatenated when their schemas agree.
AdbcStatusCode execute_with_parameters(NVAdbcStatementState* state, ArrowArrayStream* out,
                                       int64_t* rows_affected, AdbcError* error);

/// `sql` with its ? placeholders replaced by the literals of row `row` of `batch`, column k
/// serving placeholder k. A failure carries its SQLSTATE (see sqlstate_of).
arrow::Result<std::string> substitute_row(std::string_view sql, const arrow::RecordBatch& batch,
                                          int64_t row);

/// The SQLSTATE that a substitute_row failure carries; "HY000" when it carries none.
std::string sqlstate_of(const arrow::Status& status);

}  // namespace norvale::adbc
