// Where nvsql writes a result: an aligned table, CSV, an Arrow IPC file or a Parquet file.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include <arrow/record_batch.h>
#include <arrow/status.h>
#include <arrow/type_fwd.h>

#include "tools/nvsql/options.h"

namespace nvsql {

class ResultSink {
 public:
  virtual ~ResultSink() = default;
  virtual arrow::Status begin(const std::shared_ptr<arrow::Schema>& schema) = 0;
  virtual arrow::Status write(const arrow::RecordBatch& batch) = 0;
  virtual arrow::Status finish() = 0;
};

/// The table format: column names and types in the header, at most `max_rows` rows (-1: all),
/// NULL for null cells, a note when rows were left out.
std::unique_ptr<ResultSink> make_table_sink(std::ostream& out, int64_t max_rows);

/// A sink for `format`, writing to `path` (empty: standard output, table and CSV only).
arrow::Result<std::unique_ptr<ResultSink>> make_sink(Format format, const std::string& path,
                                                     int64_t max_rows);

/// Text of one cell as the table shows it: NULL for null, hex for binary, escaped control
/// characters for text.
std::string cell_text(const arrow::Array& array, int64_t row);

}  // namespace nvsql
