// A statement's lifetime and what it holds: New and Release, its options (the ingest target and
// settings, named binding), its SQL text (SetSqlQuery, Prepare) and its bound data (Bind,
// BindStream). Each of these calls decides what the statement is (NVAdbcStatementKind).
#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "adbc/bound_data_internal.h"
#include "adbc/bulk_bind_internal.h"
#include "adbc/cancel_registry_internal.h"
#include "adbc/entry_internal.h"
#include "adbc/option_value_internal.h"
#include "adbc/statement_ingest_internal.h"

namespace norvale::adbc {
namespace {

NVAdbcStatementState* state_of(AdbcStatement* statement) {
  return statement == nullptr ? nullptr
                              : static_cast<NVAdbcStatementState*>(statement->private_data);
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

void free_statement_state(NVAdbcStatementState* s) {
  for (char* text : {s->sql, s->target_table, s->target_location, s->idempotency_key,
                     s->target_db_schema, s->target_catalog}) {
    std::free(text);
  }
  free_key_columns(s);
  delete s->bound;  // releases the bound stream
  std::free(s);
}

// The kind that the ingest target leaves: an ingest while a target is set; otherwise what the
// SQL text makes it.
void follow_target(NVAdbcStatementState* s) {
  if (s->target_table != nullptr || s->target_location != nullptr) {
    s->kind = kStatementIngest;
  } else if (s->kind == kStatementIngest) {
    s->kind = s->sql != nullptr ? kStatementQuery : kStatementEmpty;
  }
}

arrow::Status set_key_columns(NVAdbcStatementState* s, const char* value) {
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
    if (list == nullptr) return out_of_memory("AdbcStatementSetOption: out of memory");
  }
  free_key_columns(s);
  s->key_columns = list;
  s->key_column_count = static_cast<int32_t>(pieces.size());
  return arrow::Status::OK();
}

// The word of an adbc.ingest.mode value: the text after its last '.', or the whole text when it
// has no '.' or only a leading one.
std::string_view adbc_mode_word(std::string_view value) {
  const size_t dot = value.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return value;
  return value.substr(dot + 1);
}

arrow::Status invalid_ingest_value(std::string message) {
  return adbc_failure(ADBC_STATUS_INVALID_ARGUMENT, "22023", std::move(message));
}

// The service ingest modes as nv.ingest.mode names them, by number.
constexpr const char* kServiceModes[] = {"append", "upsert", "overwrite", "land"};

arrow::Status set_option(NVAdbcStatementState* s, const char* key, const char* value) {
  if (key_is(key, "adbc.ingest.target_table")) {
    replace_cstr(&s->target_table, value);
    follow_target(s);
    return arrow::Status::OK();
  }
  if (key_is(key, "adbc.ingest.mode")) {
    if (value == nullptr) return invalid_ingest_value("adbc.ingest.mode requires a value");
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
        return arrow::Status::OK();
      }
    }
    return invalid_ingest_value(
        "adbc.ingest.mode: unsupported value (use append/create/create_append/replace; for "
        "upsert/land use nv.ingest.mode)");
  }
  if (key_is(key, "adbc.ingest.target_db_schema")) {
    replace_cstr(&s->target_db_schema, value);
    return arrow::Status::OK();
  }
  if (key_is(key, "adbc.ingest.target_catalog")) {
    replace_cstr(&s->target_catalog, value);
    return arrow::Status::OK();
  }
  if (key_is(key, "adbc.statement.bind_by_name")) {
    bool by_name = false;
    if (value == nullptr || !parse_bool_option(value, &by_name)) {
      return invalid_argument("adbc.statement.bind_by_name: use true or false");
    }
    s->bind_by_name = by_name ? 1 : 0;
    return arrow::Status::OK();
  }
  if (key_is(key, kBulkBindMinRowsKey)) {
    int64_t rows = 0;
    if (!parse_count_option(value, INT64_MAX, &rows)) {
      return invalid_argument(std::string(kBulkBindMinRowsKey) +
                              ": use a number of rows (0 never loads bound rows as one ingest)");
    }
    s->bulk_bind_min_rows = rows;
    return arrow::Status::OK();
  }
  if (key_is(key, "adbc.ingest.temporary")) {
    // Any spelling of true asks for what the service cannot do; accepting it would write a
    // permanent table instead.
    bool temporary = false;
    if (value != nullptr && parse_bool_option(value, &temporary) && temporary) {
      return unsupported_option("adbc.ingest.temporary=true is not implemented in Norvale v1");
    }
    return arrow::Status::OK();
  }
  if (key_is(key, "nv.ingest.mode")) {
    if (value == nullptr) return invalid_ingest_value("nv.ingest.mode requires a value");
    for (int32_t i = 0; i < 4; ++i) {
      if (std::strcmp(value, kServiceModes[i]) == 0) {
        s->table_mode = kTableDriverMode;
        s->ingest_mode = i;
        return arrow::Status::OK();
      }
    }
    return invalid_ingest_value("nv.ingest.mode: unknown value (use append/upsert/overwrite/land)");
  }
  if (key_is(key, "nv.ingest.payload_format")) {
    if (value == nullptr) return invalid_ingest_value("nv.ingest.payload_format requires a value");
    if (std::strcmp(value, "arrow_ipc") == 0) {
      s->payload_format = 0;
    } else if (std::strcmp(value, "parquet") == 0) {
      s->payload_format = 1;
    } else {
      return invalid_ingest_value("nv.ingest.payload_format: use arrow_ipc or parquet");
    }
    return arrow::Status::OK();
  }
  if (key_is(key, "nv.ingest.target_location")) {
    replace_cstr(&s->target_location, value);
    follow_target(s);
    return arrow::Status::OK();
  }
  if (key_is(key, "nv.ingest.idempotency_key")) {
    replace_cstr(&s->idempotency_key, value);
    return arrow::Status::OK();
  }
  if (key_is(key, "nv.ingest.key_columns")) return set_key_columns(s, value);
  if (key_is(key, "nv.ingest.coerce")) {
    const bool off =
        value != nullptr && (std::strcmp(value, "false") == 0 || std::strcmp(value, "0") == 0);
    s->coerce = off ? 0 : 1;
    return arrow::Status::OK();
  }
  return unsupported_option("AdbcStatementSetOption: unknown key");
}

