// Bound INSERTs of many rows loaded as one ingest: the bound stream is read once, batch by
// batch, each batch renamed to the table's columns and pushed as it is read, so that nothing
// holds the whole of it. The service applies the load in one transaction: it stores every row
// or none.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adbc/bound_data_internal.h"
#include "adbc/bound_sql_internal.h"
#include "adbc/bulk_bind_internal.h"
#include "adbc/ingest_upload_internal.h"
#include "adbc/state_internal.h"
#include "adbc/statement_params_internal.h"
#include "adbc/status_internal.h"
#include "diag/sql_caller_internal.h"
#include "norvale/nv_log.h"

namespace norvale::adbc {
namespace {

constexpr const char* kCall = "AdbcStatementExecuteQuery";
constexpr const char* kNothingStored = "no bound row was stored";

// The service's own SQLSTATE: a load refused for its data reports 22xxx or 23xxx, as the same
// rows sent as SQL would.
const char* server_sqlstate(const char* sqlstate) {
  return sqlstate != nullptr && sqlstate[0] != '\0' ? sqlstate : "HY000";
}

// Loads the bound data, which hold at least one row, as one append of `targets`.
arrow::Result<int64_t> load(NVAdbcStatementState* state, const StatementOperation& operation,
                            const BulkInsertPlan& plan, const std::vector<std::string>& targets) {
  ARROW_ASSIGN_OR_RAISE(const std::shared_ptr<arrow::RecordBatchReader> reader,
                        take_bound_rows(state));
  ARROW_ASSIGN_OR_RAISE(auto empty, arrow::RecordBatch::MakeEmpty(reader->schema()));
  int failed_column = -1;
  ARROW_ASSIGN_OR_RAISE(auto schema,
                        bulk_payload(*empty, plan.bound_columns, targets, &failed_column));

  const std::string table = target_table_text(plan.table);
  NVIngestConfig config{};
  config.target_table = table.c_str();
  config.mode = NV_INGEST_MODE_APPEND;
  config.payload_format = NV_INGEST_FORMAT_ARROW_IPC;
  config.coerce = 1;
  ARROW_ASSIGN_OR_RAISE(std::unique_ptr<IngestUpload> upload,
                        IngestUpload::Begin(state->connection->connection, config,
                                            operation.shared(), server_sqlstate));
  const auto failed = [&](const arrow::Status& status) {
    return with_context(kBoundWhere + std::string("loading the bound rows as one ingest failed (") +
                            kNothingStored + "): ",
                        status);
  };
  if (arrow::Status st = upload->PushSchema(schema->schema()); !st.ok()) return failed(st);
  int64_t rows_before = 0;
  for (;;) {
    std::shared_ptr<arrow::RecordBatch> batch;
    if (const arrow::Status read = reader->ReadNext(&batch); !read.ok()) {
      return bound_read_failure(read, rows_before, kNothingStored);
    }
    if (batch == nullptr) break;
    auto payload = bulk_payload(*batch, plan.bound_columns, targets, &failed_column);
    if (!payload.ok()) {
      return bound_value_failure(payload.status(), *batch, failed_column, rows_before,
                                 kNothingStored);
    }
    if (arrow::Status st = upload->Push(*payload); !st.ok()) return failed(st);
    rows_before += batch->num_rows();
  }
  const arrow::Result<IngestCounts> counts = upload->Finish();
  if (!counts.ok()) return failed(counts.status());
  nv_log_emit(NV_LOG_DEBUG, "adbc", "bound INSERT of %lld rows loaded as one ingest into %s",
              static_cast<long long>(rows_before), table.c_str());
  return counts->inserted;
}

}  // namespace

arrow::Result<bool> try_bulk_insert(NVAdbcStatementState* state, int64_t* rows_affected) {
  const int64_t min_rows = state->bulk_bind_min_rows;
  if (min_rows <= 0 || state->sql == nullptr) return false;
  // Whatever the bulk path cannot read or bind, the SQL path reports in its own words.
  auto schema = state->bound->Schema();
  if (!schema.ok()) return false;
  auto bound = BoundSql::Make(state->sql, state->bind_by_name != 0, **schema);
  if (!bound.ok()) return false;
  const std::optional<BulkInsertPlan> plan =
      plan_bulk_insert(bound->sql(), bound->parameters(), bound->columns());
  if (!plan || state->bound->PeekRows(min_rows) < min_rows) return false;
  // The bound columns' types are refused before anything is asked or sent, as their literals
  // would be.
  ARROW_ASSIGN_OR_RAISE(auto empty, arrow::RecordBatch::MakeEmpty(*schema));
  std::vector<std::string> names;
  for (int c : plan->bound_columns) names.push_back((*schema)->field(c)->name());
  int failed_column = -1;
  if (auto checked = bulk_payload(*empty, plan->bound_columns, names, &failed_column);
      !checked.ok()) {
    return bound_value_failure(checked.status(), *empty, failed_column, 0, kNothingStored);
  }

  const StatementOperation operation(state);
  std::vector<std::string> targets;
  if (plan->target_columns) {
    targets = *plan->target_columns;
  } else {
    SqlCallerScope caller("AdbcStatementExecuteQuery(bulk load: table columns)");
    ARROW_ASSIGN_OR_RAISE(std::optional<std::vector<std::string>> columns,
                          table_columns(state->connection, operation.shared(), plan->table));
    // A table that is missing, or whose columns do not match the row, is the SQL's to report.
    if (!columns || columns->size() != plan->bound_columns.size()) return false;
    targets = *std::move(columns);
  }
  const arrow::Result<int64_t> inserted = load(state, operation, *plan, targets);
  // A failure while the operation was cancelled is the cancel's doing; the upload's own text
  // (a refused push, an aborted transfer) would hide that.
  if (!inserted.ok() && operation->cancelled()) return cancelled_by_client(kCall);
  ARROW_RETURN_NOT_OK(inserted.status());
  if (rows_affected != nullptr) *rows_affected = *inserted;
  return true;
}

}  // namespace norvale::adbc
