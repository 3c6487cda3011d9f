// The schemas a statement describes without running: ExecuteSchema's result schema and
// GetParameterSchema's parameters.
//
// ExecuteSchema: a statement the local metadata engine answers costs no request. A single query
// that only reads is sent as a probe that returns no rows; the probe is the query in parentheses
// with LIMIT 0, which keeps its column names exactly and cannot hold a second statement once the
// text is known to be one query. Anything else would have to run, and is not done.
#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>

#include <memory>
#include <optional>
#include <string>

#include "adbc/bound_data_internal.h"
#include "adbc/bound_sql_internal.h"
#include "adbc/cancel_registry_internal.h"
#include "adbc/entry_internal.h"
#include "adbc/parameter_markers_internal.h"
#include "adbc/result_stream_internal.h"
#include "adbc/statement_params_internal.h"
#include "diag/sql_caller_internal.h"
#include "sql/parser_bridge_internal.h"

namespace norvale::adbc {
namespace {

constexpr const char* kCall = "AdbcStatementExecuteSchema";

// The statement's SQL with the first bound row's values in place of its placeholders. The
// bound data stay as they were for the next execution.
arrow::Result<std::string> sql_with_parameters(NVAdbcStatementState* s) {
  auto batch = s->bound->PeekFirstRows();
  if (!batch.ok()) {
    return adbc_failure(ADBC_STATUS_INVALID_ARGUMENT, "22023",
                        std::string(kCall) + ": reading the bound parameters: " +
                            batch.status().ToString());
  }
  if (*batch == nullptr) {
    return adbc_failure(ADBC_STATUS_INVALID_ARGUMENT, "07002",
                        std::string(kCall) +
                            ": the bound parameters hold no row to run the query with");
  }
  auto sql = sql_with_first_row(s->sql, s->bind_by_name != 0, **batch);
  if (!sql.ok()) return with_context(std::string(kCall) + ": ", sql.status());
  return sql;
}

// "(\n<query>\n) LIMIT 0". The line breaks end a trailing line comment before the closing
// parenthesis.
std::string probe_sql(const std::string& query) { return "(\n" + query + "\n) LIMIT 0"; }

// The schema of a result stream that run_sql made, which is released here.
arrow::Status schema_of(ArrowArrayStream* stream, ArrowSchema* out) {
  const int rc = stream->get_schema(stream, out);
  arrow::Status status;
  if (rc != 0) {
    const char* message = stream->get_last_error(stream);
    status = transport_failure(
        (std::string(kCall) + ": " + (message != nullptr ? message : "no schema")).c_str());
  }
  stream->release(stream);
  return status;
}

arrow::Status execute_schema(AdbcStatement* statement, ArrowSchema* out) {
  SqlCallerScope caller(kCall);
  if (statement == nullptr || out == nullptr) {
    return invalid_argument(std::string(kCall) + ": null statement or schema");
  }
  auto* s = static_cast<NVAdbcStatementState*>(statement->private_data);
  if (s == nullptr) return invalid_state(std::string(kCall) + ": statement not allocated");
  if (s->sql == nullptr || s->sql[0] == '\0') {
    return invalid_state(std::string(kCall) + ": SetSqlQuery must be called first");
  }
  if (s->connection == nullptr || s->connection->connection == nullptr) {
    return invalid_state(std::string(kCall) + ": parent connection is not initialised");
  }
  std::string sql = s->sql;
  if (s->bound->bound()) {
    ARROW_ASSIGN_OR_RAISE(sql, sql_with_parameters(s));
  }

  ArrowArrayStream stream{};
  // Joined by run_sql below, so that a cancel reaches the probe as well as a snapshot fetch.
  const StatementOperation operation(s);
  if (NVQueryHandle* local = try_metadata_engine(s->connection, sql.c_str(), *operation)) {
    const arrow::Status started = stream_init(&stream, local, {});
    if (!started.ok()) {
      nv_query_close(local);
      return started;
    }
    return schema_of(&stream, out);
  }
  const std::optional<std::string> query = nv_sql::nv_sql_read_only_query(sql);
  if (!query) {
    return adbc_failure(ADBC_STATUS_NOT_IMPLEMENTED, "0A000",
                        std::string(kCall) +
                            ": only a single query that reads (SELECT, VALUES, WITH ... SELECT) "
                            "has a result schema known without running it");
  }
  // With a rows-affected output, a failure of the probe (a missing table, say) is reported as
  // an error of this call with the query's own SQLSTATE.
  int64_t rows = -1;
  ARROW_RETURN_NOT_OK(run_sql(s, probe_sql(*query).c_str(), &stream, &rows));
  return schema_of(&stream, out);
}

arrow::Status get_parameter_schema(AdbcStatement* statement, ArrowSchema* out) {
  constexpr const char* kGetCall = "AdbcStatementGetParameterSchema";
  if (statement == nullptr || out == nullptr) {
    return invalid_argument(std::string(kGetCall) + ": null statement or schema");
  }
  auto* s = static_cast<NVAdbcStatementState*>(statement->private_data);
  if (s == nullptr) return invalid_state(std::string(kGetCall) + ": statement not allocated");
  if (s->sql == nullptr) {
    return invalid_state(std::string(kGetCall) +
                         ": SetSqlQuery and Prepare must be called first");
  }
  // Bound data that do not tell their schema leave the parameters untyped.
  std::shared_ptr<arrow::Schema> bound;
  if (s->bound->bound()) bound = s->bound->Schema().ValueOr(nullptr);
  auto schema = parameter_schema(s->sql, s->bind_by_name != 0, bound.get());
  if (!schema.ok()) return with_context(std::string(kGetCall) + ": ", schema.status());
  const arrow::Status st = arrow::ExportSchema(**schema, out);
  if (!st.ok()) return internal_failure(std::string(kGetCall) + ": " + st.ToString());
  return arrow::Status::OK();
}

}  // namespace
}  // namespace norvale::adbc

extern "C" {

AdbcStatusCode nv_adbc_statement_execute_schema(AdbcStatement* statement, ArrowSchema* schema,
                                                AdbcError* error) {
  return norvale::adbc::call_entry(
      norvale::adbc::Entry{"AdbcStatementExecuteSchema", "AdbcStatementExecuteSchema(stmt=%p)"},
      error, [&] { return norvale::adbc::execute_schema(statement, schema); },
      static_cast<void*>(statement));
}

AdbcStatusCode nv_adbc_statement_get_parameter_schema(AdbcStatement* statement,
                                                      ArrowSchema* schema, AdbcError* error) {
  return norvale::adbc::call_entry(
      norvale::adbc::Entry{"AdbcStatementGetParameterSchema",
                           "AdbcStatementGetParameterSchema(stmt=%p)"},
      error, [&] { return norvale::adbc::get_parameter_schema(statement, schema); },
      static_cast<void*>(statement));
}

}  // extern "C"
