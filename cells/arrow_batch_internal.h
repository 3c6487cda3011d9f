// The batch wrapper behind NVArrowBatch: a record batch with its schema, the per-column caches
// of the cell accessors and the text formatter, the staged columns and the byte weight.
#pragma once

#include <arrow/api.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "norvale/nv_cells.h"

namespace norvale::cells {

/// One column converted into the fixed-width layout of an ODBC C type.
struct StagedColumn {
  uint8_t status = NV_STAGE_EMPTY;
  int16_t c_type = 0;
  int64_t parameter = 0;
  /// Array whose values buffer holds the staged data: the source itself or a cast result.
  std::shared_ptr<arrow::Array> converted;
  int32_t converted_width = 0;
  /// Rows materialised in ODBC structure layout (SQL_NUMERIC_STRUCT, DATE_STRUCT, ...).
  std::vector<uint8_t> owned;
  int32_t owned_element_size = 0;
  const uint8_t* values = nullptr;
  int64_t stride = 0;
  /// Array owning the validity bitmap; bitmap is null when the column has no nulls.
  std::shared_ptr<arrow::Array> null_owner;
  const uint8_t* bitmap = nullptr;
  int64_t bit_offset = 0;
};

/// ASCII flag values of the text cache.
constexpr uint8_t kAsciiUnknown = 255;

}  // namespace norvale::cells

struct NVArrowBatch {
  /// May be null (a wrapper that carries only a schema).
  std::shared_ptr<arrow::RecordBatch> record_batch;
  std::shared_ptr<arrow::Schema> schema;
  /// Memory the batch accounts for in the query queue's byte limit; 0 unless a producer sets it.
  int64_t byte_weight = 0;

  /// Set when the record batch's shape is invalid (columns of the wrong length and the like).
  bool malformed = false;
  /// Column cache, filled once by the first cell accessor; a column that failed full
  /// validation is left null, so that no accessor reads it.
  std::vector<std::shared_ptr<arrow::Array>> column_arrays;
  std::vector<int32_t> column_type_ids;

  /// One entry per column once the first staging call has run.
  std::vector<norvale::cells::StagedColumn> staged;

  /// Text cache: a utf8 column per source column, built on first request, and its ASCII flag.
  std::vector<std::shared_ptr<arrow::StringArray>> text_columns;
  std::vector<uint8_t> ascii_flags;
  /// 1 where building the text column failed, so it is not tried again per cell.
  std::vector<uint8_t> text_unavailable;
};

namespace norvale::cells {

/// Wraps a record batch; `schema` defaults to the record batch's own. Never throws; nullptr
/// when the wrapper cannot be allocated. The caller owns the result (nv_batch_free).
NVArrowBatch* new_arrow_batch(std::shared_ptr<arrow::RecordBatch> record_batch,
                              std::shared_ptr<arrow::Schema> schema = nullptr) noexcept;

/// Validates the record batch and each column fully and fills the column cache on first use;
/// false when the batch has no record batch or its shape is malformed.
bool ensure_column_cache(NVArrowBatch* batch);

/// The cached array of a valid, well-formed column (after ensure_column_cache), or nullptr.
const arrow::Array* cached_column(NVArrowBatch* batch, int column);

/// Null test of one cell: the validity bit when there is a bitmap; Arrow's own test for unions
/// and run-end-encoded arrays; otherwise null exactly when the whole array is null.
bool cell_is_null(const arrow::Array& array, int64_t row);

/// The driver's column type code (NV_COL_*) of an Arrow type.
int column_type_code(const arrow::DataType& type);

/// Units of a temporal unit per second: 1, 1000, 1000000 or 1000000000.
int64_t units_per_second(arrow::TimeUnit::type unit);

/// Runs arrow::compute::Initialize once per process.
arrow::Status ensure_compute_initialized();

}  // namespace norvale::cells
