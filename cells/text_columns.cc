// Building each column's text once per batch: direct writers for floats, binary and decimals,
// JSON for nested values, Arrow's cast for everything else.
#include <arrow/compute/api.h>
#include <arrow/util/bitmap_ops.h>

#include <cstring>
#include <limits>

#include "cells/decimal_text_internal.h"
#include "cells/float_text_internal.h"
#include "cells/calendar_internal.h"
#include "cells/hex_encode_internal.h"
#include "cells/temporal_text_internal.h"
#include "cells/text_columns_internal.h"

namespace norvale::cells {
namespace {

bool is_cast_type_with_ascii_text(arrow::Type::type id) {
  switch (id) {
    case arrow::Type::BOOL:
    case arrow::Type::INT8: case arrow::Type::INT16:
    case arrow::Type::INT32: case arrow::Type::INT64:
    case arrow::Type::UINT8: case arrow::Type::UINT16:
    case arrow::Type::UINT32: case arrow::Type::UINT64:
    case arrow::Type::HALF_FLOAT:
    case arrow::Type::DURATION:
      return true;
    default:
      return false;
  }
}

// Writes a utf8 column row by row into buffers sized up front (and grown when needed).
class TextColumnWriter {
 public:
  arrow::Status Init(int64_t length, int64_t reserve_bytes) {
    length_ = length;
    ARROW_ASSIGN_OR_RAISE(offsets_, arrow::AllocateBuffer((length + 1) * sizeof(int32_t)));
    ARROW_ASSIGN_OR_RAISE(data_, arrow::AllocateResizableBuffer(reserve_bytes));
    offset_values_ = reinterpret_cast<int32_t*>(offsets_->mutable_data());
    offset_values_[0] = 0;
    return arrow::Status::OK();
  }

  /// Room for n more bytes at the end of the text.
  arrow::Result<char*> Reserve(int64_t n) {
    if (size_ + n > std::numeric_limits<int32_t>::max()) {
      return arrow::Status::CapacityError("text column exceeds 2 GiB");
    }
    if (size_ + n > data_->capacity()) {
      ARROW_RETURN_NOT_OK(data_->Reserve(std::max<int64_t>(size_ + n, data_->capacity() * 2)));
    }
    return reinterpret_cast<char*>(data_->mutable_data()) + size_;
  }

  arrow::Status Append(const char* text, int64_t n) {
    ARROW_ASSIGN_OR_RAISE(char* p, Reserve(n));
    std::memcpy(p, text, n);
    size_ += n;
    return arrow::Status::OK();
  }

  void Commit(int64_t n) { size_ += n; }
  void EndRow() { offset_values_[++row_] = static_cast<int32_t>(size_); }

  /// The finished column, with the source's validity.
  arrow::Result<std::shared_ptr<arrow::StringArray>> Finish(const arrow::Array& source) {
    ARROW_RETURN_NOT_OK(data_->Resize(size_, /*shrink_to_fit=*/false));
    std::shared_ptr<arrow::Buffer> validity;
    const int64_t nulls = source.null_count();
    if (nulls > 0 && source.null_bitmap_data() != nullptr) {
      if (source.offset() % 8 == 0) {
        validity = arrow::SliceBuffer(source.data()->buffers[0], source.offset() / 8);
      } else {
        ARROW_ASSIGN_OR_RAISE(validity,
                              arrow::internal::CopyBitmap(arrow::default_memory_pool(),
                                                          source.null_bitmap_data(),
                                                          source.offset(), source.length()));
      }
    }
    return std::make_shared<arrow::StringArray>(length_, std::move(offsets_), std::move(data_),
                                                std::move(validity), validity ? nulls : 0);
  }