std::string joined_key_columns(const NVAdbcStatementState& s) {
  std::string text;
  for (int32_t i = 0; i < s.key_column_count; ++i) {
    if (i > 0) text += ',';
    text += s.key_columns[i];
  }
  return text;
}

// What GetOption reads back, one row per key: every option SetOption accepts, and the standard
// keys whose value is fixed here. A row's reader runs under option_mutex().
using State = NVAdbcStatementState;

template <char* State::*field>
OptionValue text_of(const State& s) {
  return OptionValue::Text(s.*field);
}

struct ReadableOption {
  const char* key;
  OptionValue (*read)(const State& s);
};
constexpr ReadableOption kReadableOptions[] = {
    {"adbc.ingest.target_table", text_of<&State::target_table>},
    {"adbc.ingest.target_db_schema", text_of<&State::target_db_schema>},
    {"adbc.ingest.target_catalog", text_of<&State::target_catalog>},
    {"adbc.ingest.mode",
     [](const State& s) {
       switch (s.table_mode) {
         case kTableCreate: return OptionValue::Text("adbc.ingest.mode.create");
         case kTableAppend: return OptionValue::Text("adbc.ingest.mode.append");
         case kTableReplace: return OptionValue::Text("adbc.ingest.mode.replace");
         case kTableCreateAppend: return OptionValue::Text("adbc.ingest.mode.create_append");
         default: return OptionValue::Absent();  // nv.ingest.mode chose the mode
       }
     }},
    {"adbc.ingest.temporary", [](const State&) { return OptionValue::Bool(false); }},
    {"adbc.statement.exec.incremental", [](const State&) { return OptionValue::Bool(false); }},
    {"adbc.statement.bind_by_name",
     [](const State& s) { return OptionValue::Bool(s.bind_by_name != 0); }},
    {kBulkBindMinRowsKey, [](const State& s) { return OptionValue::Int(s.bulk_bind_min_rows); }},
    {"nv.ingest.mode",
     [](const State& s) {
       const bool own = s.table_mode == kTableDriverMode && s.ingest_mode >= 0 &&
                        s.ingest_mode < 4;
       return own ? OptionValue::Text(kServiceModes[s.ingest_mode]) : OptionValue::Absent();
     }},
    {"nv.ingest.payload_format",
     [](const State& s) {
       return OptionValue::Text(s.payload_format == 1 ? "parquet" : "arrow_ipc");
     }},
    {"nv.ingest.target_location", text_of<&State::target_location>},
    {"nv.ingest.idempotency_key", text_of<&State::idempotency_key>},
    {"nv.ingest.key_columns",
     [](const State& s) {
       return s.key_column_count > 0 ? OptionValue::Text(joined_key_columns(s))
                                     : OptionValue::Absent();
     }},
    {"nv.ingest.coerce", [](const State& s) { return OptionValue::Bool(s.coerce != 0); }},
};

