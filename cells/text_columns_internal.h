// The per-batch text cache: each column's cells rendered once as a utf8 column.
#pragma once

#include <arrow/api.h>

#include <memory>

#include "cells/arrow_batch_internal.h"
#include "util/json_writer_internal.h"

namespace norvale::cells {

/// The cached text column of a valid column (owned by the batch), built on first request;
/// nullptr when none can be built (the caller then formats cell by cell).
const arrow::StringArray* ensure_string_column(NVArrowBatch* batch, int column);

/// The text column of any array, and whether its text is known to be ASCII.
arrow::Result<std::shared_ptr<arrow::StringArray>> build_text(
    const std::shared_ptr<arrow::Array>& array, bool& ascii);

/// Arrow's own cast to utf8 with safe options.
arrow::Result<std::shared_ptr<arrow::StringArray>> build_string_column_via_cast(
    const std::shared_ptr<arrow::Array>& array);
/// Shortest round-trip text of float32/float64 values; NaN, Infinity, -Infinity.
arrow::Result<std::shared_ptr<arrow::StringArray>> build_float_string_array(
    const arrow::Array& array);
/// "0x" and two lower-case hexadecimal digits per byte of binary values.
arrow::Result<std::shared_ptr<arrow::StringArray>> build_binary_hex_array(
    const arrow::Array& array);
/// Decimal text of decimal128/decimal256 values at the type's scale.
arrow::Result<std::shared_ptr<arrow::StringArray>> build_decimal_string_array_direct(
    const arrow::Array& array);
/// JSON text of nested values (lists, structs, maps, dictionaries).
arrow::Result<std::shared_ptr<arrow::StringArray>> build_nested_string_array(
    const arrow::Array& array);

/// Writes the JSON text of one value with a depth budget: lists, structs and maps met with a
/// budget below 1 are written as "...". A value inside with no text sets `ctx.failed`.
void emit_json_value(JsonCtx& ctx, const arrow::Array& array, int64_t row, int depth);

/// Whether cells of this type are written as JSON: lists of every layout, structs and maps.
bool is_nested_type(arrow::Type::type id);

/// The JSON text of the nested cell at `row`, within the cell limits; false when a value inside
/// has no text (a time past 24:00:00, a timestamp beyond the calendar), so the cell is an error.
bool nested_cell_json(const arrow::Array& array, int64_t row, std::string* out);

/// The text of one cell by its column type code, used when no text column can be built.
int32_t nv_format_cell_legacy_path(NVArrowBatch* batch, int column, int64_t row, char* buffer,
                                   size_t capacity);

/// Limits of the nested-value JSON text.
constexpr size_t kJsonMaxChars = 4096;
constexpr int kJsonMaxDepth = 8;
constexpr size_t kJsonMaxCellBytes = 8191;

}  // namespace norvale::cells
