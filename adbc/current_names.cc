// The catalog and schema in which the service resolves unqualified names: read back as
// adbc.connection.catalog and adbc.connection.db_schema, and preferred by GetTableSchema when a
// table name without schema exists in several schemas.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "adbc/catalog_calls_internal.h"
#include "adbc/catalog_internal.h"
#include "adbc/option_value_internal.h"
#include "core/query_batch_internal.h"
#include "metadata/snapshot_cells_internal.h"
#include "norvale/nv_log.h"
#include "norvale/nv_query.h"

namespace norvale::adbc {
namespace {

// Every query of the service sees the same search path: each request runs on a session of
// its own, so no statement of this connection can change it.
constexpr const char* kCurrentSchemaSql = "SELECT current_schema()";

// What the service said about its current schema.
struct SchemaAnswer {
  std::optional<std::string> name;
  bool settled = false;  // a name, or a refusal of the question itself: worth keeping
};

// The first cell of the first row, when it is text.
std::optional<std::string> first_text_cell(NVQueryHandle* query) {
  std::optional<std::string> found;
  while (NVArrowBatch* batch = nv_next_batch(query, nullptr, 0)) {
    const std::shared_ptr<arrow::RecordBatch>& record = query_batch_record(batch);
    if (!found && record != nullptr && record->num_rows() > 0 && record->num_columns() > 0) {
      const TextColumn column(record.get(), record->schema()->field(0)->name());
      const std::string_view text = column.get(0);
      if (!text.empty()) found = std::string(text);
    }
    nv_batch_free(batch);
  }
  return found;
}

SchemaAnswer ask_current_schema(NVAdbcConnectionState* state) {
  char err[512] = "";
  // An operation of the connection's own: AdbcConnectionCancel stops the question too.
  const CancellableQuery query =
      run_metadata_query(state, begin_connection_operation(state), kCurrentSchemaSql, err,
                         sizeof err);
  if (!query) {
    nv_log_emit(NV_LOG_DEBUG, "meta_engine", "current schema unknown for now: %s", err);
    return {};
  }
  SchemaAnswer answer;
  answer.name = first_text_cell(query.get());
  const char* failure = nv_query_error(query.get());
  if (failure == nullptr) {
    answer.settled = true;
  } else {
    // A service that does not know the question (a syntax or feature error) will not know it
    // later either; a transport failure or a refused token says nothing about it.
    const char* sqlstate = nv_query_sqlstate(query.get());
    answer.name.reset();
    answer.settled = sqlstate != nullptr && (std::strncmp(sqlstate, "42", 2) == 0 ||
                                             std::strncmp(sqlstate, "0A", 2) == 0);
    nv_log_emit(NV_LOG_DEBUG, "meta_engine", "current schema unknown: %s", failure);
  }
  return answer;
}

}  // namespace

std::optional<std::string> current_catalog(NVAdbcConnectionState* state) {
  info_schema_refresh(state);
  const std::shared_ptr<arrow::RecordBatch> catalogs = info_schema_batch_get(state, kRsCatalogs);
  if (catalogs == nullptr) return std::nullopt;
  const TextColumn name(catalogs.get(), "catalog_name");
  std::optional<std::string> found;
  for (int64_t row = 0; row < catalogs->num_rows(); ++row) {
    const std::string_view text = name.get(row);
    if (text.empty() || (found && *found == text)) continue;
    if (found) return std::nullopt;  // several: none of them is the connection's own
    found = std::string(text);
  }
  return found;
}

std::optional<std::string> current_schema(NVAdbcConnectionState* state) {
  {
    std::lock_guard<std::mutex> lock(option_mutex());
    if (state->current_schema_asked != 0) {
      if (state->current_schema == nullptr) return std::nullopt;
      return std::string(state->current_schema);
    }
  }
  // Asked without the lock: the answer takes a round trip. Two first callers may both ask;
  // the first answer stored stays.
  const SchemaAnswer answer = ask_current_schema(state);
  if (!answer.settled) return std::nullopt;
  std::lock_guard<std::mutex> lock(option_mutex());
  if (state->current_schema_asked == 0) {
    state->current_schema = answer.name ? dup_cstr(answer.name->c_str()) : nullptr;
    state->current_schema_asked = 1;
  }
  if (state->current_schema == nullptr) return std::nullopt;
  return std::string(state->current_schema);
}

}  // namespace norvale::adbc
