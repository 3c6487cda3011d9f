// The information-schema snapshot: nine result sets read from DuckDB's catalog, served as
// INIT (epoch), one BATCH per result set in index order, then EOS.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <arrow/api.h>
#include <httplib.h>

#include "localsvc/service.h"

namespace nv_localsvc {

/// The nine relation names, by result-set index.
extern const char* const kSnapshotRelations[9];

/// Reads the nine result sets from the catalog.
arrow::Result<std::vector<std::shared_ptr<arrow::RecordBatch>>> build_snapshot(duckdb_database db);

void handle_snapshot(Service& svc, const httplib::Request& req, httplib::Response& res);

}  // namespace nv_localsvc
