/* The core client's exported C interface, shared by the ADBC layer and an ODBC front end.
 * Each subsystem keeps its declarations in its own header under norvale/. */
#ifndef NORVALE_CLIENT_H
#define NORVALE_CLIENT_H

#include "norvale/nv_global.h"
#include "norvale/nv_log.h"
#if __has_include("norvale/nv_core.h")
#include "norvale/nv_core.h"
#endif
#if __has_include("norvale/nv_stream.h")
#include "norvale/nv_stream.h"
#endif
#if __has_include("norvale/nv_query.h")
#include "norvale/nv_query.h"
#endif
#if __has_include("norvale/nv_ingest.h")
#include "norvale/nv_ingest.h"
#endif
#if __has_include("norvale/nv_snapshot.h")
#include "norvale/nv_snapshot.h"
#endif
#if __has_include("norvale/nv_cells.h")
#include "norvale/nv_cells.h"
#endif
#if __has_include("norvale/nv_credstore.h")
#include "norvale/nv_credstore.h"
#endif

#endif /* NORVALE_CLIENT_H */
