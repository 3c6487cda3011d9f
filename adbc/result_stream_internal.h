// The Arrow C stream through which query results reach the host.
#pragma once

#include <cstdint>
#include <memory>

#include <arrow/record_batch.h>

#include "adbc/cancel_registry_internal.h"
#include "norvale/nv_query.h"
#include "norvale_adbc.h"

/// Private data of a result stream; calloc'ed, freed with free.
struct NVAdbcStreamState {
  NVQueryHandle* query;     // owned: closed when the host releases the stream
  NVArrowBatch* held_batch;  // fetched by get_schema, handed out by the next get_next
  int32_t schema_returned;
  char last_error[512];  // empty: no error
  // The stream's one schema once a batch showed it (heap-owned, deleted on release): get_schema
  // answers it also after the end, when no batch is left to show it.
  std::shared_ptr<arrow::Schema>* schema;
  // The last failure as an ADBC 1.1 error with its status (OK: none), for
  // AdbcErrorFromArrayStream. A host may release the error itself; the stream copes.
  AdbcError error;
  AdbcStatusCode status;
  // How a cancel of the statement or connection reaches the query (heap-owned, may be null);
  // detached before the query is closed.
  norvale::adbc::CancelTarget* cancel_target;
};

extern "C" {

/// Makes `out` a stream over `query`, which the stream then owns.
AdbcStatusCode nv_adbc_stream_init(ArrowArrayStream* out, NVQueryHandle* query,
                                   AdbcError* error);
/// Prints the stream profile (NV_ADBC_PROFILE) to standard error and resets it.
void nv_adbc_profile_reset_and_dump(const char* label);

}  // extern "C"

namespace norvale::adbc {

int nv_adbc_stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out);
int nv_adbc_stream_get_next(ArrowArrayStream* stream, ArrowArray* out);
const char* nv_adbc_stream_get_last_error(ArrowArrayStream* stream);
void nv_adbc_stream_release(ArrowArrayStream* stream);

/// Makes `out` a stream over `query`, which the stream then owns together with the query's
/// cancel action (detached again when this fails).
arrow::Status stream_init(ArrowArrayStream* out, NVQueryHandle* query, CancelTarget target);

/// Exports one in-memory batch as a stream (metadata results).
arrow::Status export_single_batch(std::shared_ptr<arrow::RecordBatch> batch,
                                  ArrowArrayStream* out);

/// Whether NV_ADBC_PROFILE is set and non-empty (read once).
bool profile_enabled();

}  // namespace norvale::adbc
