/* Query execution: a statement runs on a compute node on a worker thread and its result comes
 * back as a sequence of batches through a bounded queue. */
#ifndef NORVALE_NV_QUERY_H
#define NORVALE_NV_QUERY_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NVConnection NVConnection;
typedef struct NVQueryHandle NVQueryHandle;
typedef struct NVArrowBatch NVArrowBatch;

/** One bound-column conversion, applied on the worker thread to every batch decoded after it
 *  was set (see nv_batch_stage_column). */
typedef struct NVStagingEntry {
  int32_t column; /* counted from 1 */
  int16_t c_type; /* ODBC C type code */
  int64_t parameter;
} NVStagingEntry;

/** Starts `sql` on the connection's compute node. Returns the running query, or NULL with a
 *  message in err. `reserved` is stored and not interpreted; `timeout_seconds` bounds the whole
 *  transfer (0: no bound). The connection must outlive the query. */
NVQueryHandle* nv_execute(NVConnection* conn, const char* sql, int32_t reserved,
                          uint64_t timeout_seconds, char* err, size_t err_size);
/** Blocks until the next batch (owned by the caller; free with nv_batch_free), the end (NULL,
 *  err untouched) or an error (NULL, err holds the query's error). */
NVArrowBatch* nv_next_batch(NVQueryHandle* query, char* err, size_t err_size);
/** Asks the query to stop; safe from any thread. 0, or -1 for NULL. */
int nv_query_cancel(NVQueryHandle* query);
/** Stops the worker, waits for it and frees the query with everything queued. NULL is accepted.
 *  Call from the consumer once it stopped calling nv_next_batch. */
void nv_query_close(NVQueryHandle* query);

/** The first recorded error, or NULL when there is none. Valid until nv_query_close. */
const char* nv_query_error(NVQueryHandle* query);
/** The SQLSTATE of the first error, or NULL when it has none. */
const char* nv_query_sqlstate(NVQueryHandle* query);
/** The native code of the first error; 0 when none or for NULL. */
int32_t nv_query_native_error(NVQueryHandle* query);
/** The stream identifier the server gave in its INIT frame, or NULL before it (or for NULL).
 *  Valid until nv_query_close. */
const char* nv_query_stream_id(NVQueryHandle* query);
/** The HTTP status of the server's answer; 0 before it arrived, for a local query or NULL. */
int32_t nv_query_http_status(NVQueryHandle* query);
/** 1 once cancel or close was requested. */
int nv_query_cancelled(NVQueryHandle* query);
/** Rows affected as reported by the server; -1 when unknown or for NULL. */
int64_t nv_query_rows_affected(NVQueryHandle* query);
/** Replaces the staging signature by a copy of `count` entries (none for NULL or 0). */
void nv_query_set_staging_signature(NVQueryHandle* query, const NVStagingEntry* entries,
                                    size_t count);

/** Translates ODBC escape sequences in `sql` into a new malloc'ed text in *out (NULL for NULL
 *  input). The text passes through unchanged. 0, or -1 with a message in msg. */
int nv_translate_escapes(const char* sql, char** out, char* msg, size_t msg_size);

#ifdef __cplusplus
}  // extern "C"

#include <memory>
#include <vector>

namespace arrow {
class RecordBatch;
class Schema;
}  // namespace arrow

/** Wraps batches computed in the process as a finished query that reads exactly like a remote
 *  one. NULL when the query record cannot be allocated. */
NVQueryHandle* nv_make_local_query_handle(NVConnection* conn,
                                          std::shared_ptr<arrow::Schema> schema,
                                          std::vector<std::shared_ptr<arrow::RecordBatch>> batches);
#endif

#endif /* NORVALE_NV_QUERY_H */