arrow::Result<OptionValue> lookup_option(AdbcStatement* statement, const char* key) {
  const NVAdbcStatementState* s = state_of(statement);
  if (s == nullptr) return invalid_state("AdbcStatementGetOption: statement not allocated");
  for (const ReadableOption& option : kReadableOptions) {
    if (!key_is(key, option.key)) continue;
    std::lock_guard<std::mutex> lock(option_mutex());
    return option.read(*s);
  }
  return OptionValue::Absent();
}

arrow::Status new_statement(AdbcConnection* connection, AdbcStatement* statement) {
  if (connection == nullptr || statement == nullptr) {
    return invalid_argument("AdbcStatementNew: null connection or statement");
  }
  if (statement->private_data != nullptr) {
    return invalid_state("AdbcStatementNew called twice without Release");
  }
  auto* parent = static_cast<NVAdbcConnectionState*>(connection->private_data);
  if (parent == nullptr) return invalid_state("AdbcStatementNew: parent connection not allocated");
  if (parent->connection == nullptr) {
    return invalid_state(
        "AdbcStatementNew: parent connection not initialised (call AdbcConnectionInit first)");
  }
  auto* state = static_cast<NVAdbcStatementState*>(std::calloc(1, sizeof(NVAdbcStatementState)));
  if (state != nullptr) {
    state->bound = new (std::nothrow) BoundData;
    if (state->bound == nullptr) {
      std::free(state);
      state = nullptr;
    }
  }
  if (state == nullptr) return out_of_memory("AdbcStatementNew: out of memory");
  state->connection = parent;
  state->kind = kStatementEmpty;
  state->ingest_mode = 0;
  state->payload_format = 0;
  state->coerce = 1;
  state->bulk_bind_min_rows = kBulkBindMinRowsDefault;
  state->cancel_owner = next_cancel_owner();
  statement->private_data = state;
  return arrow::Status::OK();
}

arrow::Status release_statement(AdbcStatement* statement) {
  NVAdbcStatementState* s = state_of(statement);
  if (s == nullptr) return arrow::Status::OK();
  free_statement_state(s);
  statement->private_data = nullptr;
  return arrow::Status::OK();
}

arrow::Status set_statement_option(AdbcStatement* statement, const char* key,
                                   const char* value) {
  // The value is never logged.
  log_api("AdbcStatementSetOption(stmt=%p, key=%s)", static_cast<void*>(statement),
          key != nullptr ? key : "(null)");
  NVAdbcStatementState* s = state_of(statement);
  if (s == nullptr) return invalid_state("AdbcStatementSetOption: statement not allocated");
  if (key == nullptr) return invalid_argument("AdbcStatementSetOption: null key");
  std::lock_guard<std::mutex> lock(option_mutex());
  return set_option(s, key, value);
}

constexpr OptionAccess<AdbcStatement> kAccess{"AdbcStatement", set_statement_option,
                                              lookup_option};

arrow::Status set_sql_query(AdbcStatement* statement, const char* query) {
  if (statement == nullptr || query == nullptr) {
    return invalid_argument("AdbcStatementSetSqlQuery: null statement or query");
  }
  NVAdbcStatementState* s = state_of(statement);
  if (s == nullptr) return invalid_state("AdbcStatementSetSqlQuery: statement not allocated");
  char* copy = dup_cstr(query);
  if (copy == nullptr) return out_of_memory("AdbcStatementSetSqlQuery: out of memory");
  std::lock_guard<std::mutex> lock(option_mutex());
  std::free(s->sql);
  s->sql = copy;
  // The statement is a query now: an ingest target set earlier no longer applies.
  replace_cstr(&s->target_table, nullptr);
  replace_cstr(&s->target_location, nullptr);
  replace_cstr(&s->target_db_schema, nullptr);
  replace_cstr(&s->target_catalog, nullptr);
  s->kind = kStatementQuery;
  return arrow::Status::OK();
}

arrow::Status prepare(AdbcStatement* statement) {
  if (statement == nullptr) return invalid_argument("AdbcStatementPrepare: null statement");
  NVAdbcStatementState* s = state_of(statement);
  if (s == nullptr) return invalid_state("AdbcStatementPrepare: statement not allocated");
  if (s->sql == nullptr) {
    return invalid_state("AdbcStatementPrepare: SetSqlQuery must be called first");
  }
  if (s->kind == kStatementQuery) s->kind = kStatementPrepared;
  return arrow::Status::OK();
}

