/* Engine log, redaction, SQL trace and the performance hooks. */
#ifndef NORVALE_NV_LOG_H
#define NORVALE_NV_LOG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum NVLogLevel {
  NV_LOG_OFF = 0,
  NV_LOG_ERROR = 1,
  NV_LOG_WARN = 2,
  NV_LOG_INFO = 3,
  NV_LOG_DEBUG = 4,
  NV_LOG_TRACE = 5
} NVLogLevel;

/** Sets the sink (a file path, or NULL/empty for standard error) and the level. */
int nv_log_init(const char* path, int level);
/** Configures the log from NV_LOG_PATH, NV_LOG_LEVEL, NV_TRACE_SSE and NV_LOG_MAX_BYTES. */
int nv_log_init_from_env(void);
/** The current level (0 off to 5 trace). */
int nv_log_level(void);
/** Writes one line when `level` is enabled. */
void nv_log_emit(int level, const char* category, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
/** Whether per-cell tracing (NV_TRACE_PERCELL) is on: 0 or 1, decided once per process. */
int nv_log_percell_enabled(void);
/** A heap copy of `text` with passwords, tokens and secrets replaced by "[REDACTED]";
 *  free it with free(). NULL for NULL input or allocation failure. */
char* nv_log_redact(const char* text);

/** Opens (or, for NULL/empty, closes) the SQL trace file; returns 0. */
int nv_apilog_init(const char* path);
/** Opens the SQL trace from NV_SQL_TRACE_PATH, else NV_API_TRACE_PATH, when either is set. */
int nv_apilog_init_from_env(void);
int nv_apilog_enabled(void);
void nv_apilog_emit(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
/** Traces one statement as "label -> sql", redacted. */
void nv_sql_trace(const char* label, const char* sql);
void nv_sql_caller_push(const char* name);
void nv_sql_caller_pop(void);
const char* nv_sql_caller_get(void);

int nv_perf_is_enabled(void);
void nv_perf_add_transport(uint64_t nanos, uint64_t bytes);
void nv_perf_add_decode(uint64_t nanos, uint64_t rows);
void nv_perf_add_convert(uint64_t nanos, uint64_t cells);

#ifdef __cplusplus
}
#endif

#endif /* NORVALE_NV_LOG_H */
