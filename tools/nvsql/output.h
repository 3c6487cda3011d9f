// Where nvsql writes a result: an aligned table, CSV, an Arrow IPC file or a Parquet file.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

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

/// When the table format shows one record per block of "name | value" lines.
enum class Expanded { kOff, kOn, kAuto };

struct TableLayout {
  int64_t max_rows = 1000;  // rows printed; -1 prints all
  /// Columns of the terminal; 0 for no limit. A table wider than this is shown expanded
  /// (kAuto, kOn) or in slices of columns that fit (kOff), with over-long cells cut with "…".
  size_t width = 0;
  Expanded expanded = Expanded::kOff;
  bool show_types = true;  // a second header line with the Arrow type of each column
};

/// The table format: column names and types in the header, at most `max_rows` rows, NULL for
/// null cells, a note when rows were left out.
std::unique_ptr<ResultSink> make_table_sink(std::ostream& out, const TableLayout& layout);

/// A sink for `format`. Table and CSV go to `path`, or to `text_out` when `path` is empty;
/// arrow and parquet need a path.
arrow::Result<std::unique_ptr<ResultSink>> make_sink(Format format, std::ostream& text_out,
                                                     const std::string& path,
                                                     const TableLayout& layout);

/// Columns of the terminal on `fd`; 0 when `fd` is not a terminal.
size_t terminal_width(int fd);

/// `text` cut to at most `columns` display columns, ending in "…" when it was cut.
std::string fit_text(std::string_view text, size_t columns);

/// Text of one cell as the table shows it: NULL for null, hex for binary, escaped control
/// characters for text.
std::string cell_text(const arrow::Array& array, int64_t row);

}  // namespace nvsql
