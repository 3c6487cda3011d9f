// Typed accessors of single cells.
#include <cstring>
#include <initializer_list>
#include <limits>

#include "cells/arrow_batch_internal.h"

namespace {

using norvale::cells::cached_column;
using norvale::cells::cell_is_null;

// The validated array of a call, or nullptr for an invalid one (bad batch, column, type, row).
const arrow::Array* checked(NVArrowBatch* batch, int column, int64_t row,
                            std::initializer_list<arrow::Type::type> accepted) {
  const arrow::Array* array = cached_column(batch, column);
  if (array == nullptr) return nullptr;
  const auto id = static_cast<arrow::Type::type>(batch->column_type_ids[column]);
  bool ok = false;
  for (arrow::Type::type t : accepted) ok = ok || t == id;
  if (!ok || row < 0 || row >= array->length()) return nullptr;
  return array;
}

// Fixed-width values: 1 with the value written, 0 for a null cell, -1 for an invalid call.
template <typename T>
int get_fixed(NVArrowBatch* batch, int column, int64_t row, T* out,
              std::initializer_list<arrow::Type::type> accepted) {
  const arrow::Array* array = checked(batch, column, row, accepted);
  if (array == nullptr) return -1;
  if (cell_is_null(*array, row)) return 0;
  if (out != nullptr) *out = array->data()->GetValues<T>(1)[row];
  return 1;
}

template <size_t Width>
int get_decimal(NVArrowBatch* batch, int column, int64_t row, uint8_t* out,
                arrow::Type::type type) {
  const arrow::Array* array = checked(batch, column, row, {type});
  if (array == nullptr) return -1;
  if (cell_is_null(*array, row)) return 0;
  if (out != nullptr) {
    std::memcpy(out, static_cast<const arrow::FixedSizeBinaryArray*>(array)->GetValue(row), Width);
  }
  return 1;
}

int32_t clamp_length(int64_t length) {
  return length > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                      : static_cast<int32_t>(length);
}

// The bytes of a string or binary cell, whichever of the layouts it uses.
std::string_view bytes_of(const arrow::Array& array, int64_t row) {
  switch (array.type_id()) {
    case arrow::Type::STRING:
    case arrow::Type::BINARY:
      return static_cast<const arrow::BinaryArray&>(array).GetView(row);
    case arrow::Type::LARGE_STRING:
    case arrow::Type::LARGE_BINARY:
      return static_cast<const arrow::LargeBinaryArray&>(array).GetView(row);
    case arrow::Type::STRING_VIEW:
    case arrow::Type::BINARY_VIEW:
      return static_cast<const arrow::BinaryViewArray&>(array).GetView(row);
    case arrow::Type::FIXED_SIZE_BINARY:
      return static_cast<const arrow::FixedSizeBinaryArray&>(array).GetView(row);
    default:
      return {};
  }
}

template <typename Char>
int get_bytes(NVArrowBatch* batch, int column, int64_t row, const Char** out, int32_t* length,
              std::initializer_list<arrow::Type::type> accepted) {
  const arrow::Array* array = checked(batch, column, row, accepted);
  if (array == nullptr) return -1;
  if (cell_is_null(*array, row)) return 0;
  const std::string_view view = bytes_of(*array, row);
  if (out != nullptr) *out = reinterpret_cast<const Char*>(view.data());
  if (length != nullptr) *length = clamp_length(static_cast<int64_t>(view.size()));
  return 1;
}

}  // namespace

