// SQL literals of Arrow values: the type's name around the cell text of each value.
#include "cells/sql_literal_internal.h"

#include <arrow/compute/api.h>

#include <cstring>
#include <string_view>

#include "cells/arrow_batch_internal.h"
#include "cells/calendar_internal.h"
#include "cells/param_internal.h"
#include "cells/sql_state_internal.h"
#include "cells/text_columns_internal.h"
#include "cells/utf_internal.h"

namespace norvale::cells {
namespace {

// 0001-01-01 as days and seconds since 1970-01-01: the service's date texts start there.
constexpr int64_t kFirstDay = -719162;
constexpr int64_t kFirstSecond = kFirstDay * 86400;

arrow::Status no_literal(const arrow::DataType& type, std::string_view why) {
  return sql_error("07006", "Arrow type " + type.ToString() + " has no SQL literal form (" +
                                std::string(why) + ")");
}

// The service's name of the type a literal of `type` has, or why there is none.
arrow::Result<std::string> sql_type_name(const arrow::DataType& type) {
  switch (type.id()) {
    case arrow::Type::BOOL: return "BOOLEAN";
    case arrow::Type::INT8: return "TINYINT";
    case arrow::Type::INT16: return "SMALLINT";
    case arrow::Type::INT32: return "INTEGER";
    case arrow::Type::INT64: return "BIGINT";
    case arrow::Type::UINT8: return "UTINYINT";
    case arrow::Type::UINT16: return "USMALLINT";
    case arrow::Type::UINT32: return "UINTEGER";
    case arrow::Type::UINT64: return "UBIGINT";
    case arrow::Type::FLOAT: return "REAL";
    case arrow::Type::DOUBLE: return "DOUBLE";
    case arrow::Type::STRING:
    case arrow::Type::LARGE_STRING:
    case arrow::Type::STRING_VIEW: return "VARCHAR";
    case arrow::Type::BINARY:
    case arrow::Type::LARGE_BINARY:
    case arrow::Type::BINARY_VIEW:
    case arrow::Type::FIXED_SIZE_BINARY: return "BLOB";
    case arrow::Type::DATE32:
    case arrow::Type::DATE64: return "DATE";
    case arrow::Type::TIME32: return "TIME";
    case arrow::Type::TIME64:
      return static_cast<const arrow::Time64Type&>(type).unit() == arrow::TimeUnit::NANO
                 ? "TIME_NS"
                 : "TIME";
    case arrow::Type::TIMESTAMP: {
      const auto& ts = static_cast<const arrow::TimestampType&>(type);
      // The service keeps zoned instants in microseconds; zone-less ones in any unit.
      if (!ts.timezone().empty()) return "TIMESTAMP WITH TIME ZONE";
      switch (ts.unit()) {
        case arrow::TimeUnit::SECOND: return "TIMESTAMP_S";
        case arrow::TimeUnit::MILLI: return "TIMESTAMP_MS";
        case arrow::TimeUnit::MICRO: return "TIMESTAMP";
        case arrow::TimeUnit::NANO: return "TIMESTAMP_NS";
      }
      break;
    }
    case arrow::Type::INTERVAL_MONTHS:
    case arrow::Type::INTERVAL_DAY_TIME:
    case arrow::Type::INTERVAL_MONTH_DAY_NANO: return "INTERVAL";
    case arrow::Type::DECIMAL32:
    case arrow::Type::DECIMAL64:
    case arrow::Type::DECIMAL128:
    case arrow::Type::DECIMAL256: {
      const auto& d = static_cast<const arrow::DecimalType&>(type);
      if (d.precision() > 38) return no_literal(type, "the service's decimals hold 38 digits");
      if (d.scale() < 0) return no_literal(type, "negative scale");
      if (d.scale() > d.precision()) return no_literal(type, "a scale larger than the precision");
      return "DECIMAL(" + std::to_string(d.precision()) + "," + std::to_string(d.scale()) + ")";
    }
    case arrow::Type::DURATION:
      return no_literal(type, "the service has no duration type; bind an interval");
    default:
      break;
  }
  return no_literal(type, "no scalar type of the service holds it");
}

bool is_utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  uint32_t code_point = 0;
  for (size_t i = 0; i < text.size();) {
    if (bytes[i] < 0x80) {
      ++i;
    } else if (!decode_utf8(bytes, text.size(), i, code_point)) {
      return false;
    }
  }
  return true;
}

// Dictionary and run-end encoded columns as plain arrays of their values.
arrow::Result<std::shared_ptr<arrow::Array>> decoded(std::shared_ptr<arrow::Array> array) {
  if (array->type_id() == arrow::Type::DICTIONARY) {
    ARROW_RETURN_NOT_OK(ensure_compute_initialized());
    const auto& dict = static_cast<const arrow::DictionaryArray&>(*array);
    ARROW_ASSIGN_OR_RAISE(arrow::Datum taken,
                          arrow::compute::Take(dict.dictionary(), dict.indices()));
    return decoded(taken.make_array());
  }
  if (array->type_id() == arrow::Type::RUN_END_ENCODED) {
    ARROW_RETURN_NOT_OK(ensure_compute_initialized());
    ARROW_ASSIGN_OR_RAISE(arrow::Datum plain,
                          arrow::compute::CallFunction("run_end_decode", {array}));
    return decoded(plain.make_array());
  }
  return array;
}

constexpr const char* kOutOfRange = "the value is outside the range the service can hold";

// The cell text of a column; when a value has none, the failure names its row.
arrow::Result<std::shared_ptr<arrow::StringArray>> cell_text(
    const std::shared_ptr<arrow::Array>& array) {
  bool ascii = false;
  auto text = build_text(array, ascii);
  if (text.ok()) return text;
  for (int64_t row = 0; row < array->length(); ++row) {
    if (!build_text(array->Slice(row, 1), ascii).ok()) {
      return sql_error("22008", kOutOfRange, row);
    }
  }
  return text.status();
}

// The bytes of row `row` of a text column of any of Arrow's three layouts.
std::string_view text_at(const arrow::Array& array, int64_t row) {
  switch (array.type_id()) {
    case arrow::Type::LARGE_STRING:
      return static_cast<const arrow::LargeStringArray&>(array).GetView(row);
    case arrow::Type::STRING_VIEW:
      return static_cast<const arrow::StringViewArray&>(array).GetView(row);
    default:
      return static_cast<const arrow::StringArray&>(array).GetView(row);
  }
}

// Values whose text the service would refuse or read differently, or which have no text, by
// row.
arrow::Status check_values(const arrow::Array& array) {
  // The first non-null row for which `bad` holds; -1 when none.
  auto first_row_where = [&](auto&& bad) -> int64_t {
    for (int64_t row = 0; row < array.length(); ++row) {
      if (!array.IsNull(row) && bad(row)) return row;
    }
    return -1;
  };
  int64_t row = -1;
  switch (array.type_id()) {
    case arrow::Type::STRING:
    case arrow::Type::LARGE_STRING:
    case arrow::Type::STRING_VIEW: {
      row = first_row_where([&](int64_t r) { return !is_utf8(text_at(array, r)); });
      if (row >= 0) return sql_error("22021", "the text is not valid UTF-8", row);
      row = first_row_where([&](int64_t r) {
        const std::string_view v = text_at(array, r);
        return std::memchr(v.data(), 0, v.size()) != nullptr;
      });
      if (row >= 0) {
        return sql_error("22021", "the text holds a NUL byte, which SQL text cannot carry", row);
      }
      return arrow::Status::OK();
    }
    case arrow::Type::DATE32: {
      const auto& a = static_cast<const arrow::Date32Array&>(array);
      row = first_row_where([&](int64_t r) { return a.Value(r) < kFirstDay; });
      break;
    }
    case arrow::Type::DATE64: {
      const auto& a = static_cast<const arrow::Date64Array&>(array);
      row = first_row_where([&](int64_t r) { return floor_div(a.Value(r), 86400000) < kFirstDay; });
      break;
    }
    case arrow::Type::TIME32:
    case arrow::Type::TIME64: {
      const int64_t per_day =
          86400 * units_per_second(static_cast<const arrow::TimeType&>(*array.type()).unit());
      row = first_row_where([&](int64_t r) {
        const int64_t v = array.type_id() == arrow::Type::TIME32
                              ? static_cast<const arrow::Time32Array&>(array).Value(r)
                              : static_cast<const arrow::Time64Array&>(array).Value(r);
        return v < 0 || v > per_day;
      });
      if (row >= 0) return sql_error("22008", kOutOfRange, row);
      return arrow::Status::OK();
    }
    case arrow::Type::TIMESTAMP: {
      const auto& type = static_cast<const arrow::TimestampType&>(*array.type());
      const auto& a = static_cast<const arrow::TimestampArray&>(array);
      const int64_t per_second = units_per_second(type.unit());
      CivilTime civil{};
      const int64_t unreadable = first_row_where([&](int64_t r) {
        return !civil_from_seconds(floor_div(a.Value(r), per_second), civil);
      });
      if (unreadable >= 0) return sql_error("22008", kOutOfRange, unreadable);
      row = first_row_where(
          [&](int64_t r) { return floor_div(a.Value(r), per_second) < kFirstSecond; });
      if (row < 0 && !type.timezone().empty() && type.unit() == arrow::TimeUnit::NANO) {
        row = first_row_where([&](int64_t r) { return a.Value(r) % 1000 != 0; });
        if (row >= 0) {
          return sql_error("22008",
                           "the service keeps time-zone timestamps in microseconds; the value "
                           "has nanoseconds",
                           row);
        }
      }
      break;
    }
    case arrow::Type::INTERVAL_MONTH_DAY_NANO: {
      const auto& a = static_cast<const arrow::MonthDayNanoIntervalArray&>(array);
      row = first_row_where([&](int64_t r) { return a.GetValue(r).nanoseconds % 1000 != 0; });
      if (row >= 0) {
        return sql_error("22008",
                         "the service keeps intervals in microseconds; the value has nanoseconds",
                         row);
      }
      return arrow::Status::OK();
    }
    default:
      return arrow::Status::OK();
  }
  if (row >= 0) return sql_error("22008", "dates before the year 1 have no SQL literal", row);
  return arrow::Status::OK();
}

}  // namespace

