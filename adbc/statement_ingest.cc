// Statement options of bulk ingest, and Bind / BindStream, which hand the host's Arrow data
// over to the statement.
#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "adbc/error_internal.h"
#include "adbc/statement_ingest_internal.h"
#include "norvale/nv_log.h"

namespace norvale::adbc {
namespace {

NVAdbcStatementState* state_of(AdbcStatement* statement) {
  return statement == nullptr ? nullptr
                              : static_cast<NVAdbcStatementState*>(statement->private_data);
}

void log_call(const char* fmt, const void* statement) {
  if (nv_log_level() >= NV_LOG_INFO) nv_log_emit(NV_LOG_INFO, "api", fmt, statement);
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

void free_key_columns(NVAdbcStatementState* s) {
  if (s->key_columns != nullptr) {
    for (int32_t i = 0; i < s->key_column_count; ++i) std::free(s->key_columns[i]);
    std::free(s->key_columns);
  }
  s->key_columns = nullptr;
  s->key_column_count = 0;
}

AdbcStatusCode set_key_columns(NVAdbcStatementState* s, const char* value, AdbcError* error) {
  const std::vector<std::string> pieces =
      value == nullptr ? std::vector<std::string>{} : split_key_columns(value);
  char** list = nullptr;
  if (!pieces.empty()) {
    list = static_cast<char**>(std::calloc(pieces.size(), sizeof(char*)));
    for (size_t i = 0; list != nullptr && i < pieces.size(); ++i) {
      list[i] = dup_cstr(pieces[i].c_str());
      if (list[i] == nullptr) {
        for (size_t j = 0; j < i; ++j) std::free(list[j]);
        std::free(list);
        list = nullptr;
      }
    }
    if (list == nullptr) {
      set_error(error, "AdbcStatementSetOption: out of memory", "HY001");
      return ADBC_STATUS_INTERNAL;
    }
  }
  free_key_columns(s);
  s->key_columns = list;
  s->key_column_count = static_cast<int32_t>(pieces.size());
  return ADBC_STATUS_OK;
}

// The word of an adbc.ingest.mode value: the text after its last '.', or the whole text when it
// has no '.' or only a leading one.
std::string_view adbc_mode_word(std::string_view value) {
  const size_t dot = value.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return value;
  return value.substr(dot + 1);
}

AdbcStatusCode invalid(AdbcError* error, const char* message, const char* sqlstate,
                       AdbcStatusCode status) {
  set_error(error, message, sqlstate);
  return status;
}

AdbcStatusCode set_option(NVAdbcStatementState* s, const char* key, const char* value,
                          AdbcError* error) {
  if (key_is(key, "adbc.ingest.target_table")) {
    replace_cstr(&s->target_table, value);
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "adbc.ingest.mode")) {
    if (value == nullptr) {
      return invalid(error, "adbc.ingest.mode requires a value", "22023",
                     ADBC_STATUS_INVALID_ARGUMENT);
    }
    const std::string_view word = adbc_mode_word(value);
    struct TableMode {
      std::string_view word;
      NVAdbcTableMode mode;
      int32_t service_mode;  // as nv.ingest.mode numbers it
    };
    static constexpr TableMode kTableModes[] = {{"create", kTableCreate, 0},
                                                {"append", kTableAppend, 0},
                                                {"replace", kTableReplace, 2},
                                                {"create_append", kTableCreateAppend, 0}};
    for (const TableMode& m : kTableModes) {
      if (word == m.word) {
        s->table_mode = m.mode;
        s->ingest_mode = m.service_mode;
        return ADBC_STATUS_OK;
      }
    }
    return invalid(error,
                   "adbc.ingest.mode: unsupported value (use append/create/create_append/"
                   "replace; for upsert/land use nv.ingest.mode)",
                   "22023", ADBC_STATUS_INVALID_ARGUMENT);
  }
  if (key_is(key, "adbc.ingest.target_db_schema")) {
    replace_cstr(&s->target_db_schema, value);
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "adbc.ingest.target_catalog")) {
    replace_cstr(&s->target_catalog, value);
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "adbc.statement.bind_by_name")) {
    bool by_name = false;
    if (value == nullptr || !parse_bool_option(value, &by_name)) {
      return invalid(error, "adbc.statement.bind_by_name: use true or false", "HY009",
                     ADBC_STATUS_INVALID_ARGUMENT);
    }
    s->bind_by_name = by_name ? 1 : 0;
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "adbc.ingest.temporary")) {
    if (value != nullptr && (std::strcmp(value, "true") == 0 || std::strcmp(value, "1") == 0)) {
      return invalid(error, "adbc.ingest.temporary=true is not implemented in Norvale v1", "HYC00",
                     ADBC_STATUS_NOT_IMPLEMENTED);
    }
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "nv.ingest.mode")) {
    if (value == nullptr) {
      return invalid(error, "nv.ingest.mode requires a value", "22023",
                     ADBC_STATUS_INVALID_ARGUMENT);
    }
    static constexpr const char* kModes[] = {"append", "upsert", "overwrite", "land"};
    for (int32_t i = 0; i < 4; ++i) {
      if (std::strcmp(value, kModes[i]) == 0) {
        s->table_mode = kTableDriverMode;
        s->ingest_mode = i;
        return ADBC_STATUS_OK;
      }
    }
    return invalid(error, "nv.ingest.mode: unknown value (use append/upsert/overwrite/land)",
                   "22023", ADBC_STATUS_INVALID_ARGUMENT);
  }
  if (key_is(key, "nv.ingest.payload_format")) {
    if (value == nullptr) {
      return invalid(error, "nv.ingest.payload_format requires a value", "22023",
                     ADBC_STATUS_INVALID_ARGUMENT);
    }
    if (std::strcmp(value, "arrow_ipc") == 0) {
      s->payload_format = 0;
    } else if (std::strcmp(value, "parquet") == 0) {
      s->payload_format = 1;
    } else {
      return invalid(error, "nv.ingest.payload_format: use arrow_ipc or parquet", "22023",
                     ADBC_STATUS_INVALID_ARGUMENT);
    }
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "nv.ingest.target_location")) {
    replace_cstr(&s->target_location, value);
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "nv.ingest.idempotency_key")) {
    replace_cstr(&s->idempotency_key, value);
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "nv.ingest.key_columns")) return set_key_columns(s, value, error);
  if (key_is(key, "nv.ingest.coerce")) {
    const bool off =
        value != nullptr && (std::strcmp(value, "false") == 0 || std::strcmp(value, "0") == 0);
    s->coerce = off ? 0 : 1;
    return ADBC_STATUS_OK;
  }
  return invalid(error, "AdbcStatementSetOption: unknown key", "HYC00",
                 ADBC_STATUS_NOT_IMPLEMENTED);
}

