/* Bulk ingest: one streaming upload of Arrow IPC streams or Parquet files into a table or a
 * storage location through the connection's compute node.
 *
 * Order of calls: nv_ingest_begin -> [nv_ingest_push_schema] -> nv_ingest_push_batch ... ->
 * nv_ingest_finish, or nv_ingest_cancel at any point after begin; then nv_ingest_free.
 * Functions return 0 on success and -1 on failure. */
#ifndef NORVALE_NV_INGEST_H
#define NORVALE_NV_INGEST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct NVConnection;

#define NV_INGEST_MODE_APPEND 0
#define NV_INGEST_MODE_UPSERT 1
#define NV_INGEST_MODE_OVERWRITE 2
#define NV_INGEST_MODE_LAND 3

#define NV_INGEST_FORMAT_ARROW_IPC 0
#define NV_INGEST_FORMAT_PARQUET 1

/** What to ingest into; the caller keeps ownership, nv_ingest_begin copies everything. */
typedef struct NVIngestConfig {
  const char* target_table;     /* may be NULL */
  const char* target_location;  /* may be NULL; required by mode land */
  int32_t mode;                 /* 0 append, 1 upsert, 2 overwrite, 3 land */
  int32_t payload_format;       /* 0 Arrow IPC stream, 1 Parquet */
  const char* const* key_columns; /* NULL entries are skipped; may be NULL */
  int32_t key_column_count;
  const char* idempotency_key; /* may be NULL */
  int32_t coerce;              /* non-zero means true */
} NVIngestConfig;

/** The outcome of nv_ingest_finish; owned by the caller, landed paths released with
 *  nv_ingest_summary_free. */
typedef struct NVIngestSummary {
  int64_t rows_inserted;
  int64_t rows_updated;
  int64_t rows_deleted;
  int64_t commit_version; /* -1 when not reported */
  double duration_ms;
  int32_t idempotent_replay; /* 1 when the server reports a replay */
  char** landed_paths;       /* malloc'ed strings; NULL when none */
  int32_t landed_path_count;
  char error_message[512]; /* empty on success */
  char sqlstate[8];        /* five-character code on failure */
} NVIngestSummary;

typedef struct NVIngestHandle NVIngestHandle;

/** Checks and copies the configuration; no network activity yet. On failure the message goes
 *  to `err` (truncated, NUL-terminated; nothing when err is NULL or err_size 0). */
int nv_ingest_begin(struct NVConnection* conn, const NVIngestConfig* cfg, NVIngestHandle** out,
                    char* err, size_t err_size);
/** The Arrow IPC schema message (an IPC stream holding only the schema) for arrow_ipc; must
 *  come before the first push_batch. Parquet ignores it. */
int nv_ingest_push_schema(NVIngestHandle* h, const void* bytes, size_t len);
/** Queues one payload (an Arrow IPC stream or a whole Parquet file); the bytes are copied.
 *  Blocks while 8 frames wait for the network. */
int nv_ingest_push_batch(NVIngestHandle* h, const void* bytes, size_t len);
/** Ends the upload, waits for the server's answer and fills the summary. */
int nv_ingest_finish(NVIngestHandle* h, NVIngestSummary* out);
/** Aborts the upload and joins the worker. */
int nv_ingest_cancel(NVIngestHandle* h);
/** The handle's last error text, or NULL when there is none. */
const char* nv_ingest_last_error(NVIngestHandle* h);
/** Frees the landed paths and their list and sets them to NULL/0; nothing else. */
void nv_ingest_summary_free(NVIngestSummary* s);
/** Releases a handle. An upload still running is cancelled first, so the call is valid at any
 *  point after begin; NULL is accepted. */
void nv_ingest_free(NVIngestHandle* h);

#ifdef __cplusplus
}
#endif

#endif /* NORVALE_NV_INGEST_H */
