// AdbcConnectionGetTableSchema: answered from the snapshot's columns relation (found through the
// catalog index) when it describes the table with types known here; otherwise the schema of a
// LIMIT 0 query on the compute node.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <arrow/c/bridge.h>
#include <arrow/type.h>

#include "adbc/cancellable_query_internal.h"
#include "adbc/error_internal.h"
#include "core/query_batch_internal.h"
#include "diag/sql_caller_internal.h"
#include "metadata/catalog_index_internal.h"
#include "metadata/info_schema_internal.h"
#include "metadata/metadata_calls_internal.h"
#include "metadata/snapshot_cells_internal.h"
#include "metadata/type_text_internal.h"
#include "norvale/nv_log.h"
#include "norvale/nv_query.h"
#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

struct Row {
  int64_t ordinal;
  std::string_view name;
  std::shared_ptr<arrow::DataType> type;  // null: the type text is not known here
  bool nullable;
};

constexpr const char* kCall = "AdbcConnectionGetTableSchema";

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

// What the snapshot says about one table.
struct SnapshotAnswer {
  enum Kind { kNotDescribed, kFound, kAmbiguous } kind = kNotDescribed;
  std::string catalog, schema;  // of the table found
  std::vector<Row> rows;        // kFound: in ordinal order
  std::string candidates;       // kAmbiguous: "cat.schema, cat.schema"
  bool all_types_known() const {
    for (const Row& r : rows) {
      if (!r.type) return false;
    }
    return true;
  }
};

// The columns rows of the requested table, found through the index. Without a db_schema, a
// table name present in several schemas is ambiguous: its columns are never merged.
SnapshotAnswer snapshot_answer(const CatalogIndex* index, const char* catalog,
                               const char* db_schema, const char* table_name) {
  SnapshotAnswer answer;
  if (index == nullptr) return answer;
  const arrow::RecordBatch* columns = index->batches()[kRsColumns].get();
  if (columns == nullptr || columns->num_rows() == 0) return answer;
  for (const char* required : {"table_name", "column_name", "data_type"}) {
    if (snapshot_column_index(columns, required) < 0) return answer;
  }
  const TextColumn table_catalog(columns, "table_catalog");
  const TextColumn table_schema(columns, "table_schema");
  const TextColumn column_name(columns, "column_name");
  const TextColumn data_type(columns, "data_type");
  const IntColumn ordinal(columns, "ordinal_position");
  const TextColumn is_nullable(columns, "is_nullable");

  std::vector<std::pair<std::string_view, std::string_view>> owners;  // (catalog, schema)
  std::vector<int32_t> matched;
  for (int32_t row : index->rows(kRsColumns, table_name)) {
    const std::string_view cat = table_catalog.get(row);
    const std::string_view sch = table_schema.get(row);
    if (non_empty(db_schema) && !ascii_eq_ci(sch, db_schema)) continue;
    if (non_empty(catalog) && !ascii_eq_ci(cat, catalog)) continue;
    if (std::find(owners.begin(), owners.end(), std::make_pair(cat, sch)) == owners.end()) {
      owners.emplace_back(cat, sch);
    }
    matched.push_back(row);
  }
  if (owners.empty()) return answer;
  if (owners.size() > 1) {
    answer.kind = SnapshotAnswer::kAmbiguous;
    for (const auto& [cat, sch] : owners) {
      if (!answer.candidates.empty()) answer.candidates += ", ";
      answer.candidates.append(cat).append(".").append(sch);
    }
    return answer;
  }
  answer.kind = SnapshotAnswer::kFound;
  answer.catalog = std::string(owners[0].first);
  answer.schema = std::string(owners[0].second);
  for (int32_t row : matched) {
    const std::string_view nullable = is_nullable.get(row);
    answer.rows.push_back(
        {ordinal.present() ? ordinal.get(row) : static_cast<int64_t>(answer.rows.size()) + 1,
         column_name.get(row), arrow_type_from_text(data_type.get(row)),
         nullable.empty() || ascii_eq_ci(nullable, "YES")});
  }
  std::stable_sort(answer.rows.begin(), answer.rows.end(),
                   [](const Row& a, const Row& b) { return a.ordinal < b.ordinal; });
  return answer;
}

