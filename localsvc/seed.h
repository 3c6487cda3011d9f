// The demo dataset loaded by --seed demo.
#pragma once

#include <duckdb.h>

#include <arrow/status.h>

namespace nv_localsvc {

arrow::Status seed_demo(duckdb_database db);

}  // namespace nv_localsvc
