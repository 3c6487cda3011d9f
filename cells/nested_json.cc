// JSON text of nested cells.
#include <arrow/util/float16.h>
#include <arrow/util/ree_util.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "cells/calendar_internal.h"
#include "cells/decimal_text_internal.h"
#include "cells/float_text_internal.h"
#include "cells/hex_encode_internal.h"
#include "cells/temporal_text_internal.h"
#include "cells/text_columns_internal.h"

namespace norvale::cells {
namespace {

template <size_t N>
void put_literal(JsonCtx& ctx, const char (&text)[N]) {
  ctx.put(text, N - 1);
}

template <typename T>
void put_integer(JsonCtx& ctx, T value) {
  char text[24];
  const auto result = std::to_chars(text, text + sizeof(text), value);
  ctx.put(text, static_cast<size_t>(result.ptr - text));
}

void put_hex_string(JsonCtx& ctx, std::string_view bytes) {
  std::string text(2 + 2 * bytes.size(), '\0');
  text[0] = '0';
  text[1] = 'x';
  hex_encode_bytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), text.data() + 2);
  emit_json_string(ctx, text.data(), text.size());
}

// Values [begin, end) of a list's child array.
void put_list(JsonCtx& ctx, const arrow::Array& values, int64_t begin, int64_t end, int depth) {
  ctx.put('[');
  for (int64_t i = begin; i < end && !ctx.truncated; ++i) {
    if (i > begin) ctx.put(',');
    emit_json_value(ctx, values, i, depth - 1);
  }
  ctx.put(']');
}

template <typename ListType>
void put_list(JsonCtx& ctx, const ListType& list, int64_t row, int depth) {
  const int64_t begin = list.value_offset(row);
  put_list(ctx, *list.values(), begin, begin + list.value_length(row), depth);
}

// A temporal or interval text as a JSON string; a value out of range fails the whole text.
template <typename Format>
void put_text(JsonCtx& ctx, Format&& format) {
  char text[kMaxTemporalText + 2];
  const int n = format(text + 1);
  if (n < 0) {
    ctx.failed = true;
    return;
  }
  text[0] = '"';
  text[n + 1] = '"';
  ctx.put(text, static_cast<size_t>(n) + 2);
}

// Floats as their shortest text; NaN and the infinities as the strings "NaN", "Infinity" and
// "-Infinity" (JSON has no such numbers), the same words the cell text uses.
template <typename T>
void put_float(JsonCtx& ctx, T value) {
  char text[kMaxFloatText + 2];
  const size_t n = format_general(value, text + 1);
  if (std::isfinite(value)) {
    ctx.put(text + 1, n);
    return;
  }
  text[0] = '"';
  text[n + 1] = '"';
  ctx.put(text, n + 2);
}

void put_map(JsonCtx& ctx, const arrow::MapArray& map, int64_t row, int depth) {
  ctx.put('{');
  const arrow::Array& keys = *map.keys();
  const arrow::Array& items = *map.items();
  for (auto i = map.value_offset(row); i < map.value_offset(row + 1) && !ctx.truncated; ++i) {
    if (i > map.value_offset(row)) ctx.put(',');
    const arrow::Type::type key_type = keys.type_id();
    if ((key_type == arrow::Type::STRING || key_type == arrow::Type::STRING_VIEW) &&
        !cell_is_null(keys, i)) {
      const std::string_view key =
          key_type == arrow::Type::STRING
              ? static_cast<const arrow::StringArray&>(keys).GetView(i)
              : static_cast<const arrow::StringViewArray&>(keys).GetView(i);
      emit_json_string(ctx, key.data(), key.size());
    } else {
      // Any other key is written as a JSON string of its own JSON text.
      JsonCtx key_ctx(kJsonMaxChars);
      emit_json_value(key_ctx, keys, i, 1);
      if (key_ctx.failed) ctx.failed = true;
      emit_json_string(ctx, key_ctx.out.data(), key_ctx.out.size());
    }
    ctx.put(':');
    emit_json_value(ctx, items, i, depth - 1);
  }
  ctx.put('}');
}


}  // namespace

bool is_nested_type(arrow::Type::type id) {
  switch (id) {
    case arrow::Type::LIST:
    case arrow::Type::LARGE_LIST:
    case arrow::Type::LIST_VIEW:
    case arrow::Type::LARGE_LIST_VIEW:
    case arrow::Type::FIXED_SIZE_LIST:
    case arrow::Type::STRUCT:
    case arrow::Type::MAP:
      return true;
    default:
      return false;
  }
}

