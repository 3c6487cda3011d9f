/* ADBC driver interface of libnorvale_adbc: the published ADBC 1.1.0 structures, status codes and
 * version constants, and the Arrow C data and stream interface structures. The layouts follow the
 * published headers field for field, so a host that includes Arrow's or ADBC's own headers too
 * still compiles and shares the same types. */
#ifndef NORVALE_ADBC_H
#define NORVALE_ADBC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARROW_FLAG_DICTIONARY_ORDERED
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif /* ARROW_C_DATA_INTERFACE */

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif /* ARROW_C_STREAM_INTERFACE */
#endif /* ARROW_FLAG_DICTIONARY_ORDERED */

#ifndef ADBC
#define ADBC

typedef uint8_t AdbcStatusCode;

#define ADBC_STATUS_OK 0
#define ADBC_STATUS_UNKNOWN 1
#define ADBC_STATUS_NOT_IMPLEMENTED 2
#define ADBC_STATUS_NOT_FOUND 3
#define ADBC_STATUS_ALREADY_EXISTS 4
#define ADBC_STATUS_INVALID_ARGUMENT 5
#define ADBC_STATUS_INVALID_STATE 6
#define ADBC_STATUS_INVALID_DATA 7
#define ADBC_STATUS_INTEGRITY 8
#define ADBC_STATUS_INTERNAL 9
#define ADBC_STATUS_IO 10
#define ADBC_STATUS_CANCELLED 11
#define ADBC_STATUS_TIMEOUT 12
#define ADBC_STATUS_UNAUTHENTICATED 13
#define ADBC_STATUS_UNAUTHORIZED 14

#define ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA INT32_MIN

#define ADBC_VERSION_1_0_0 1000000
#define ADBC_VERSION_1_1_0 1001000

#define ADBC_OPTION_VALUE_ENABLED "true"
#define ADBC_OPTION_VALUE_DISABLED "false"
#define ADBC_OPTION_URI "uri"
#define ADBC_OPTION_USERNAME "username"
#define ADBC_OPTION_PASSWORD "password"

#define ADBC_INFO_VENDOR_NAME 0
#define ADBC_INFO_VENDOR_VERSION 1
#define ADBC_INFO_VENDOR_ARROW_VERSION 2
#define ADBC_INFO_DRIVER_NAME 100
#define ADBC_INFO_DRIVER_VERSION 101
#define ADBC_INFO_DRIVER_ARROW_VERSION 102

#define ADBC_OBJECT_DEPTH_ALL 0
#define ADBC_OBJECT_DEPTH_CATALOGS 1
#define ADBC_OBJECT_DEPTH_DB_SCHEMAS 2
#define ADBC_OBJECT_DEPTH_TABLES 3
#define ADBC_OBJECT_DEPTH_COLUMNS ADBC_OBJECT_DEPTH_ALL

#define ADBC_INGEST_OPTION_TARGET_TABLE "adbc.ingest.target_table"
#define ADBC_INGEST_OPTION_MODE "adbc.ingest.mode"
#define ADBC_INGEST_OPTION_MODE_CREATE "adbc.ingest.mode.create"
#define ADBC_INGEST_OPTION_MODE_APPEND "adbc.ingest.mode.append"
#define ADBC_INGEST_OPTION_MODE_REPLACE "adbc.ingest.mode.replace"
#define ADBC_INGEST_OPTION_MODE_CREATE_APPEND "adbc.ingest.mode.create_append"

struct AdbcDriver;

struct AdbcError {
  char* message;
  int32_t vendor_code;
  char sqlstate[5];
  void (*release)(struct AdbcError* error);
  /* ADBC 1.1.0 */
  void* private_data;
  struct AdbcDriver* private_driver;
};

#define ADBC_ERROR_1_0_0_SIZE (offsetof(struct AdbcError, private_data))
#define ADBC_ERROR_1_1_0_SIZE (sizeof(struct AdbcError))

struct AdbcErrorDetail {
  const char* key;
  const uint8_t* value;
  size_t value_length;
};

struct AdbcDatabase {
  void* private_data;
  struct AdbcDriver* private_driver;
};

struct AdbcConnection {
  void* private_data;
  struct AdbcDriver* private_driver;
};

struct AdbcStatement {
  void* private_data;
  struct AdbcDriver* private_driver;
};

