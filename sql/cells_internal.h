// Reading cells of text columns (the three Arrow text layouts alike) and integer columns.
#pragma once

#include <cstdint>
#include <string_view>

#include <arrow/api.h>

namespace nv_sql {

/// Whether arrays of `type` hold text: utf8, large_utf8 or utf8_view.
inline bool is_text(const arrow::DataType& type) {
  return type.id() == arrow::Type::STRING || type.id() == arrow::Type::LARGE_STRING ||
         type.id() == arrow::Type::STRING_VIEW;
}

/// The text of row `row` of an array for which is_text holds (empty for a null row).
inline std::string_view text_at(const arrow::Array& a, int64_t row) {
  switch (a.type_id()) {
    case arrow::Type::STRING:
      return static_cast<const arrow::StringArray&>(a).GetView(row);
    case arrow::Type::LARGE_STRING:
      return static_cast<const arrow::LargeStringArray&>(a).GetView(row);
    default:
      return static_cast<const arrow::StringViewArray&>(a).GetView(row);
  }
}

/// Row `row` of an integer array (any width, signed or not; UINT64 values past INT64_MAX wrap)
/// widened to 64 bits; 0 for a null row.
inline int64_t integer_at(const arrow::Array& a, int64_t row) {
  switch (a.type_id()) {
    case arrow::Type::INT8:
      return static_cast<const arrow::Int8Array&>(a).Value(row);
    case arrow::Type::INT16:
      return static_cast<const arrow::Int16Array&>(a).Value(row);
    case arrow::Type::INT32:
      return static_cast<const arrow::Int32Array&>(a).Value(row);
    case arrow::Type::INT64:
      return static_cast<const arrow::Int64Array&>(a).Value(row);
    case arrow::Type::UINT8:
      return static_cast<const arrow::UInt8Array&>(a).Value(row);
    case arrow::Type::UINT16:
      return static_cast<const arrow::UInt16Array&>(a).Value(row);
    case arrow::Type::UINT32:
      return static_cast<const arrow::UInt32Array&>(a).Value(row);
    default:
      return static_cast<int64_t>(static_cast<const arrow::UInt64Array&>(a).Value(row));
  }
}

}  // namespace nv_sql