void release_bound_stream(NVAdbcStatementState* s) {
  if (s->bound_stream == nullptr) return;
  if (s->bound_stream->release != nullptr) s->bound_stream->release(s->bound_stream);
  std::free(s->bound_stream);
  s->bound_stream = nullptr;
}

}  // namespace

arrow::Result<std::shared_ptr<arrow::RecordBatchReader>> take_bound_stream(
    NVAdbcStatementState* state) {
  auto reader = arrow::ImportRecordBatchReader(state->bound_stream);
  release_bound_stream(state);
  return reader;
}

std::vector<std::string> split_key_columns(std::string_view text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view piece = text.substr(start, comma - start);
    while (!piece.empty() && is_blank(piece.front())) piece.remove_prefix(1);
    while (!piece.empty() && is_blank(piece.back())) piece.remove_suffix(1);
    if (!piece.empty()) out.emplace_back(piece);
    start = comma + 1;
  }
  return out;
}

}  // namespace norvale::adbc

using norvale::adbc::set_error;

extern "C" {

AdbcStatusCode nv_adbc_statement_set_option(AdbcStatement* statement, const char* key,
                                            const char* value, AdbcError* error) {
  try {
    if (nv_log_level() >= NV_LOG_INFO) {
      nv_log_emit(NV_LOG_INFO, "api", "AdbcStatementSetOption(stmt=%p, key=%s)",
                  static_cast<void*>(statement), key != nullptr ? key : "(null)");
    }
    NVAdbcStatementState* s = norvale::adbc::state_of(statement);
    if (s == nullptr) {
      set_error(error, "AdbcStatementSetOption: statement not allocated", "HY010");
      return ADBC_STATUS_INVALID_STATE;
    }
    if (key == nullptr) {
      set_error(error, "AdbcStatementSetOption: null key", "HY009");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    return norvale::adbc::set_option(s, key, value, error);
  } catch (...) {
    set_error(error, "AdbcStatementSetOption: internal error", "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}

AdbcStatusCode nv_adbc_statement_bind_stream(AdbcStatement* statement, ArrowArrayStream* stream,
                                             AdbcError* error) {
  try {
    norvale::adbc::log_call("AdbcStatementBindStream(stmt=%p)", statement);
    NVAdbcStatementState* s = norvale::adbc::state_of(statement);
    if (s == nullptr) {
      set_error(error, "AdbcStatementBindStream: statement not allocated", "HY010");
      return ADBC_STATUS_INVALID_STATE;
    }
    // get_last_error is required too: reading a failing stream calls it for the message.
    if (stream == nullptr || stream->get_schema == nullptr || stream->get_next == nullptr ||
        stream->get_last_error == nullptr || stream->release == nullptr) {
      set_error(error, "AdbcStatementBindStream: stream is null or missing required callbacks",
                "HY009");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    norvale::adbc::release_bound_stream(s);
    auto* holder = static_cast<ArrowArrayStream*>(std::calloc(1, sizeof(ArrowArrayStream)));
    if (holder == nullptr) {
      set_error(error, "AdbcStatementBindStream: out of memory", "HY001");
      return ADBC_STATUS_INTERNAL;
    }
    *holder = *stream;
    std::memset(stream, 0, sizeof *stream);  // ownership passes to the statement
    s->bound_stream = holder;
    return ADBC_STATUS_OK;
  } catch (...) {
    set_error(error, "AdbcStatementBindStream: internal error", "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}

AdbcStatusCode nv_adbc_statement_bind(AdbcStatement* statement, ArrowArray* values,
                                      ArrowSchema* schema, AdbcError* error) {
  try {
    norvale::adbc::log_call("AdbcStatementBind(stmt=%p)", statement);
    if (statement == nullptr || values == nullptr || schema == nullptr) {
      set_error(error, "AdbcStatementBind: null argument", "HY009");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    // Import consumes the host's structures, also when it fails.
    auto batch = arrow::ImportRecordBatch(values, schema);
    if (!batch.ok()) {
      set_error(error, "AdbcStatementBind: ImportRecordBatch failed: " + batch.status().ToString(),
                "22023");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    auto reader = arrow::RecordBatchReader::Make({*batch}, (*batch)->schema());
    if (!reader.ok()) {
      set_error(error,
                "AdbcStatementBind: RecordBatchReader::Make failed: " + reader.status().ToString(),
                "HY000");
      return ADBC_STATUS_INTERNAL;
    }
    ArrowArrayStream stream{};
    arrow::Status st = arrow::ExportRecordBatchReader(*reader, &stream);
    if (!st.ok()) {
      set_error(error, "AdbcStatementBind: ExportRecordBatchReader failed: " + st.ToString(),
                "HY000");
      return ADBC_STATUS_INTERNAL;
    }
    const AdbcStatusCode rc = nv_adbc_statement_bind_stream(statement, &stream, error);
    if (stream.release != nullptr) stream.release(&stream);  // not taken over by the statement
    return rc;
  } catch (...) {
    set_error(error, "AdbcStatementBind: internal error", "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}

}  // extern "C"
