// Private records behind the ADBC handles. They are plain structures allocated zero-filled with
// calloc and freed with free; every string in them is a heap C string owned by the record.
#pragma once

#include <cstdint>

#include "norvale_adbc.h"

struct NVConnection;
struct NVAdbcInfoSchemaStore;
namespace nv_sql {
class MetadataEngine;
}
namespace norvale::adbc {
class BoundData;
class CancelOperation;
class CancelRegistry;
}  // namespace norvale::adbc

struct NVAdbcDatabaseState {
  char* uri;
  char* compute_url;
  char* compute_node;
  char* username;
  char* password;
  char* session_token;
  char* application_name;
  char* proxy_url;
  char* proxy_user;
  char* proxy_pass;
  int64_t connect_timeout_sec;   // 0 = driver default
  int32_t max_stream_buffer_mb;  // 0 = driver default
  char* tls_encrypt;
  char* tls_trust_server_cert;  // "true" or "false" once set
  char* tls_ca_bundle;
  char* tls_min_version;
  char* tls_host_in_cert;
  char* tls_client_cert;
  char* tls_client_key;
  char* log_path;
  char* log_level;
  char* api_trace_path;
  char* compression;  // adbc.norvale.compression: "none", "zstd", "gzip" or "auto"; null: none
  bool initialized;
};

struct NVAdbcConnectionState {
  NVAdbcDatabaseState* database;          // borrowed; set by AdbcConnectionInit
  NVConnection* connection;               // null until AdbcConnectionInit succeeds
  NVAdbcInfoSchemaStore* info_schema;     // may be null
  nv_sql::MetadataEngine* meta_engine;    // may be null
  uint64_t query_timeout_sec;             // 0: none; bounds each wait for the server
  // The operations that may be cancelled (owned; made by AdbcConnectionNew).
  norvale::adbc::CancelRegistry* cancel_registry;
  // Read back by GetOption; guarded by option_mutex() like every option field.
  bool read_only;            // adbc.connection.readonly (accepted, no further effect)
  int64_t batch_size_hint;   // adbc.norvale.batch_size_hint (accepted, no further effect)
  // The schema in which the service resolves unqualified names, asked of it once (owned).
  char* current_schema;
  int32_t current_schema_asked;  // 0 not yet; 1 asked (current_schema null: unknown)
};

/// What a statement is, as the calls made on it decide: SetSqlQuery makes it a query, Prepare
/// a prepared query, an ingest target (adbc.ingest.target_table, nv.ingest.target_location) an
/// ingest, which SetSqlQuery ends again. Execution dispatches on it.
enum NVAdbcStatementKind : int32_t {
  kStatementEmpty = 0,     // nothing set yet
  kStatementQuery = 1,     // SQL text to run
  kStatementPrepared = 2,  // SQL text, prepared (the service prepares nothing: a name only)
  kStatementIngest = 3,    // bound data go to the target; without data the SQL text (if any) runs
};

struct NVAdbcStatementState {
  NVAdbcConnectionState* connection;  // borrowed parent
  int32_t kind;                       // NVAdbcStatementKind
  char* sql;
  char* target_table;
  char* target_location;
  char* idempotency_key;
  char** key_columns;
  int32_t key_column_count;
  int32_t ingest_mode;     // 0 append, 1 upsert, 2 overwrite, 3 land
  int32_t payload_format;  // 0 Arrow IPC stream, 1 Parquet
  int32_t coerce;
  norvale::adbc::BoundData* bound;  // owned (made by AdbcStatementNew): Bind / BindStream data
  char* target_db_schema;          // adbc.ingest.target_db_schema
  char* target_catalog;            // adbc.ingest.target_catalog
  int32_t table_mode;              // NVAdbcTableMode: what an ingest does with the target table
  int32_t bind_by_name;            // adbc.statement.bind_by_name: bound columns serve parameters
                                   // by name ($name, :name) instead of by position
  // adbc.norvale.statement.bulk_bind_min_rows: a bound INSERT of at least this many rows loads
  // them as one ingest (0: never).
  int64_t bulk_bind_min_rows;
  // Cancellation: the statement's identity in its connection's registry, and the operation of
  // the call running on it (borrowed from that call; null between calls).
  uint64_t cancel_owner;
  norvale::adbc::CancelOperation* operation;
};

/// What an ingest into a table does when the table exists or is missing (adbc.ingest.mode).
/// Zero is ADBC's default, create.
enum NVAdbcTableMode : int32_t {
  kTableCreate = 0,        // create; ALREADY_EXISTS when the table exists
  kTableAppend = 1,        // append; NOT_FOUND when the table is missing
  kTableReplace = 2,       // drop and recreate
  kTableCreateAppend = 3,  // create when missing, else append
  kTableDriverMode = 4,    // nv.ingest.mode chose the service's own mode (ingest_mode)
};
