// Cell text for callers that read every cell as characters: the cached text column first,
// the per-cell formatters when no text column can be built.
#include <charconv>
#include <cstring>
#include <string>

#include "cells/decimal_text_internal.h"
#include "cells/float_text_internal.h"
#include "cells/hex_encode_internal.h"
#include "cells/temporal_text_internal.h"
#include "cells/text_columns_internal.h"

namespace norvale::cells {
namespace {

// Copies what fits (always NUL-terminated) and answers the whole text's length.
int32_t copy_out(const char* text, size_t length, char* buffer, size_t capacity) {
  if (buffer != nullptr && capacity > 0) {
    const size_t n = length < capacity ? length : capacity - 1;
    if (n > 0) std::memcpy(buffer, text, n);
    buffer[n] = '\0';
  }
  return length > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(length);
}

int32_t null_cell(char* buffer, size_t capacity) { return copy_out("", 0, buffer, capacity); }

template <typename ArrayType>
int32_t integer_cell(const arrow::Array* array, int64_t row, char* buffer, size_t capacity) {
  char text[24];
  const auto r =
      std::to_chars(text, text + sizeof(text), static_cast<const ArrayType*>(array)->Value(row));
  return copy_out(text, static_cast<size_t>(r.ptr - text), buffer, capacity);
}

// Binary as "0x" and hexadecimal pairs, written as far as the buffer allows.
int32_t copy_hex(const uint8_t* data, int32_t length, char* buffer, size_t capacity) {
  const int64_t total = 2 + 2 * static_cast<int64_t>(length);
  if (buffer != nullptr && capacity > 0) {
    std::string text(static_cast<size_t>(total), '\0');
    text[0] = '0';
    text[1] = 'x';
    hex_encode_bytes(data, static_cast<size_t>(length), text.data() + 2);
    copy_out(text.data(), text.size(), buffer, capacity);
  }
  return total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
}

}  // namespace

int32_t nv_format_cell_legacy_path(NVArrowBatch* batch, int column, int64_t row, char* buffer,
                                size_t capacity) {
  const arrow::Array* array = cached_column(batch, column);
  if (array == nullptr || row < 0 || row >= array->length()) return -1;
  if (cell_is_null(*array, row)) return null_cell(buffer, capacity);
  if (is_nested_type(array->type_id())) {
    std::string json;
    if (!nested_cell_json(*array, row, &json)) return -1;
    return copy_out(json.data(), json.size(), buffer, capacity);
  }
  // The array's own type decides, so a schema that disagrees cannot mislead the casts below.
  switch (column_type_code(*array->type())) {
    case NV_COL_BOOL: {
      int32_t v = 0;
      nv_get_bool(batch, column, row, &v);
      return copy_out(v ? "true" : "false", v ? 4 : 5, buffer, capacity);
    }
    case NV_COL_INT8: return integer_cell<arrow::Int8Array>(array, row, buffer, capacity);
    case NV_COL_INT16: return integer_cell<arrow::Int16Array>(array, row, buffer, capacity);
    case NV_COL_INT32: return integer_cell<arrow::Int32Array>(array, row, buffer, capacity);
    case NV_COL_INT64: return integer_cell<arrow::Int64Array>(array, row, buffer, capacity);
    case NV_COL_UINT8: return integer_cell<arrow::UInt8Array>(array, row, buffer, capacity);
    case NV_COL_UINT16: return integer_cell<arrow::UInt16Array>(array, row, buffer, capacity);
    case NV_COL_UINT32: return integer_cell<arrow::UInt32Array>(array, row, buffer, capacity);
    case NV_COL_UINT64: return integer_cell<arrow::UInt64Array>(array, row, buffer, capacity);
    case NV_COL_FLOAT32:
    case NV_COL_FLOAT64: {
      char text[kMaxFloatText];
      const size_t n =
          array->type_id() == arrow::Type::FLOAT
              ? format_general(static_cast<const arrow::FloatArray*>(array)->Value(row), text)
              : format_general(static_cast<const arrow::DoubleArray*>(array)->Value(row), text);
      return copy_out(text, n, buffer, capacity);
    }
    case NV_COL_UTF8:
    case NV_COL_LARGE_UTF8: {
      const char* text = nullptr;
      int32_t length = 0;
      if (nv_get_utf8(batch, column, row, &text, &length) != 1) return -1;
      return copy_out(text, static_cast<size_t>(length), buffer, capacity);
    }
    case NV_COL_BINARY:
    case NV_COL_LARGE_BINARY:
    case NV_COL_FIXED_BINARY: {
      const uint8_t* data = nullptr;
      int32_t length = 0;
      if (nv_get_binary(batch, column, row, &data, &length) != 1) return -1;
      return copy_hex(data, length, buffer, capacity);
    }
    case NV_COL_DATE32: return nv_format_date32(batch, column, row, buffer, capacity);
    case NV_COL_TIME32:
    case NV_COL_TIME64: return nv_format_time(batch, column, row, buffer, capacity);
    case NV_COL_TIMESTAMP: return nv_format_timestamp(batch, column, row, buffer, capacity);
    case NV_COL_DECIMAL128: return nv_format_decimal128(batch, column, row, buffer, capacity);
    case NV_COL_DECIMAL256: {
      uint8_t bytes[32];
      if (nv_get_decimal256(batch, column, row, bytes) != 1) return -1;
      std::string text;
      format_decimal_le(text, bytes, 32,
                        static_cast<const arrow::DecimalType&>(*array->type()).scale());
      return copy_out(text.data(), text.size(), buffer, capacity);
    }
    default:
      // No text at all rather than a placeholder that reads like a value.
      return -1;
  }
}

}  // namespace norvale::cells