struct AdbcPartitions {
  size_t num_partitions;
  const uint8_t** partitions;
  const size_t* partition_lengths;
  void* private_data;
  void (*release)(struct AdbcPartitions* partitions);
};

struct AdbcDriver {
  void* private_data;
  void* private_manager;

  AdbcStatusCode (*release)(struct AdbcDriver* driver, struct AdbcError* error);

  AdbcStatusCode (*DatabaseInit)(struct AdbcDatabase*, struct AdbcError*);
  AdbcStatusCode (*DatabaseNew)(struct AdbcDatabase*, struct AdbcError*);
  AdbcStatusCode (*DatabaseSetOption)(struct AdbcDatabase*, const char*, const char*,
                                      struct AdbcError*);
  AdbcStatusCode (*DatabaseRelease)(struct AdbcDatabase*, struct AdbcError*);

  AdbcStatusCode (*ConnectionCommit)(struct AdbcConnection*, struct AdbcError*);
  AdbcStatusCode (*ConnectionGetInfo)(struct AdbcConnection*, const uint32_t*, size_t,
                                      struct ArrowArrayStream*, struct AdbcError*);
  AdbcStatusCode (*ConnectionGetObjects)(struct AdbcConnection*, int, const char*, const char*,
                                         const char*, const char**, const char*,
                                         struct ArrowArrayStream*, struct AdbcError*);
  AdbcStatusCode (*ConnectionGetTableSchema)(struct AdbcConnection*, const char*, const char*,
                                             const char*, struct ArrowSchema*,
                                             struct AdbcError*);
  AdbcStatusCode (*ConnectionGetTableTypes)(struct AdbcConnection*, struct ArrowArrayStream*,
                                            struct AdbcError*);
  AdbcStatusCode (*ConnectionInit)(struct AdbcConnection*, struct AdbcDatabase*,
                                   struct AdbcError*);
  AdbcStatusCode (*ConnectionNew)(struct AdbcConnection*, struct AdbcError*);
  AdbcStatusCode (*ConnectionSetOption)(struct AdbcConnection*, const char*, const char*,
                                        struct AdbcError*);
  AdbcStatusCode (*ConnectionReadPartition)(struct AdbcConnection*, const uint8_t*, size_t,
                                            struct ArrowArrayStream*, struct AdbcError*);
  AdbcStatusCode (*ConnectionRelease)(struct AdbcConnection*, struct AdbcError*);
  AdbcStatusCode (*ConnectionRollback)(struct AdbcConnection*, struct AdbcError*);

  AdbcStatusCode (*StatementBind)(struct AdbcStatement*, struct ArrowArray*, struct ArrowSchema*,
                                  struct AdbcError*);
  AdbcStatusCode (*StatementBindStream)(struct AdbcStatement*, struct ArrowArrayStream*,
                                        struct AdbcError*);
  AdbcStatusCode (*StatementExecuteQuery)(struct AdbcStatement*, struct ArrowArrayStream*,
                                          int64_t*, struct AdbcError*);
  AdbcStatusCode (*StatementExecutePartitions)(struct AdbcStatement*, struct ArrowSchema*,
                                               struct AdbcPartitions*, int64_t*,
                                               struct AdbcError*);
  AdbcStatusCode (*StatementGetParameterSchema)(struct AdbcStatement*, struct ArrowSchema*,
                                                struct AdbcError*);
  AdbcStatusCode (*StatementNew)(struct AdbcConnection*, struct AdbcStatement*,
                                 struct AdbcError*);
  AdbcStatusCode (*StatementPrepare)(struct AdbcStatement*, struct AdbcError*);
  AdbcStatusCode (*StatementRelease)(struct AdbcStatement*, struct AdbcError*);
  AdbcStatusCode (*StatementSetOption)(struct AdbcStatement*, const char*, const char*,
                                       struct AdbcError*);
  AdbcStatusCode (*StatementSetSqlQuery)(struct AdbcStatement*, const char*, struct AdbcError*);
  AdbcStatusCode (*StatementSetSubstraitPlan)(struct AdbcStatement*, const uint8_t*, size_t,
                                              struct AdbcError*);

  /* ADBC 1.1.0 */
  int (*ErrorGetDetailCount)(const struct AdbcError* error);
  struct AdbcErrorDetail (*ErrorGetDetail)(const struct AdbcError* error, int index);
  const struct AdbcError* (*ErrorFromArrayStream)(struct ArrowArrayStream* stream,
                                                  AdbcStatusCode* status);