extern "C" {

int nv_is_null(NVArrowBatch* batch, int column, int64_t row) {
  const arrow::Array* array = cached_column(batch, column);
  if (array == nullptr || row < 0 || row >= array->length()) return 1;
  return cell_is_null(*array, row) ? 1 : 0;
}

int nv_get_int8(NVArrowBatch* b, int c, int64_t r, int8_t* out) {
  return get_fixed(b, c, r, out, {arrow::Type::INT8});
}
int nv_get_int16(NVArrowBatch* b, int c, int64_t r, int16_t* out) {
  return get_fixed(b, c, r, out, {arrow::Type::INT16});
}
int nv_get_int32(NVArrowBatch* b, int c, int64_t r, int32_t* out) {
  return get_fixed(b, c, r, out, {arrow::Type::INT32});
}
int nv_get_int64(NVArrowBatch* b, int c, int64_t r, int64_t* out) {
  return get_fixed(b, c, r, out, {arrow::Type::INT64});
}
int nv_get_uint8(NVArrowBatch* b, int c, int64_t r, uint8_t* out) {
  return get_fixed(b, c, r, out, {arrow::Type::UINT8});
}
int nv_get_uint16(NVArrowBatch* b, int c, int64_t r, uint16_t* out) {
  return get_fixed(b, c, r, out, {arrow::Type::UINT16});
}
int nv_get_uint32(NVArrowBatch* b, int c, int64_t r, uint32_t* out) {
  return get_fixed(b, c, r, out, {arrow::Type::UINT32});
}
int nv_get_uint64(NVArrowBatch* b, int c, int64_t r, uint64_t* out) {
  return get_fixed(b, c, r, out, {arrow::Type::UINT64});
}
int nv_get_float32(NVArrowBatch* b, int c, int64_t r, float* out) {
  return get_fixed(b, c, r, out, {arrow::Type::FLOAT});
}
int nv_get_float64(NVArrowBatch* b, int c, int64_t r, double* out) {
  return get_fixed(b, c, r, out, {arrow::Type::DOUBLE});
}
int nv_get_date32(NVArrowBatch* b, int c, int64_t r, int32_t* out) {
  return get_fixed(b, c, r, out, {arrow::Type::DATE32});
}
int nv_get_date64(NVArrowBatch* b, int c, int64_t r, int64_t* out) {
  return get_fixed(b, c, r, out, {arrow::Type::DATE64});
}
int nv_get_time32(NVArrowBatch* b, int c, int64_t r, int32_t* out) {
  return get_fixed(b, c, r, out, {arrow::Type::TIME32});
}
int nv_get_time64(NVArrowBatch* b, int c, int64_t r, int64_t* out) {
  return get_fixed(b, c, r, out, {arrow::Type::TIME64});
}
int nv_get_timestamp(NVArrowBatch* b, int c, int64_t r, int64_t* out) {
  return get_fixed(b, c, r, out, {arrow::Type::TIMESTAMP});
}

int nv_get_bool(NVArrowBatch* b, int c, int64_t r, int32_t* out) {
  const arrow::Array* array = checked(b, c, r, {arrow::Type::BOOL});
  if (array == nullptr) return -1;
  if (cell_is_null(*array, r)) return 0;
  if (out != nullptr) *out = static_cast<const arrow::BooleanArray*>(array)->Value(r) ? 1 : 0;
  return 1;
}

int nv_get_decimal128(NVArrowBatch* b, int c, int64_t r, uint8_t out[16]) {
  return get_decimal<16>(b, c, r, out, arrow::Type::DECIMAL128);
}
int nv_get_decimal256(NVArrowBatch* b, int c, int64_t r, uint8_t out[32]) {
  return get_decimal<32>(b, c, r, out, arrow::Type::DECIMAL256);
}

int nv_get_utf8(NVArrowBatch* b, int c, int64_t r, const char** out, int32_t* length) {
  return get_bytes(b, c, r, out, length,
                   {arrow::Type::STRING, arrow::Type::LARGE_STRING, arrow::Type::STRING_VIEW});
}

int nv_get_binary(NVArrowBatch* b, int c, int64_t r, const uint8_t** out, int32_t* length) {
  return get_bytes(b, c, r, out, length,
                   {arrow::Type::BINARY, arrow::Type::LARGE_BINARY,
                    arrow::Type::FIXED_SIZE_BINARY, arrow::Type::BINARY_VIEW});
}

}  // extern "C"