AdbcStatusCode export_schema(const arrow::Schema& schema, ArrowSchema* out, AdbcError* error) {
  arrow::Status st = arrow::ExportSchema(schema, out);
  if (!st.ok()) {
    char text[256];
    std::snprintf(text, sizeof(text), "arrow::ExportSchema failed: %s", st.message().c_str());
    set_error(error, text, "HY000");
    return ADBC_STATUS_INTERNAL;
  }
  return ADBC_STATUS_OK;
}

AdbcStatusCode schema_from_compute(NVAdbcConnectionState* state,
                                   const std::shared_ptr<CancelOperation>& operation,
                                   const char* catalog, const char* db_schema,
                                   const char* table_name, ArrowSchema* out, AdbcError* error) {
  const std::string sql = limit_zero_sql(catalog, db_schema, table_name);
  SqlCallerScope label("AdbcConnectionGetTableSchema(LIMIT 0 fallback)");
  char message[1024] = {0};
  const CancellableQuery query =
      run_metadata_query(state, operation, sql, message, sizeof(message));
  if (!query) {
    if (operation->cancelled()) return report_cancelled(error, kCall);
    set_error_from_nv(error, message);
    return ADBC_STATUS_IO;
  }
  NVArrowBatch* batch = nv_next_batch(query.get(), message, sizeof(message));
  if (batch != nullptr) {
    const std::shared_ptr<arrow::Schema> schema = norvale::query_batch_schema(batch);
    AdbcStatusCode status = ADBC_STATUS_OK;
    if (schema) {
      status = export_schema(*schema, out, error);
    } else {
      set_error(error, "AdbcConnectionGetTableSchema: engine returned a batch without a schema",
                "HY000");
      status = ADBC_STATUS_INTERNAL;
    }
    nv_batch_free(batch);
    return status;
  }
  const char* query_error = nv_query_error(query.get());
  if (query_error != nullptr && query_error[0] != '\0') {
    // A compute node that reports the table as missing answers the question GetTableSchema
    // asked: that is "not found", not a transport failure.
    const char* sqlstate = nv_query_sqlstate(query.get());
    const bool missing = (sqlstate != nullptr && std::strcmp(sqlstate, "42S02") == 0) ||
                         std::strcmp(sqlstate_from_message(query_error), "42S02") == 0;
    const AdbcStatusCode status = set_error_from_query(error, query.get());
    if (missing) {
      if (error != nullptr) std::memcpy(error->sqlstate, "42S02", 5);
      return ADBC_STATUS_NOT_FOUND;
    }
    return status == ADBC_STATUS_CANCELLED ? status : ADBC_STATUS_IO;
  }
  set_error_from_nv(error,
                    message[0] != '\0' ? message : "table not found or query produced no schema");
  return ADBC_STATUS_NOT_FOUND;
}