 private:
  int64_t length_ = 0;
  int64_t row_ = 0;
  int64_t size_ = 0;
  std::shared_ptr<arrow::Buffer> offsets_;
  std::shared_ptr<arrow::ResizableBuffer> data_;
  int32_t* offset_values_ = nullptr;
};

template <typename ArrayType>
arrow::Result<std::shared_ptr<arrow::StringArray>> float_strings(const ArrayType& array,
                                                                 int64_t per_value) {
  TextColumnWriter writer;
  ARROW_RETURN_NOT_OK(writer.Init(array.length(), array.length() * per_value));
  const auto* values = array.raw_values();
  for (int64_t row = 0; row < array.length(); ++row) {
    if (!array.IsNull(row)) {
      ARROW_ASSIGN_OR_RAISE(char* p, writer.Reserve(kMaxFloatText));
      writer.Commit(static_cast<int64_t>(format_general(values[row], p)));
    }
    writer.EndRow();
  }
  return writer.Finish(array);
}

template <typename ArrayType>
arrow::Result<std::shared_ptr<arrow::StringArray>> hex_strings(const ArrayType& array) {
  int64_t total = 0;
  for (int64_t row = 0; row < array.length(); ++row) {
    if (!array.IsNull(row)) total += 2 + 2 * static_cast<int64_t>(array.GetView(row).size());
  }
  if (total > std::numeric_limits<int32_t>::max()) {
    return arrow::Status::CapacityError("hexadecimal text exceeds 2 GiB");
  }
  TextColumnWriter writer;
  ARROW_RETURN_NOT_OK(writer.Init(array.length(), total));
  for (int64_t row = 0; row < array.length(); ++row) {
    if (!array.IsNull(row)) {
      const std::string_view bytes = array.GetView(row);
      const auto n = static_cast<int64_t>(bytes.size());
      ARROW_ASSIGN_OR_RAISE(char* p, writer.Reserve(2 + 2 * n));
      p[0] = '0';
      p[1] = 'x';
      hex_encode_bytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), p + 2);
      writer.Commit(2 + 2 * n);
    }
    writer.EndRow();
  }
  return writer.Finish(array);
}

// Text through one of the temporal formatters, `format(row, text)` giving the length or -1.
// A value the formatter refuses fails the whole column: the per-cell path then reports that
// cell as an error instead of writing text that looks like data.
template <typename Format>
arrow::Result<std::shared_ptr<arrow::StringArray>> formatted_strings(const arrow::Array& array,
                                                                     Format&& format) {
  TextColumnWriter writer;
  ARROW_RETURN_NOT_OK(writer.Init(array.length(), array.length() * 24));
  char text[kMaxTemporalText];
  for (int64_t row = 0; row < array.length(); ++row) {
    if (!array.IsNull(row)) {
      const int n = format(row, text);
      if (n < 0) {
        return arrow::Status::Invalid("value out of range in row ", row, " of ",
                                      array.type()->ToString());
      }
      ARROW_RETURN_NOT_OK(writer.Append(text, n));
    }
    writer.EndRow();
  }
  return writer.Finish(array);
}

arrow::Result<std::shared_ptr<arrow::StringArray>> temporal_strings(const arrow::Array& array) {
  switch (array.type_id()) {
    case arrow::Type::DATE32: {
      const auto& a = static_cast<const arrow::Date32Array&>(array);
      return formatted_strings(array, [&](int64_t row, char* out) {
        return format_date_text(a.Value(row), out);
      });
    }
    case arrow::Type::DATE64: {
      const auto& a = static_cast<const arrow::Date64Array&>(array);
      return formatted_strings(array, [&](int64_t row, char* out) {
        return format_date_text(floor_div(a.Value(row), 86400000), out);
      });
    }
    case arrow::Type::TIME32:
    case arrow::Type::TIME64: {
      const auto unit = static_cast<const arrow::TimeType&>(*array.type()).unit();
      return formatted_strings(array, [&](int64_t row, char* out) {
        const int64_t v = array.type_id() == arrow::Type::TIME32
                              ? static_cast<const arrow::Time32Array&>(array).Value(row)
                              : static_cast<const arrow::Time64Array&>(array).Value(row);
        return format_time_text(v, unit, out);
      });
    }
    case arrow::Type::TIMESTAMP: {
      const auto& type = static_cast<const arrow::TimestampType&>(*array.type());
      const auto& a = static_cast<const arrow::TimestampArray&>(array);
      return formatted_strings(array, [&](int64_t row, char* out) {
        return format_timestamp_text(a.Value(row), type.unit(), !type.timezone().empty(), out);
      });
    }
    default: {
      return formatted_strings(array, [&](int64_t row, char* out) {
        return format_interval_cell(array, row, out);
      });
    }
  }
}