arrow::Status bind_stream(AdbcStatement* statement, ArrowArrayStream* stream) {
  NVAdbcStatementState* s = state_of(statement);
  if (s == nullptr) return invalid_state("AdbcStatementBindStream: statement not allocated");
  // get_last_error is required too: reading a failing stream calls it for the message.
  if (stream == nullptr || stream->get_schema == nullptr || stream->get_next == nullptr ||
      stream->get_last_error == nullptr || stream->release == nullptr) {
    return invalid_argument("AdbcStatementBindStream: stream is null or missing required callbacks");
  }
  s->bound->Bind(stream);  // ownership passes to the statement
  return arrow::Status::OK();
}

arrow::Status bind(AdbcStatement* statement, ArrowArray* values, ArrowSchema* schema) {
  if (statement == nullptr || values == nullptr || schema == nullptr) {
    return invalid_argument("AdbcStatementBind: null argument");
  }
  // Import consumes the host's structures, also when it fails.
  auto batch = arrow::ImportRecordBatch(values, schema);
  if (!batch.ok()) {
    return adbc_failure(ADBC_STATUS_INVALID_ARGUMENT, "22023",
                        "AdbcStatementBind: ImportRecordBatch failed: " +
                            batch.status().ToString());
  }
  auto reader = arrow::RecordBatchReader::Make({*batch}, (*batch)->schema());
  if (!reader.ok()) {
    return internal_failure("AdbcStatementBind: RecordBatchReader::Make failed: " +
                            reader.status().ToString());
  }
  // The batch is bound as a stream of one, so its state is asked for as BindStream asks.
  NVAdbcStatementState* s = state_of(statement);
  if (s == nullptr) return invalid_state("AdbcStatementBindStream: statement not allocated");
  s->bound->Bind(*std::move(reader));
  return arrow::Status::OK();
}

}  // namespace

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

using norvale::adbc::call_entry;
using norvale::adbc::Entry;

extern "C" {

AdbcStatusCode nv_adbc_statement_new(AdbcConnection* connection, AdbcStatement* statement,
                                     AdbcError* error) {
  return call_entry(
      Entry{"AdbcStatementNew", "AdbcStatementNew(conn=%p, stmt=%p)"}, error,
      [&] { return norvale::adbc::new_statement(connection, statement); },
      static_cast<void*>(connection), static_cast<void*>(statement));
}

AdbcStatusCode nv_adbc_statement_release(AdbcStatement* statement, AdbcError* error) {
  return call_entry(
      Entry{"AdbcStatementRelease", "AdbcStatementRelease(stmt=%p)"}, error,
      [&] { return norvale::adbc::release_statement(statement); }, static_cast<void*>(statement));
}

AdbcStatusCode nv_adbc_statement_set_option(AdbcStatement* statement, const char* key,
                                            const char* value, AdbcError* error) {
  return call_entry(Entry{"AdbcStatementSetOption", nullptr}, error,
                    [&] { return norvale::adbc::set_statement_option(statement, key, value); });
}

AdbcStatusCode nv_adbc_statement_set_sql_query(AdbcStatement* statement, const char* query,
                                               AdbcError* error) {
  return call_entry(
      Entry{"AdbcStatementSetSqlQuery",
            "AdbcStatementSetSqlQuery(stmt=%p, sql.len=%zu, sql=\"%s\")"},
      error, [&] { return norvale::adbc::set_sql_query(statement, query); },
      static_cast<void*>(statement), query != nullptr ? std::strlen(query) : size_t{0},
      query != nullptr ? query : "(null)");
}

AdbcStatusCode nv_adbc_statement_prepare(AdbcStatement* statement, AdbcError* error) {
  return call_entry(Entry{"AdbcStatementPrepare", "AdbcStatementPrepare(stmt=%p)"}, error,
                    [&] { return norvale::adbc::prepare(statement); },
                    static_cast<void*>(statement));
}

AdbcStatusCode nv_adbc_statement_bind_stream(AdbcStatement* statement, ArrowArrayStream* stream,
                                             AdbcError* error) {
  return call_entry(Entry{"AdbcStatementBindStream", "AdbcStatementBindStream(stmt=%p)"}, error,
                    [&] { return norvale::adbc::bind_stream(statement, stream); },
                    static_cast<void*>(statement));
}

AdbcStatusCode nv_adbc_statement_bind(AdbcStatement* statement, ArrowArray* values,
                                      ArrowSchema* schema, AdbcError* error) {
  return call_entry(Entry{"AdbcStatementBind", "AdbcStatementBind(stmt=%p)"}, error,
                    [&] { return norvale::adbc::bind(statement, values, schema); },
                    static_cast<void*>(statement));
}

}  // extern "C"

NV_ADBC_TYPED_OPTION_ENTRIES(statement, AdbcStatement, norvale::adbc::kAccess)
