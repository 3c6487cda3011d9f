// The payloads of a bound INSERT run as one ingest: the bound columns themselves, refused where
// their literals would be, in the types the service reads as it reads the literals.
#include <arrow/api.h>
#include <arrow/compute/api.h>

#include "adbc/bulk_bind_internal.h"
#include "cells/arrow_batch_internal.h"
#include "cells/sql_literal_internal.h"

namespace norvale::adbc {
namespace {

// A day-time interval as the month-day-nanosecond interval of the same length.
arrow::Result<std::shared_ptr<arrow::Array>> month_day_nano_of(const arrow::Array& array) {
  const auto& days = static_cast<const arrow::DayTimeIntervalArray&>(array);
  arrow::MonthDayNanoIntervalBuilder builder;
  ARROW_RETURN_NOT_OK(builder.Reserve(array.length()));
  for (int64_t row = 0; row < array.length(); ++row) {
    if (array.IsNull(row)) {
      builder.UnsafeAppendNull();
      continue;
    }
    const arrow::DayTimeIntervalType::DayMilliseconds v = days.GetValue(row);
    builder.UnsafeAppend({0, v.days, int64_t{v.milliseconds} * 1000000});
  }
  return builder.Finish();
}

bool is_unread(const arrow::DataType& type) {
  return type.id() == arrow::Type::DECIMAL256 || type.id() == arrow::Type::INTERVAL_DAY_TIME;
}

// The column as the service reads its literal. The service's Arrow reader takes neither
// 256-bit decimals nor day-time intervals (whose literals it reads), also as the values of a
// dictionary or a run-end encoded column.
arrow::Result<std::shared_ptr<arrow::Array>> as_sent(std::shared_ptr<arrow::Array> column) {
  switch (column->type_id()) {
    case arrow::Type::DICTIONARY:
    case arrow::Type::RUN_END_ENCODED: {
      const bool dictionary = column->type_id() == arrow::Type::DICTIONARY;
      const std::shared_ptr<arrow::DataType>& values =
          dictionary ? static_cast<const arrow::DictionaryType&>(*column->type()).value_type()
                     : static_cast<const arrow::RunEndEncodedType&>(*column->type()).value_type();
      if (!is_unread(*values)) return column;
      ARROW_RETURN_NOT_OK(cells::ensure_compute_initialized());
      ARROW_ASSIGN_OR_RAISE(arrow::Datum plain,
                            dictionary ? arrow::compute::Cast(column, values)
                                       : arrow::compute::CallFunction("run_end_decode", {column}));
      return as_sent(plain.make_array());
    }
    case arrow::Type::DECIMAL256: {
      // A literal holds at most 38 digits (Check refused more): a 128-bit decimal holds them.
      const auto& type = static_cast<const arrow::Decimal256Type&>(*column->type());
      ARROW_RETURN_NOT_OK(cells::ensure_compute_initialized());
      ARROW_ASSIGN_OR_RAISE(
          arrow::Datum cast,
          arrow::compute::Cast(column, arrow::decimal128(type.precision(), type.scale())));
      return cast.make_array();
    }
    case arrow::Type::INTERVAL_DAY_TIME: return month_day_nano_of(*column);
    default: return column;
  }
}

}  // namespace

arrow::Result<std::shared_ptr<arrow::RecordBatch>> bulk_payload(
    const arrow::RecordBatch& batch, const std::vector<int>& bound_columns,
    const std::vector<std::string>& names, int* failed_column) {
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  for (size_t i = 0; i < bound_columns.size(); ++i) {
    const std::shared_ptr<arrow::Array>& column = batch.column(bound_columns[i]);
    if (arrow::Status checked = cells::SqlLiteralColumn::Check(column); !checked.ok()) {
      *failed_column = bound_columns[i];
      return checked;
    }
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Array> sent, as_sent(column));
    fields.push_back(arrow::field(names[i], sent->type()));
    arrays.push_back(std::move(sent));
  }
  return arrow::RecordBatch::Make(arrow::schema(std::move(fields)), batch.num_rows(),
                                  std::move(arrays));
}

}  // namespace norvale::adbc