using namespace norvale::cells;

extern "C" {

int32_t nv_format_cell(NVArrowBatch* batch, int column, int64_t row, char* buffer,
                       size_t capacity) {
  if (batch == nullptr) return -1;
  try {
    const arrow::Array* source = cached_column(batch, column);
    if (source == nullptr || row < 0 || row >= source->length()) return -1;
    const arrow::StringArray* text = ensure_string_column(batch, column);
    if (text == nullptr) return nv_format_cell_legacy_path(batch, column, row, buffer, capacity);
    if (cell_is_null(*source, row) || text->IsNull(row)) return null_cell(buffer, capacity);
    const std::string_view view = text->GetView(row);
    return copy_out(view.data(), view.size(), buffer, capacity);
  } catch (...) {
    return -1;
  }
}

int nv_batch_string_view(NVArrowBatch* batch, int column, int64_t row, const char** out,
                         int32_t* length) {
  if (out != nullptr) *out = nullptr;
  if (length != nullptr) *length = 0;
  if (batch == nullptr) return -1;
  try {
    const arrow::Array* source = cached_column(batch, column);
    if (source == nullptr || row < 0 || row >= source->length()) return -1;
    const arrow::StringArray* text = ensure_string_column(batch, column);
    if (text == nullptr) return -1;
    if (cell_is_null(*source, row) || text->IsNull(row)) return 0;
    const std::string_view view = text->GetView(row);
    if (out != nullptr) *out = view.data();
    if (length != nullptr) *length = static_cast<int32_t>(view.size());
    return 1;
  } catch (...) {
    return -1;
  }
}

int nv_batch_string_is_ascii(NVArrowBatch* batch, int column) {
  if (batch == nullptr) return -1;
  try {
    const arrow::StringArray* text = ensure_string_column(batch, column);
    if (text == nullptr) return -1;
    uint8_t& flag = batch->ascii_flags[column];
    if (flag == 0 || flag == 1) return flag;
    const int64_t n = text->length();
    const uint8_t* begin = text->value_data() != nullptr ? text->value_data()->data() : nullptr;
    flag = 1;
    if (begin != nullptr && n > 0) {
      const uint8_t* p = begin + text->value_offset(0);
      const uint8_t* end = begin + text->value_offset(n);
      uint8_t any = 0;
      for (; p < end; ++p) any |= *p;
      flag = (any & 0x80) != 0 ? 0 : 1;
    }
    return flag;
  } catch (...) {
    return -1;
  }
}

int32_t nv_format_decimal128(NVArrowBatch* batch, int column, int64_t row, char* buffer,
                             size_t capacity) {
  uint8_t bytes[16];
  const int rc = nv_get_decimal128(batch, column, row, bytes);
  if (rc < 0) return -1;
  if (rc == 0) return null_cell(buffer, capacity);
  // The accessor checked the array's type; its scale is read from there.
  const int32_t scale =
      static_cast<const arrow::DecimalType&>(*cached_column(batch, column)->type()).scale();
  try {
    std::string text;
    format_decimal_le(text, bytes, 16, scale);
    return copy_out(text.data(), text.size(), buffer, capacity);
  } catch (...) {
    return -1;
  }
}

int32_t nv_format_timestamp(NVArrowBatch* batch, int column, int64_t row, char* buffer,
                            size_t capacity) {
  int64_t value = 0;
  const int rc = nv_get_timestamp(batch, column, row, &value);
  if (rc < 0) return -1;
  if (rc == 0) return null_cell(buffer, capacity);
  const auto& type =
      static_cast<const arrow::TimestampType&>(*cached_column(batch, column)->type());
  char text[kMaxTemporalText];
  const int n = format_timestamp_text(value, type.unit(), !type.timezone().empty(), text);
  if (n < 0) return -1;
  return copy_out(text, static_cast<size_t>(n), buffer, capacity);
}

int32_t nv_format_date32(NVArrowBatch* batch, int column, int64_t row, char* buffer,
                         size_t capacity) {
  int32_t days = 0;
  const int rc = nv_get_date32(batch, column, row, &days);
  if (rc < 0) return -1;
  if (rc == 0) return null_cell(buffer, capacity);
  char text[kMaxTemporalText];
  const int n = format_date_text(days, text);
  if (n < 0) return -1;
  return copy_out(text, static_cast<size_t>(n), buffer, capacity);
}

int32_t nv_format_time(NVArrowBatch* batch, int column, int64_t row, char* buffer,
                       size_t capacity) {
  const arrow::Array* array = cached_column(batch, column);
  if (array == nullptr) return -1;
  int64_t value = 0;
  int rc;
  if (array->type_id() == arrow::Type::TIME32) {
    int32_t v32 = 0;
    rc = nv_get_time32(batch, column, row, &v32);
    value = v32;
  } else {
    rc = nv_get_time64(batch, column, row, &value);
  }
  if (rc < 0) return -1;
  if (rc == 0) return null_cell(buffer, capacity);
  const auto unit = static_cast<const arrow::TimeType&>(*array->type()).unit();
  char text[kMaxTemporalText];
  const int n = format_time_text(value, unit, text);
  if (n < 0) return -1;
  return copy_out(text, static_cast<size_t>(n), buffer, capacity);
}

}  // extern "C"