arrow::Status SqlLiteralColumn::Check(std::shared_ptr<arrow::Array> array) {
  ARROW_ASSIGN_OR_RAISE(array, decoded(std::move(array)));
  if (array->type_id() == arrow::Type::NA) return arrow::Status::OK();
  ARROW_RETURN_NOT_OK(sql_type_name(*array->type()));
  return check_values(*array);
}

arrow::Result<SqlLiteralColumn> SqlLiteralColumn::Make(std::shared_ptr<arrow::Array> array) {
  ARROW_ASSIGN_OR_RAISE(array, decoded(std::move(array)));
  SqlLiteralColumn column;
  const arrow::DataType& type = *array->type();
  if (type.id() == arrow::Type::NA) {
    // Nothing but nulls: the text column only gives the length.
    column.form_ = Form::kNull;
    ARROW_ASSIGN_OR_RAISE(auto nulls, arrow::MakeArrayOfNull(arrow::utf8(), array->length()));
    column.text_ = std::static_pointer_cast<arrow::StringArray>(std::move(nulls));
    return column;
  }
  ARROW_ASSIGN_OR_RAISE(const std::string type_name, sql_type_name(type));
  ARROW_RETURN_NOT_OK(check_values(*array));
  ARROW_ASSIGN_OR_RAISE(column.text_, cell_text(array));
  column.null_literal_ = "CAST(NULL AS " + type_name + ")";
  switch (type.id()) {
    case arrow::Type::BOOL: column.form_ = Form::kBare; break;
    case arrow::Type::STRING:
    case arrow::Type::LARGE_STRING:
    case arrow::Type::STRING_VIEW: column.form_ = Form::kString; break;
    case arrow::Type::BINARY:
    case arrow::Type::LARGE_BINARY:
    case arrow::Type::BINARY_VIEW:
    case arrow::Type::FIXED_SIZE_BINARY: column.form_ = Form::kHex; break;
    default:
      column.form_ = Form::kTyped;
      column.prefix_ = type_name + " ";
      break;
  }
  return column;
}

void SqlLiteralColumn::Append(int64_t row, std::string* out) const {
  if (form_ == Form::kNull) {
    out->append("NULL");
    return;
  }
  if (text_->IsNull(row)) {
    out->append(null_literal_);
    return;
  }
  const std::string_view text = text_->GetView(row);
  switch (form_) {
    case Form::kTyped:
      out->append(prefix_);
      append_sql_quoted(*out, text);
      break;
    case Form::kString: append_sql_quoted(*out, text); break;
    case Form::kBare: out->append(text); break;
    case Form::kHex:
      // The cell text is 0x and lower-case digits: only the digits go inside the quotes.
      out->append("from_hex('");
      out->append(text.substr(2));
      out->append("')");
      break;
    case Form::kNull: break;
  }
}

}  // namespace norvale::cells