bool nested_cell_json(const arrow::Array& array, int64_t row, std::string* out) {
  JsonCtx ctx(kJsonMaxChars);
  emit_json_value(ctx, array, row, kJsonMaxDepth);
  if (ctx.failed) return false;
  ctx.out.resize(std::min(ctx.out.size(), kJsonMaxCellBytes));
  *out = std::move(ctx.out);
  return true;
}

void emit_json_value(JsonCtx& ctx, const arrow::Array& array, int64_t row, int depth) {
  if (ctx.truncated || ctx.failed) return;
  if (row < 0 || row >= array.length() || cell_is_null(array, row)) {
    put_literal(ctx, "null");
    return;
  }
  const arrow::Type::type id = array.type_id();
  if (is_nested_type(id) && depth < 1) {
    put_literal(ctx, "\"...\"");
    return;
  }
  switch (id) {
    case arrow::Type::BOOL:
      if (static_cast<const arrow::BooleanArray&>(array).Value(row)) {
        put_literal(ctx, "true");
      } else {
        put_literal(ctx, "false");
      }
      return;
    case arrow::Type::INT8:
      return put_integer(ctx, static_cast<const arrow::Int8Array&>(array).Value(row));
    case arrow::Type::INT16:
      return put_integer(ctx, static_cast<const arrow::Int16Array&>(array).Value(row));
    case arrow::Type::INT32:
      return put_integer(ctx, static_cast<const arrow::Int32Array&>(array).Value(row));
    case arrow::Type::INT64:
      return put_integer(ctx, static_cast<const arrow::Int64Array&>(array).Value(row));
    case arrow::Type::UINT8:
      return put_integer(ctx, static_cast<const arrow::UInt8Array&>(array).Value(row));
    case arrow::Type::UINT16:
      return put_integer(ctx, static_cast<const arrow::UInt16Array&>(array).Value(row));
    case arrow::Type::UINT32:
      return put_integer(ctx, static_cast<const arrow::UInt32Array&>(array).Value(row));
    case arrow::Type::UINT64:
      return put_integer(ctx, static_cast<const arrow::UInt64Array&>(array).Value(row));
    case arrow::Type::HALF_FLOAT:
      return put_float(ctx, arrow::util::Float16::FromBits(
                                static_cast<const arrow::HalfFloatArray&>(array).Value(row))
                                .ToFloat());
    case arrow::Type::FLOAT:
      return put_float(ctx, static_cast<const arrow::FloatArray&>(array).Value(row));
    case arrow::Type::DOUBLE:
      return put_float(ctx, static_cast<const arrow::DoubleArray&>(array).Value(row));
    case arrow::Type::DURATION:
      return put_integer(ctx, static_cast<const arrow::DurationArray&>(array).Value(row));
    case arrow::Type::STRING:
    case arrow::Type::LARGE_STRING:
    case arrow::Type::STRING_VIEW: {
      const std::string_view text =
          id == arrow::Type::STRING
              ? static_cast<const arrow::StringArray&>(array).GetView(row)
          : id == arrow::Type::LARGE_STRING
              ? static_cast<const arrow::LargeStringArray&>(array).GetView(row)
              : static_cast<const arrow::StringViewArray&>(array).GetView(row);
      emit_json_string(ctx, text.data(), text.size());
      return;
    }
    case arrow::Type::BINARY:
      return put_hex_string(ctx, static_cast<const arrow::BinaryArray&>(array).GetView(row));
    case arrow::Type::BINARY_VIEW:
      return put_hex_string(ctx, static_cast<const arrow::BinaryViewArray&>(array).GetView(row));
    case arrow::Type::LARGE_BINARY:
      return put_hex_string(ctx, static_cast<const arrow::LargeBinaryArray&>(array).GetView(row));
    case arrow::Type::FIXED_SIZE_BINARY:
      return put_hex_string(ctx,
                            static_cast<const arrow::FixedSizeBinaryArray&>(array).GetView(row));
    case arrow::Type::DATE32:
      return put_text(ctx, [&](char* out) {
        return format_date_text(static_cast<const arrow::Date32Array&>(array).Value(row), out);
      });
    case arrow::Type::DATE64:
      return put_text(ctx, [&](char* out) {
        return format_date_text(
            floor_div(static_cast<const arrow::Date64Array&>(array).Value(row), 86400000), out);
      });
    case arrow::Type::TIME32:
    case arrow::Type::TIME64:
      return put_text(ctx, [&](char* out) {
        const int64_t v = id == arrow::Type::TIME32
                              ? static_cast<const arrow::Time32Array&>(array).Value(row)
                              : static_cast<const arrow::Time64Array&>(array).Value(row);
        return format_time_text(v, static_cast<const arrow::TimeType&>(*array.type()).unit(),
                                out);
      });
    case arrow::Type::TIMESTAMP:
      return put_text(ctx, [&](char* out) {
        const auto& type = static_cast<const arrow::TimestampType&>(*array.type());
        return format_timestamp_text(static_cast<const arrow::TimestampArray&>(array).Value(row),
                                     type.unit(), !type.timezone().empty(), out);
      });
    case arrow::Type::INTERVAL_MONTHS:
    case arrow::Type::INTERVAL_DAY_TIME:
    case arrow::Type::INTERVAL_MONTH_DAY_NANO:
      return put_text(ctx, [&](char* out) { return format_interval_cell(array, row, out); });
    case arrow::Type::DECIMAL128:
    case arrow::Type::DECIMAL256: {
      std::string text;
      format_decimal_le(text, static_cast<const arrow::FixedSizeBinaryArray&>(array).GetValue(row),
                        id == arrow::Type::DECIMAL128 ? 16 : 32,
                        static_cast<const arrow::DecimalType&>(*array.type()).scale());
      emit_json_string(ctx, text.data(), text.size());
      return;
    }
    case arrow::Type::LIST:
      return put_list(ctx, static_cast<const arrow::ListArray&>(array), row, depth);
    case arrow::Type::LARGE_LIST:
      return put_list(ctx, static_cast<const arrow::LargeListArray&>(array), row, depth);
    case arrow::Type::LIST_VIEW:
      return put_list(ctx, static_cast<const arrow::ListViewArray&>(array), row, depth);
    case arrow::Type::LARGE_LIST_VIEW:
      return put_list(ctx, static_cast<const arrow::LargeListViewArray&>(array), row, depth);
    case arrow::Type::FIXED_SIZE_LIST:
      return put_list(ctx, static_cast<const arrow::FixedSizeListArray&>(array), row, depth);
    case arrow::Type::STRUCT: {
      const auto& s = static_cast<const arrow::StructArray&>(array);
      ctx.put('{');
      for (int i = 0; i < s.num_fields() && !ctx.truncated; ++i) {
        if (i > 0) ctx.put(',');
        const std::string& name = s.struct_type()->field(i)->name();
        emit_json_string(ctx, name.data(), name.size());
        ctx.put(':');
        emit_json_value(ctx, *s.field(i), row, depth - 1);
      }
      ctx.put('}');
      return;
    }
    case arrow::Type::MAP:
      return put_map(ctx, static_cast<const arrow::MapArray&>(array), row, depth);
    case arrow::Type::DICTIONARY: {
      // Any index width, signed or unsigned.
      const auto& dict = static_cast<const arrow::DictionaryArray&>(array);
      return emit_json_value(ctx, *dict.dictionary(), dict.GetValueIndex(row), depth);
    }
    case arrow::Type::RUN_END_ENCODED: {
      const auto& ree = static_cast<const arrow::RunEndEncodedArray&>(array);
      const int64_t physical =
          arrow::ree_util::FindPhysicalIndex(arrow::ArraySpan(*array.data()), row, array.offset());
      return emit_json_value(ctx, *ree.values(), physical, depth);
    }
    case arrow::Type::SPARSE_UNION:
    case arrow::Type::DENSE_UNION: {
      const auto& u = static_cast<const arrow::UnionArray&>(array);
      const int64_t at =
          id == arrow::Type::DENSE_UNION
              ? static_cast<const arrow::DenseUnionArray&>(array).value_offset(row)
              : row;
      return emit_json_value(ctx, *u.field(u.child_id(row)), at, depth);
    }
    default:
      put_literal(ctx, "\"<unsupported_arrow_type>\"");
  }
}

}  // namespace norvale::cells