// A union's text: each child's text column, picked row by row.
arrow::Result<std::shared_ptr<arrow::StringArray>> union_strings(const arrow::UnionArray& u,
                                                                 bool& ascii) {
  std::vector<std::shared_ptr<arrow::StringArray>> children(u.num_fields());
  ascii = true;
  for (int i = 0; i < u.num_fields(); ++i) {
    bool child_ascii = false;
    ARROW_ASSIGN_OR_RAISE(children[i], build_text(u.field(i), child_ascii));
    ascii = ascii && child_ascii;
  }
  const bool dense = u.mode() == arrow::UnionMode::DENSE;
  arrow::StringBuilder builder;
  ARROW_RETURN_NOT_OK(builder.Reserve(u.length()));
  for (int64_t row = 0; row < u.length(); ++row) {
    const arrow::StringArray& text = *children[u.child_id(row)];
    const int64_t at =
        dense ? static_cast<const arrow::DenseUnionArray&>(u).value_offset(row) : row;
    if (text.IsNull(at)) {
      ARROW_RETURN_NOT_OK(builder.AppendNull());
    } else {
      ARROW_RETURN_NOT_OK(builder.Append(text.GetView(at)));
    }
  }
  std::shared_ptr<arrow::StringArray> out;
  ARROW_RETURN_NOT_OK(builder.Finish(&out));
  return out;
}

}  // namespace

// The text column of one source column and whether its text is known to be ASCII.
arrow::Result<std::shared_ptr<arrow::StringArray>> build_text(
    const std::shared_ptr<arrow::Array>& array, bool& ascii) {
  ascii = false;
  const arrow::Type::type id = array->type_id();
  if (is_nested_type(id)) return build_nested_string_array(*array);
  switch (id) {
    case arrow::Type::STRING:
      return std::static_pointer_cast<arrow::StringArray>(array);
    case arrow::Type::DATE32:
    case arrow::Type::DATE64:
    case arrow::Type::TIME32:
    case arrow::Type::TIME64:
    case arrow::Type::TIMESTAMP:
    case arrow::Type::INTERVAL_MONTHS:
    case arrow::Type::INTERVAL_DAY_TIME:
    case arrow::Type::INTERVAL_MONTH_DAY_NANO:
      ascii = true;
      return temporal_strings(*array);
    case arrow::Type::DICTIONARY: {
      // The dictionary's own text, taken by the indices (of any integer width): a value
      // renders as it would in a plain column.
      const auto& dict = static_cast<const arrow::DictionaryArray&>(*array);
      ARROW_ASSIGN_OR_RAISE(auto values, build_text(dict.dictionary(), ascii));
      ARROW_RETURN_NOT_OK(ensure_compute_initialized());
      ARROW_ASSIGN_OR_RAISE(arrow::Datum taken, arrow::compute::Take(values, dict.indices()));
      return std::static_pointer_cast<arrow::StringArray>(taken.make_array());
    }
    case arrow::Type::RUN_END_ENCODED: {
      ARROW_RETURN_NOT_OK(ensure_compute_initialized());
      ARROW_ASSIGN_OR_RAISE(arrow::Datum plain,
                            arrow::compute::CallFunction("run_end_decode", {array}));
      return build_text(plain.make_array(), ascii);
    }
    case arrow::Type::SPARSE_UNION:
    case arrow::Type::DENSE_UNION:
      return union_strings(static_cast<const arrow::UnionArray&>(*array), ascii);
    case arrow::Type::FLOAT:
    case arrow::Type::DOUBLE: {
      ascii = true;
      auto direct = build_float_string_array(*array);
      if (direct.ok()) return direct;
      return build_string_column_via_cast(array);
    }
    case arrow::Type::BINARY:
    case arrow::Type::LARGE_BINARY:
    case arrow::Type::FIXED_SIZE_BINARY:
    case arrow::Type::BINARY_VIEW:
      ascii = true;
      return build_binary_hex_array(*array);
    case arrow::Type::DECIMAL128:
    case arrow::Type::DECIMAL256: {
      ascii = true;
      auto direct = build_decimal_string_array_direct(*array);
      if (direct.ok()) return direct;
      return build_string_column_via_cast(array);
    }
    default:
      ascii = is_cast_type_with_ascii_text(id);
      return build_string_column_via_cast(array);
  }
}

arrow::Result<std::shared_ptr<arrow::StringArray>> build_string_column_via_cast(
    const std::shared_ptr<arrow::Array>& array) {
  ARROW_RETURN_NOT_OK(ensure_compute_initialized());
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Array> text,
                        arrow::compute::Cast(*array, arrow::utf8(),
                                             arrow::compute::CastOptions::Safe()));
  return std::static_pointer_cast<arrow::StringArray>(std::move(text));
}

