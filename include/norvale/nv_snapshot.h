/* The information-schema snapshot and the catalog version of the control plane.
 *
 * A snapshot holds exactly nine result sets, indexed 0 to 8: catalogs, schemata, tables,
 * columns, views, key_column_usage, odbc_columns, table_constraints, referential_constraints
 * (all of information_schema). Each arrives as the bytes of one Arrow IPC stream. */
#ifndef NORVALE_NV_SNAPSHOT_H
#define NORVALE_NV_SNAPSHOT_H

#include <stddef.h>
#include <stdint.h>

#include "norvale/nv_core.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NV_SNAPSHOT_RESULT_SETS 9

/** The raw snapshot as fetched. Owned by the caller; release with
 *  nv_info_schema_snapshot_free. */
typedef struct NVInfoSchemaSnapshot {
  uint64_t epoch;                                      /* epoch of the INIT frame */
  uint8_t* result_set_data[NV_SNAPSHOT_RESULT_SETS];   /* malloc'ed IPC bytes; NULL if absent */
  size_t result_set_len[NV_SNAPSHOT_RESULT_SETS];
} NVInfoSchemaSnapshot;

/** The control plane's catalog version counters. Only `sequence` decides cache validity. */
typedef struct NVCatalogVersion {
  uint64_t sequence;
  uint64_t tables_version;
  uint64_t views_version;
  uint64_t schemas_version;
  uint64_t permissions_version;
  uint64_t graphs_version;
  uint64_t connections_version;
  uint64_t pipelines_version;
} NVCatalogVersion;

/** Fetches the snapshot with the connection's control-plane URL, token, TLS and request
 *  settings. 0, or -1 with a message (the record is then left empty). */
int nv_fetch_snapshot(NVConnection* conn, NVInfoSchemaSnapshot* out, char* err,
                      size_t err_size);
/** GET <base_url>/api/v1/odbc/info_schema/snapshot. token, tls, extras and share may be NULL.
 *  0 with epoch and all nine result sets in `out`, or -1 with a message and `out` empty. */
int nv_route_fetch_info_schema_snapshot(const char* base_url, const char* token,
                                        const NVTlsConfig* tls, const NVConnExtras* extras,
                                        void* share, NVInfoSchemaSnapshot* out, char* err,
                                        size_t err_size);
/** Frees every block and zeroes the record; NULL is ignored. */
void nv_info_schema_snapshot_free(NVInfoSchemaSnapshot* snapshot);

/** Reads the catalog version with the connection's settings. 0, or -1 with a message. */
int nv_fetch_epoch(NVConnection* conn, NVCatalogVersion* out, char* err, size_t err_size);
/** GET <base_url>/api/v1/events/version. 0, or -1 with a message. */
int nv_route_fetch_epoch(const char* base_url, const char* token, const NVTlsConfig* tls,
                         const NVConnExtras* extras, void* share, NVCatalogVersion* out,
                         char* err, size_t err_size);
/** Parses a version response body. Integer members give their value, anything else 0.
 *  0, or -1 when the body is not a JSON object. */
int parse_catalog_version_response(const char* body, size_t len, NVCatalogVersion* out,
                                   char* err, size_t err_size);
/** The same as parse_catalog_version_response, under the client's prefix. */
int nv_test_parse_catalog_version_response(const char* body, size_t len,
                                           NVCatalogVersion* out, char* err, size_t err_size);

#ifdef __cplusplus
}
#endif

#endif /* NORVALE_NV_SNAPSHOT_H */
