// JSON text of nested cells.
#include <charconv>

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

template <typename ListType>
void put_list(JsonCtx& ctx, const ListType& list, int64_t row, int depth) {
  ctx.put('[');
  const arrow::Array& values = *list.values();
  for (auto i = list.value_offset(row); i < list.value_offset(row + 1) && !ctx.truncated; ++i) {
    if (i > list.value_offset(row)) ctx.put(',');
    emit_json_value(ctx, values, i, depth - 1);
  }
  ctx.put(']');
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
      emit_json_string(ctx, key_ctx.out.data(), key_ctx.out.size());
    }
    ctx.put(':');
    emit_json_value(ctx, items, i, depth - 1);
  }
  ctx.put('}');
}

void put_dictionary(JsonCtx& ctx, const arrow::DictionaryArray& dict, int64_t row, int depth) {
  switch (dict.indices()->type_id()) {
    case arrow::Type::INT8:
    case arrow::Type::INT16:
    case arrow::Type::INT32:
    case arrow::Type::INT64:
      emit_json_value(ctx, *dict.dictionary(), dict.GetValueIndex(row), depth);
      return;
    default:
      put_literal(ctx, "null");
  }
}

}  // namespace

void emit_json_value(JsonCtx& ctx, const arrow::Array& array, int64_t row, int depth) {
  if (ctx.truncated) return;
  if (row < 0 || row >= array.length() || cell_is_null(array, row)) {
    put_literal(ctx, "null");
    return;
  }
  const arrow::Type::type id = array.type_id();
  if ((id == arrow::Type::LIST || id == arrow::Type::LARGE_LIST || id == arrow::Type::STRUCT ||
       id == arrow::Type::MAP) &&
      depth < 1) {
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
    case arrow::Type::FLOAT:
    case arrow::Type::DOUBLE: {
      char text[kMaxFloatText];
      const size_t n =
          id == arrow::Type::FLOAT
              ? format_general(static_cast<const arrow::FloatArray&>(array).Value(row), text)
              : format_general(static_cast<const arrow::DoubleArray&>(array).Value(row), text);
      ctx.put(text, n);
      return;
    }
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
    case arrow::Type::DATE32: {
      char text[kMaxTemporalText + 2];
      const int n =
          format_date_text(static_cast<const arrow::Date32Array&>(array).Value(row), text + 1);
      if (n < 0) {
        put_literal(ctx, "null");
        return;
      }
      text[0] = '"';
      text[n + 1] = '"';
      ctx.put(text, static_cast<size_t>(n) + 2);
      return;
    }
    case arrow::Type::TIMESTAMP: {
      const auto& type = static_cast<const arrow::TimestampType&>(*array.type());
      char text[kMaxTemporalText + 2];
      const int64_t value = static_cast<const arrow::TimestampArray&>(array).Value(row);
      const int n =
          format_timestamp_text(value, type.unit(), !type.timezone().empty(), text + 1);
      if (n < 0) {
        put_literal(ctx, "null");
        return;
      }
      text[0] = '"';
      text[n + 1] = '"';
      ctx.put(text, static_cast<size_t>(n) + 2);
      return;
    }
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
    case arrow::Type::DICTIONARY:
      return put_dictionary(ctx, static_cast<const arrow::DictionaryArray&>(array), row, depth);
    default:
      put_literal(ctx, "\"<unsupported_arrow_type>\"");
  }
}

}  // namespace norvale::cells