AdbcStatusCode get_table_schema(AdbcConnection* connection, const char* catalog,
                                const char* db_schema, const char* table_name, ArrowSchema* out,
                                AdbcError* error) {
  if (connection == nullptr || out == nullptr) {
    set_error(error, "AdbcConnectionGetTableSchema: null connection or output schema", "HY009");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  if (!non_empty(table_name)) {
    set_error(error, "AdbcConnectionGetTableSchema: table_name is required", "HY009");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  auto* state = static_cast<NVAdbcConnectionState*>(connection->private_data);
  if (state == nullptr || state->connection == nullptr) {
    set_error(error,
              "AdbcConnectionGetTableSchema: connection not initialised (call AdbcConnectionInit "
              "first)",
              "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  nv_log_emit(NV_LOG_INFO, "api",
              "AdbcConnectionGetTableSchema(conn=%p, catalog=\"%s\", db_schema=\"%s\", "
              "table_name=\"%s\")",
              static_cast<void*>(connection), or_empty(catalog), or_empty(db_schema), table_name);

  // The snapshot may have to be fetched first, and the compute node asked: both stop on
  // AdbcConnectionCancel.
  const auto operation = begin_connection_operation(state);
  info_schema_refresh(state, operation->cancelled_flag());
  if (operation->cancelled()) return report_cancelled(error, kCall);
  const auto index = info_schema_index_get(state);
  SnapshotAnswer answer = snapshot_answer(index.get(), catalog, db_schema, table_name);
  if (answer.kind == SnapshotAnswer::kAmbiguous) {
    // Unqualified, the name means the table in the schema the service resolves names in.
    if (const std::optional<std::string> schema = current_schema(state)) {
      SnapshotAnswer in_current =
          snapshot_answer(index.get(), catalog, schema->c_str(), table_name);
      const std::optional<std::string> own_catalog =
          in_current.kind == SnapshotAnswer::kAmbiguous && !non_empty(catalog)
              ? current_catalog(state)
              : std::nullopt;
      if (own_catalog) {
        in_current =
            snapshot_answer(index.get(), own_catalog->c_str(), schema->c_str(), table_name);
      }
      if (in_current.kind == SnapshotAnswer::kFound) answer = std::move(in_current);
    }
  }
  if (answer.kind == SnapshotAnswer::kAmbiguous) {
    set_error(error,
              std::string("AdbcConnectionGetTableSchema: table \"") + table_name +
                  "\" exists in several schemas (" + answer.candidates +
                  "); pass db_schema to choose one",
              "42000");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  if (answer.kind == SnapshotAnswer::kFound && answer.all_types_known()) {
    arrow::FieldVector fields;
    fields.reserve(answer.rows.size());
    for (const Row& row : answer.rows) {
      fields.push_back(arrow::field(std::string(row.name), row.type, row.nullable));
    }
    const AdbcStatusCode status = export_schema(arrow::Schema(std::move(fields)), out, error);
    if (status == ADBC_STATUS_OK) {
      nv_log_emit(NV_LOG_DEBUG, "meta_engine",
                  "GetTableSchema served from snapshot for \"%s\".\"%s\".\"%s\" (columns=%zu)",
                  or_empty(catalog), or_empty(db_schema), table_name, answer.rows.size());
    }
    return status;
  }
  if (answer.kind == SnapshotAnswer::kFound) {
    // A type text this driver does not know: the compute node's answer, for the table the
    // snapshot named, rather than a guess.
    nv_log_emit(NV_LOG_DEBUG, "meta_engine",
                "GetTableSchema routing to compute for \"%s\".\"%s\".\"%s\" (reason=unknown "
                "type text in snapshot)",
                answer.catalog.c_str(), answer.schema.c_str(), table_name);
    return schema_from_compute(state, operation, answer.catalog.c_str(),
                               answer.schema.c_str(), table_name, out, error);
  }
  nv_log_emit(NV_LOG_DEBUG, "meta_engine",
              "GetTableSchema routing to compute for \"%s\".\"%s\".\"%s\" (reason=snapshot did "
              "not carry columns for this table)",
              or_empty(catalog), or_empty(db_schema), table_name);
  return schema_from_compute(state, operation, catalog, db_schema, table_name, out, error);
}

}  // namespace

CancellableQuery run_metadata_query(NVAdbcConnectionState* state,
                                    const std::shared_ptr<CancelOperation>& operation,
                                    const std::string& sql, char* err, size_t err_size) {
  return execute_cancellable(operation, state->connection, sql.c_str(), 0, err, err_size);
}

std::string quote_identifier(std::string_view name) {
  std::string quoted;
  quoted.reserve(name.size() + 2);
  quoted.push_back('"');
  for (char c : name) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

std::string limit_zero_sql(const char* catalog, const char* db_schema, const char* table_name) {
  std::string sql = "SELECT * FROM ";
  if (non_empty(catalog)) sql += quote_identifier(catalog) + ".";
  if (non_empty(db_schema)) sql += quote_identifier(db_schema) + ".";
  sql += quote_identifier(or_empty(table_name));
  sql += " LIMIT 0";
  return sql;
}

}  // namespace norvale::adbc

extern "C" AdbcStatusCode nv_adbc_connection_get_table_schema(AdbcConnection* connection,
                                                              const char* catalog,
                                                              const char* db_schema,
                                                              const char* table_name,
                                                              ArrowSchema* schema,
                                                              AdbcError* error) {
  try {
    return norvale::adbc::get_table_schema(connection, catalog, db_schema, table_name, schema,
                                           error);
  } catch (const std::exception& e) {
    norvale::adbc::set_error(error,
                             std::string("AdbcConnectionGetTableSchema: internal error: ") +
                                 e.what(),
                             "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}