  AdbcStatusCode (*DatabaseGetOption)(struct AdbcDatabase*, const char*, char*, size_t*,
                                      struct AdbcError*);
  AdbcStatusCode (*DatabaseGetOptionBytes)(struct AdbcDatabase*, const char*, uint8_t*, size_t*,
                                           struct AdbcError*);
  AdbcStatusCode (*DatabaseGetOptionDouble)(struct AdbcDatabase*, const char*, double*,
                                            struct AdbcError*);
  AdbcStatusCode (*DatabaseGetOptionInt)(struct AdbcDatabase*, const char*, int64_t*,
                                         struct AdbcError*);
  AdbcStatusCode (*DatabaseSetOptionBytes)(struct AdbcDatabase*, const char*, const uint8_t*,
                                           size_t, struct AdbcError*);
  AdbcStatusCode (*DatabaseSetOptionDouble)(struct AdbcDatabase*, const char*, double,
                                            struct AdbcError*);
  AdbcStatusCode (*DatabaseSetOptionInt)(struct AdbcDatabase*, const char*, int64_t,
                                         struct AdbcError*);

  AdbcStatusCode (*ConnectionCancel)(struct AdbcConnection*, struct AdbcError*);
  AdbcStatusCode (*ConnectionGetOption)(struct AdbcConnection*, const char*, char*, size_t*,
                                        struct AdbcError*);
  AdbcStatusCode (*ConnectionGetOptionBytes)(struct AdbcConnection*, const char*, uint8_t*,
                                             size_t*, struct AdbcError*);
  AdbcStatusCode (*ConnectionGetOptionDouble)(struct AdbcConnection*, const char*, double*,
                                              struct AdbcError*);
  AdbcStatusCode (*ConnectionGetOptionInt)(struct AdbcConnection*, const char*, int64_t*,
                                           struct AdbcError*);
  AdbcStatusCode (*ConnectionGetStatistics)(struct AdbcConnection*, const char*, const char*,
                                            const char*, char, struct ArrowArrayStream*,
                                            struct AdbcError*);
  AdbcStatusCode (*ConnectionGetStatisticNames)(struct AdbcConnection*,
                                                struct ArrowArrayStream*, struct AdbcError*);
  AdbcStatusCode (*ConnectionSetOptionBytes)(struct AdbcConnection*, const char*,
                                             const uint8_t*, size_t, struct AdbcError*);
  AdbcStatusCode (*ConnectionSetOptionDouble)(struct AdbcConnection*, const char*, double,
                                              struct AdbcError*);
  AdbcStatusCode (*ConnectionSetOptionInt)(struct AdbcConnection*, const char*, int64_t,
                                           struct AdbcError*);

  AdbcStatusCode (*StatementCancel)(struct AdbcStatement*, struct AdbcError*);
  AdbcStatusCode (*StatementExecuteSchema)(struct AdbcStatement*, struct ArrowSchema*,
                                           struct AdbcError*);
  AdbcStatusCode (*StatementGetOption)(struct AdbcStatement*, const char*, char*, size_t*,
                                       struct AdbcError*);
  AdbcStatusCode (*StatementGetOptionBytes)(struct AdbcStatement*, const char*, uint8_t*,
                                            size_t*, struct AdbcError*);
  AdbcStatusCode (*StatementGetOptionDouble)(struct AdbcStatement*, const char*, double*,
                                             struct AdbcError*);
  AdbcStatusCode (*StatementGetOptionInt)(struct AdbcStatement*, const char*, int64_t*,
                                          struct AdbcError*);
  AdbcStatusCode (*StatementSetOptionBytes)(struct AdbcStatement*, const char*, const uint8_t*,
                                            size_t, struct AdbcError*);
  AdbcStatusCode (*StatementSetOptionDouble)(struct AdbcStatement*, const char*, double,
                                             struct AdbcError*);
  AdbcStatusCode (*StatementSetOptionInt)(struct AdbcStatement*, const char*, int64_t,
                                          struct AdbcError*);
};

#define ADBC_DRIVER_1_0_0_SIZE (offsetof(struct AdbcDriver, ErrorGetDetailCount))
#define ADBC_DRIVER_1_1_0_SIZE (sizeof(struct AdbcDriver))

typedef AdbcStatusCode (*AdbcDriverInitFunc)(int version, void* driver, struct AdbcError* error);

#endif /* ADBC */

