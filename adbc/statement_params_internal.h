// SQL statements run on the statement's connection: once, or over the rows of the bound data
// with each row's values written into the statement as SQL literals.
#pragma once

#include <arrow/record_batch.h>
#include <arrow/status.h>

#include <cstdint>
#include <memory>
#include <string>

#include "adbc/bound_sql_internal.h"
#include "adbc/cancel_registry_internal.h"
#include "adbc/state_internal.h"
#include "norvale/nv_query.h"
#include "norvale_adbc.h"

namespace norvale::adbc {

/// Offers `sql` to the connection's metadata engine: a finished local query when the engine
/// answered it, null when it goes to a compute node (an engine failure never reaches the host).
/// A cancel of `operation` stops a snapshot fetch the engine waits for; the statement then goes
/// nowhere (null).
NVQueryHandle* try_metadata_engine(NVAdbcConnectionState* connection, const char* sql,
                                   const CancelOperation& operation);

/// Runs `sql` once on the statement's connection (the metadata engine first, else a compute
/// node). With `out` the result becomes a stream that owns the query; without it the statement
/// runs to its end. rows_affected (may be null) receives the server's count or -1.
arrow::Status run_sql(NVAdbcStatementState* state, const char* sql, ArrowArrayStream* out,
                      int64_t* rows_affected);

/// run_sql on a connection under `operation`, for work that outlives the call that began it
/// (a result stream that runs the queries of later bound rows as the host reads it).
arrow::Status run_sql_on(NVAdbcConnectionState* connection,
                         const std::shared_ptr<CancelOperation>& operation, const char* sql,
                         ArrowArrayStream* out, int64_t* rows_affected);

/// Runs the statement's SQL over the rows of the bound data for its effect, taking the data and
/// reading them batch by batch: an INSERT ... VALUES of one row as one ingest
/// (try_bulk_insert) or as multi-row INSERTs, anything else once per row. The rows affected are
/// summed. A failure names the bound rows it concerns and what was committed before it.
arrow::Status execute_with_parameters(NVAdbcStatementState* state, int64_t* rows_affected);

/// Runs the statement's SQL over the rows of the bound data for their results, one row's query
/// after another: the result stream runs each row's query as the host reads up to it, so that
/// only the query in progress is held. The first row's query runs now, and a failure there fails
/// the call. With one bound row the stream is that query's and `rows_affected` its count; with
/// more the count is unknown (-1), and a later row's failure ends the stream with its message.
arrow::Status query_with_parameters(NVAdbcStatementState* state, ArrowArrayStream* out,
                                    int64_t* rows_affected);

// What every way of running bound rows says about them.
inline constexpr const char* kBoundWhere = "AdbcStatementExecuteQuery: ";
/// "bound row 4" or "bound rows 1 to 5".
std::string bound_rows_text(int64_t first, int64_t last);
/// What a failure leaves behind when every statement before it ran on its own: "no bound row
/// was committed", "bound rows 1 to 5 were committed".
std::string committed_note(int64_t committed);
/// Takes the statement's bound data for one execution (BoundData::Take); a stream that cannot
/// be opened fails with 22023.
arrow::Result<std::shared_ptr<arrow::RecordBatchReader>> take_bound_rows(
    NVAdbcStatementState* state);
/// The failure of reading the bound data after `rows_before` rows (22023), followed by `note`.
arrow::Status bound_read_failure(const arrow::Status& read, int64_t rows_before,
                                 const std::string& note);
/// A bound value or column that has no form to send (`status` carries its SQLSTATE and row):
/// the message names the bound row (counted from `rows_before` + 1) and the parameter column,
/// then `note`.
arrow::Status bound_value_failure(const arrow::Status& status, const arrow::RecordBatch& batch,
                                  int column, int64_t rows_before, const std::string& note);
/// The literals of a bound batch; a failure as bound_value_failure reports it.
arrow::Result<BoundLiterals> bound_literals(const arrow::RecordBatch& batch, int64_t rows_before,
                                            const std::string& note);

}  // namespace norvale::adbc