arrow::Result<std::shared_ptr<arrow::StringArray>> build_float_string_array(
    const arrow::Array& array) {
  if (array.type_id() == arrow::Type::FLOAT) {
    return float_strings(static_cast<const arrow::FloatArray&>(array), 24);
  }
  if (array.type_id() == arrow::Type::DOUBLE) {
    return float_strings(static_cast<const arrow::DoubleArray&>(array), 32);
  }
  return arrow::Status::TypeError("not a floating-point column");
}

arrow::Result<std::shared_ptr<arrow::StringArray>> build_binary_hex_array(
    const arrow::Array& array) {
  switch (array.type_id()) {
    case arrow::Type::BINARY:
      return hex_strings(static_cast<const arrow::BinaryArray&>(array));
    case arrow::Type::LARGE_BINARY:
      return hex_strings(static_cast<const arrow::LargeBinaryArray&>(array));
    case arrow::Type::FIXED_SIZE_BINARY:
      return hex_strings(static_cast<const arrow::FixedSizeBinaryArray&>(array));
    case arrow::Type::BINARY_VIEW:
      return hex_strings(static_cast<const arrow::BinaryViewArray&>(array));
    default:
      return arrow::Status::TypeError("not a binary column");
  }
}

arrow::Result<std::shared_ptr<arrow::StringArray>> build_decimal_string_array_direct(
    const arrow::Array& array) {
  const arrow::Type::type id = array.type_id();
  if (id != arrow::Type::DECIMAL128 && id != arrow::Type::DECIMAL256) {
    return arrow::Status::TypeError("not a decimal column");
  }
  const auto& fixed = static_cast<const arrow::FixedSizeBinaryArray&>(array);
  const int32_t scale = static_cast<const arrow::DecimalType&>(*array.type()).scale();
  const size_t width = id == arrow::Type::DECIMAL128 ? 16 : 32;
  TextColumnWriter writer;
  // Up to 39 (or 77) digits, a sign, a point and "0." padding; most values need far less.
  ARROW_RETURN_NOT_OK(writer.Init(array.length(), array.length() * 24));
  std::string text;
  for (int64_t row = 0; row < array.length(); ++row) {
    if (!array.IsNull(row)) {
      text.clear();
      format_decimal_le(text, fixed.GetValue(row), width, scale);
      ARROW_RETURN_NOT_OK(writer.Append(text.data(), static_cast<int64_t>(text.size())));
    }
    writer.EndRow();
  }
  return writer.Finish(array);
}

arrow::Result<std::shared_ptr<arrow::StringArray>> build_nested_string_array(
    const arrow::Array& array) {
  TextColumnWriter writer;
  ARROW_RETURN_NOT_OK(writer.Init(array.length(), array.length() * 16));
  std::string json;
  for (int64_t row = 0; row < array.length(); ++row) {
    if (!cell_is_null(array, row)) {
      // A cell with no text leaves the column to the cell-by-cell path, which reports it.
      if (!nested_cell_json(array, row, &json)) {
        return arrow::Status::Invalid("a nested value has no text");
      }
      ARROW_RETURN_NOT_OK(writer.Append(json.data(), static_cast<int64_t>(json.size())));
    }
    writer.EndRow();
  }
  return writer.Finish(array);
}

const arrow::StringArray* ensure_string_column(NVArrowBatch* batch, int column) {
  if (cached_column(batch, column) == nullptr) return nullptr;
  const size_t columns = batch->column_arrays.size();
  if (batch->text_columns.empty()) {
    batch->text_columns.resize(columns);
    batch->ascii_flags.assign(columns, kAsciiUnknown);
    batch->text_unavailable.assign(columns, 0);
  }
  if (batch->text_columns[column] != nullptr) return batch->text_columns[column].get();
  // A column that could not be built is not tried again for every cell.
  if (batch->text_unavailable[column]) return nullptr;
  bool ascii = false;
  arrow::Result<std::shared_ptr<arrow::StringArray>> text;
  try {
    text = build_text(batch->column_arrays[column], ascii);
  } catch (const std::exception& e) {
    text = arrow::Status::UnknownError(e.what());
  }
  if (!text.ok()) {
    batch->text_unavailable[column] = 1;
    return nullptr;
  }
  batch->text_columns[column] = *std::move(text);
  if (ascii) batch->ascii_flags[column] = 1;
  return batch->text_columns[column].get();
}

}  // namespace norvale::cells