/** Fills the driver table for ADBC version 1000000 or 1001000 (1.0.0 behaviour). */
AdbcStatusCode AdbcDriverInit(int version, void* raw_driver, struct AdbcError* error);

/* The functions of the driver table, exported under their own names too. */
AdbcStatusCode nv_adbc_database_new(struct AdbcDatabase* database, struct AdbcError* error);
AdbcStatusCode nv_adbc_database_set_option(struct AdbcDatabase* database, const char* key,
                                           const char* value, struct AdbcError* error);
AdbcStatusCode nv_adbc_database_init(struct AdbcDatabase* database, struct AdbcError* error);
AdbcStatusCode nv_adbc_database_release(struct AdbcDatabase* database, struct AdbcError* error);

AdbcStatusCode nv_adbc_connection_new(struct AdbcConnection* connection,
                                      struct AdbcError* error);
AdbcStatusCode nv_adbc_connection_set_option(struct AdbcConnection* connection, const char* key,
                                             const char* value, struct AdbcError* error);
AdbcStatusCode nv_adbc_connection_init(struct AdbcConnection* connection,
                                       struct AdbcDatabase* database, struct AdbcError* error);
AdbcStatusCode nv_adbc_connection_release(struct AdbcConnection* connection,
                                          struct AdbcError* error);
/* Autocommit is always on: both answer ADBC_STATUS_INVALID_STATE (no transaction is open). */
AdbcStatusCode nv_adbc_connection_commit(struct AdbcConnection* connection,
                                         struct AdbcError* error);
AdbcStatusCode nv_adbc_connection_rollback(struct AdbcConnection* connection,
                                           struct AdbcError* error);
AdbcStatusCode nv_adbc_connection_get_info(struct AdbcConnection* connection,
                                           const uint32_t* info_codes, size_t info_codes_length,
                                           struct ArrowArrayStream* out, struct AdbcError* error);
AdbcStatusCode nv_adbc_connection_get_objects(struct AdbcConnection* connection, int depth,
                                              const char* catalog, const char* db_schema,
                                              const char* table_name, const char** table_type,
                                              const char* column_name,
                                              struct ArrowArrayStream* out,
                                              struct AdbcError* error);
AdbcStatusCode nv_adbc_connection_get_table_schema(struct AdbcConnection* connection,
                                                   const char* catalog, const char* db_schema,
                                                   const char* table_name,
                                                   struct ArrowSchema* schema,
                                                   struct AdbcError* error);
AdbcStatusCode nv_adbc_connection_get_table_types(struct AdbcConnection* connection,
                                                  struct ArrowArrayStream* out,
                                                  struct AdbcError* error);

AdbcStatusCode nv_adbc_statement_new(struct AdbcConnection* connection,
                                     struct AdbcStatement* statement, struct AdbcError* error);
AdbcStatusCode nv_adbc_statement_release(struct AdbcStatement* statement,
                                         struct AdbcError* error);
AdbcStatusCode nv_adbc_statement_set_sql_query(struct AdbcStatement* statement, const char* query,
                                               struct AdbcError* error);
AdbcStatusCode nv_adbc_statement_prepare(struct AdbcStatement* statement,
                                         struct AdbcError* error);
AdbcStatusCode nv_adbc_statement_execute_query(struct AdbcStatement* statement,
                                               struct ArrowArrayStream* out,
                                               int64_t* rows_affected, struct AdbcError* error);
AdbcStatusCode nv_adbc_statement_set_option(struct AdbcStatement* statement, const char* key,
                                            const char* value, struct AdbcError* error);
AdbcStatusCode nv_adbc_statement_bind(struct AdbcStatement* statement, struct ArrowArray* values,
                                      struct ArrowSchema* schema, struct AdbcError* error);
AdbcStatusCode nv_adbc_statement_bind_stream(struct AdbcStatement* statement,
                                             struct ArrowArrayStream* stream,
                                             struct AdbcError* error);
/* One field per parameter of the statement's SQL, in parameter order: named "" for ?, "$1" for
   $1, the bare name for $name and :name; typed as the bound column when data are bound, else
   null. */
AdbcStatusCode nv_adbc_statement_get_parameter_schema(struct AdbcStatement* statement,
                                                      struct ArrowSchema* schema,
                                                      struct AdbcError* error);

#ifdef __cplusplus
}
#endif

#endif /* NORVALE_ADBC_H */
