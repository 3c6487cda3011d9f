// Column staging: a whole column converted once into the fixed-width layout of an ODBC C type,
// so that a caller copies rows out with a pointer and a stride.
#include <arrow/compute/api.h>

#include <cstdio>
#include <cstring>
#include <limits>

#include "cells/arrow_batch_internal.h"
#include "cells/calendar_internal.h"

namespace norvale::cells {
namespace {

// ODBC C type codes.
constexpr int16_t kCLong = 4, kCSLong = -16, kCShort = 5, kCSShort = -15, kCFloat = 7,
                  kCDouble = 8, kCUTinyInt = -28, kCBit = -7, kCUBigInt = -27, kCSTinyInt = -26,
                  kCTinyInt = -6, kCSBigInt = -25, kCULong = -18, kCUShort = -17, kCNumeric = 2,
                  kCDate = 9, kCTypeDate = 91, kCTime = 10, kCTypeTime = 92, kCTimestamp = 11,
                  kCTypeTimestamp = 93, kCDefault = 99;

// ODBC structure sizes: SQL_NUMERIC_STRUCT, DATE_STRUCT, TIME_STRUCT, TIMESTAMP_STRUCT.
constexpr int32_t kNumericSize = 19, kDateSize = 6, kTimeSize = 6, kTimestampSize = 16;

std::shared_ptr<arrow::DataType> numeric_target(int16_t c_type) {
  switch (c_type) {
    case kCLong: case kCSLong: return arrow::int32();
    case kCShort: case kCSShort: return arrow::int16();
    case kCFloat: return arrow::float32();
    case kCDouble: return arrow::float64();
    case kCUTinyInt: case kCBit: return arrow::uint8();
    case kCUBigInt: return arrow::uint64();
    case kCSTinyInt: case kCTinyInt: return arrow::int8();
    case kCSBigInt: return arrow::int64();
    case kCULong: return arrow::uint32();
    case kCUShort: return arrow::uint16();
    default: return nullptr;
  }
}

template <typename T>
void put(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof(T));
}

unsigned __int128 decimal_magnitude(const uint8_t* bytes, bool& negative) {
  unsigned __int128 v;
  std::memcpy(&v, bytes, 16);
  negative = (v >> 127) != 0;
  return negative ? ~v + 1 : v;
}

// Calls fn(row) for every non-null row of the array.
template <typename Fn>
bool for_each_valid(const arrow::Array& array, Fn&& fn) {
  for (int64_t row = 0; row < array.length(); ++row) {
    if (cell_is_null(array, row)) continue;
    if (!fn(row)) return false;
  }
  return true;
}

bool put_date(uint8_t* p, int64_t days) {
  const CivilDate d = civil_from_days(days);
  if (d.year < INT16_MIN || d.year > INT16_MAX) return false;
  put<int16_t>(p, static_cast<int16_t>(d.year));
  put<uint16_t>(p + 2, static_cast<uint16_t>(d.month));
  put<uint16_t>(p + 4, static_cast<uint16_t>(d.day));
  return true;
}

bool put_timestamp(uint8_t* p, int64_t seconds, uint32_t fraction) {
  if (!put_date(p, floor_div(seconds, 86400))) return false;
  const int64_t of_day = floor_mod(seconds, 86400);
  put<uint16_t>(p + 6, static_cast<uint16_t>(of_day / 3600));
  put<uint16_t>(p + 8, static_cast<uint16_t>(of_day / 60 % 60));
  put<uint16_t>(p + 10, static_cast<uint16_t>(of_day % 60));
  put<uint32_t>(p + 12, fraction);
  return true;
}

// A staging attempt's outcome before it is stored in the batch.
struct Conversion {
  uint8_t status = NV_STAGE_NOT_OFFERED;
  std::shared_ptr<arrow::Array> converted;
  int32_t converted_width = 0;
  std::vector<uint8_t> owned;
  int32_t owned_element_size = 0;
};

Conversion owned_rows(int64_t rows, int32_t size) {
  Conversion c;
  c.owned.assign(static_cast<size_t>(rows) * size, 0);
  c.owned_element_size = size;
  c.status = NV_STAGE_OK;
  return c;
}

Conversion failed() {
  Conversion c;
  c.status = NV_STAGE_FAILED;
  return c;
}

Conversion to_number(const std::shared_ptr<arrow::Array>& source, int16_t c_type) {
  const std::shared_ptr<arrow::DataType> target = numeric_target(c_type);
  const int32_t width = target->byte_width();
  Conversion c;
  if (source->type_id() == arrow::Type::DECIMAL128 &&
      (c_type == kCFloat || c_type == kCDouble)) {
    const auto& array = static_cast<const arrow::Decimal128Array&>(*source);
    const int32_t scale = static_cast<const arrow::Decimal128Type&>(*source->type()).scale();
    c = owned_rows(array.length(), width);
    for_each_valid(array, [&](int64_t row) {
      bool negative;
      double value = static_cast<double>(decimal_magnitude(array.GetValue(row), negative));
      for (int32_t i = 0; i < scale; ++i) value /= 10;
      for (int32_t i = scale; i < 0; ++i) value *= 10;
      if (negative) value = -value;
      uint8_t* p = c.owned.data() + row * width;
      c_type == kCFloat ? put<float>(p, static_cast<float>(value)) : put<double>(p, value);
      return true;
    });
    return c;
  }
  c.converted_width = width;
  if (source->type()->Equals(*target)) {
    c.converted = source;
    c.status = NV_STAGE_OK;
    return c;
  }
  if (!ensure_compute_initialized().ok()) return failed();
  auto cast = arrow::compute::Cast(*source, target, arrow::compute::CastOptions::Safe());
  if (!cast.ok()) return failed();
  c.converted = *std::move(cast);
  c.status = NV_STAGE_OK;
  return c;
}

Conversion to_numeric_struct(const std::shared_ptr<arrow::Array>& source) {
  const arrow::Type::type id = source->type_id();
  if (id == arrow::Type::FLOAT || id == arrow::Type::DOUBLE) {
    // Packing floats into SQL_NUMERIC_STRUCT is not offered; the packer says so per row.
    for (int64_t row = 0; row < source->length(); ++row) {
      double value = id == arrow::Type::DOUBLE
                         ? static_cast<const arrow::DoubleArray&>(*source).Value(row)
                         : static_cast<const arrow::FloatArray&>(*source).Value(row);
      uint8_t record[kNumericSize];
      if (nv_pack_double_to_numeric(value, 0, 0, record, nullptr, nullptr, 0) != 0) break;
    }
    return {};
  }
  if (id != arrow::Type::DECIMAL128) return {};
  const auto& type = static_cast<const arrow::Decimal128Type&>(*source->type());
  if (type.scale() < INT8_MIN || type.scale() > INT8_MAX) return failed();
  const auto& array = static_cast<const arrow::Decimal128Array&>(*source);
  Conversion c = owned_rows(array.length(), kNumericSize);
  for_each_valid(array, [&](int64_t row) {
    uint8_t* p = c.owned.data() + row * kNumericSize;
    bool negative;
    const unsigned __int128 magnitude = decimal_magnitude(array.GetValue(row), negative);
    p[0] = static_cast<uint8_t>(type.precision());
    p[1] = static_cast<uint8_t>(static_cast<int8_t>(type.scale()));
    p[2] = negative ? 0 : 1;
    std::memcpy(p + 3, &magnitude, 16);
    return true;
  });
  return c;
}

Conversion to_date_struct(const arrow::Array& source) {
  Conversion c = owned_rows(source.length(), kDateSize);
  auto row_ptr = [&](int64_t row) { return c.owned.data() + row * kDateSize; };
  bool ok;
  switch (source.type_id()) {
    case arrow::Type::DATE32: {
      const auto& a = static_cast<const arrow::Date32Array&>(source);
      ok = for_each_valid(a, [&](int64_t r) { return put_date(row_ptr(r), a.Value(r)); });
      break;
    }
    case arrow::Type::DATE64: {
      // Floor, not truncation: -1 ms is still the last day before the epoch.
      const auto& a = static_cast<const arrow::Date64Array&>(source);
      ok = for_each_valid(
          a, [&](int64_t r) { return put_date(row_ptr(r), floor_div(a.Value(r), 86400000)); });
      break;
    }
    case arrow::Type::TIMESTAMP: {
      const auto& a = static_cast<const arrow::TimestampArray&>(source);
      const int64_t per_day =
          units_per_second(static_cast<const arrow::TimestampType&>(*a.type()).unit()) * 86400;
      ok = for_each_valid(
          a, [&](int64_t r) { return put_date(row_ptr(r), floor_div(a.Value(r), per_day)); });
      break;
    }
    default:
      return {};
  }
  return ok ? std::move(c) : failed();
}

Conversion to_time_struct(const arrow::Array& source) {
  const arrow::Type::type id = source.type_id();
  if (id != arrow::Type::TIME32 && id != arrow::Type::TIME64) return {};
  const int64_t per_second =
      units_per_second(static_cast<const arrow::TimeType&>(*source.type()).unit());
  Conversion c = owned_rows(source.length(), kTimeSize);
  for_each_valid(source, [&](int64_t r) {
    const int64_t value = id == arrow::Type::TIME32
                              ? static_cast<const arrow::Time32Array&>(source).Value(r)
                              : static_cast<const arrow::Time64Array&>(source).Value(r);
    int64_t seconds = value / per_second;
    seconds = seconds < 0 ? 0 : seconds > 86399 ? 86399 : seconds;
    uint8_t* p = c.owned.data() + r * kTimeSize;
    put<uint16_t>(p, static_cast<uint16_t>(seconds / 3600));
    put<uint16_t>(p + 2, static_cast<uint16_t>(seconds / 60 % 60));
    put<uint16_t>(p + 4, static_cast<uint16_t>(seconds % 60));
    return true;
  });
  return c;
}

Conversion to_timestamp_struct(const arrow::Array& source) {
  Conversion c = owned_rows(source.length(), kTimestampSize);
  auto row_ptr = [&](int64_t row) { return c.owned.data() + row * kTimestampSize; };
  bool ok;
  switch (source.type_id()) {
    case arrow::Type::TIMESTAMP: {
      const auto& a = static_cast<const arrow::TimestampArray&>(source);
      const int64_t per_second =
          units_per_second(static_cast<const arrow::TimestampType&>(*a.type()).unit());
      const int64_t ns_per_unit = 1000000000 / per_second;
      ok = for_each_valid(a, [&](int64_t r) {
        const int64_t v = a.Value(r);
        return put_timestamp(row_ptr(r), floor_div(v, per_second),
                             static_cast<uint32_t>(floor_mod(v, per_second) * ns_per_unit));
      });
      break;
    }
    case arrow::Type::DATE64: {
      // A negative remainder moves into the previous second, as for timestamps.
      const auto& a = static_cast<const arrow::Date64Array&>(source);
      ok = for_each_valid(a, [&](int64_t r) {
        const int64_t ms = a.Value(r);
        return put_timestamp(row_ptr(r), floor_div(ms, 1000),
                             static_cast<uint32_t>(floor_mod(ms, 1000) * 1000000));
      });
      break;
    }
    case arrow::Type::DATE32: {
      const auto& a = static_cast<const arrow::Date32Array&>(source);
      ok = for_each_valid(a, [&](int64_t r) {
        return put_timestamp(row_ptr(r), static_cast<int64_t>(a.Value(r)) * 86400, 0);
      });
      break;
    }
    default:
      return {};
  }
  return ok ? std::move(c) : failed();
}

Conversion convert(const std::shared_ptr<arrow::Array>& source, int16_t c_type) {
  if (numeric_target(c_type) != nullptr) return to_number(source, c_type);
  switch (c_type) {
    case kCNumeric: return to_numeric_struct(source);
    case kCDate: case kCTypeDate: return to_date_struct(*source);
    case kCTime: case kCTypeTime: return to_time_struct(*source);
    case kCTimestamp: case kCTypeTimestamp: return to_timestamp_struct(*source);
    default: return {};
  }
}

// Where the validity of staged rows is read: the array's bitmap when it has nulls.
void set_null_view(StagedColumn& staged, const std::shared_ptr<arrow::Array>& array) {
  if (array->null_count() > 0 && array->null_bitmap_data() != nullptr) {
    staged.null_owner = array;
    staged.bitmap = array->null_bitmap_data();
    staged.bit_offset = array->offset();
  }
}

}  // namespace
}  // namespace norvale::cells

extern "C" {

int nv_batch_stage_column(NVArrowBatch* batch, int column, int16_t c_type, int64_t parameter) {
  using namespace norvale::cells;
  try {
    if (!ensure_column_cache(batch)) return NV_STAGE_FAILED;
    const int columns = static_cast<int>(batch->column_arrays.size());
    if (column < 0 || column >= columns) return NV_STAGE_FAILED;
    if (batch->staged.empty()) batch->staged.resize(columns);
    if (c_type == kCDefault) c_type = nv_default_c_type(batch, column);
    StagedColumn& slot = batch->staged[column];
    if (slot.status != NV_STAGE_EMPTY && slot.c_type == c_type) return slot.status;

    const std::shared_ptr<arrow::Array>& source = batch->column_arrays[column];
    if (source == nullptr) return NV_STAGE_FAILED;  // a malformed column
    Conversion c = convert(source, c_type);
    StagedColumn staged;
    staged.status = c.status;
    staged.c_type = c_type;
    staged.parameter = parameter;
    if (c.status == NV_STAGE_OK) {
      if (c.converted != nullptr) {
        set_null_view(staged, c.converted);
        const auto& data = *c.converted->data();
        if (data.buffers.size() > 1 && data.buffers[1] != nullptr) {
          staged.values = data.buffers[1]->data() + data.offset * c.converted_width;
        }
        staged.stride = c.converted_width;
      } else {
        set_null_view(staged, source);
        if (!c.owned.empty()) staged.values = c.owned.data();
        staged.stride = c.owned_element_size;
      }
    }
    staged.converted = std::move(c.converted);
    staged.converted_width = c.converted_width;
    staged.owned = std::move(c.owned);
    staged.owned_element_size = c.owned_element_size;
    slot = std::move(staged);
    return slot.status >= NV_STAGE_OK && slot.status <= NV_STAGE_FAILED ? slot.status : 0;
  } catch (...) {
    return NV_STAGE_FAILED;
  }
}

int nv_batch_get_staged(const NVArrowBatch* batch, int column, const void** values,
                        int64_t* stride, const uint8_t** bitmap, int64_t* bit_offset) {
  auto clear = [&] {
    if (values != nullptr) *values = nullptr;
    if (stride != nullptr) *stride = 0;
    if (bitmap != nullptr) *bitmap = nullptr;
    if (bit_offset != nullptr) *bit_offset = 0;
  };
  clear();
  if (batch == nullptr || column < 0 || column >= static_cast<int>(batch->staged.size())) {
    return 0;
  }
  const norvale::cells::StagedColumn& s = batch->staged[column];
  if (s.status != NV_STAGE_OK) return s.status;
  if (s.values == nullptr) return NV_STAGE_FAILED;
  if (values != nullptr) *values = s.values;
  if (stride != nullptr) *stride = s.stride;
  if (bitmap != nullptr) *bitmap = s.bitmap;
  if (bit_offset != nullptr) *bit_offset = s.bit_offset;
  return NV_STAGE_OK;
}

void nv_batch_invalidate_staged(NVArrowBatch* batch, int column) {
  if (batch == nullptr || column < 0 || column >= static_cast<int>(batch->staged.size())) return;
  batch->staged[column] = norvale::cells::StagedColumn();
}

int16_t nv_default_c_type(const NVArrowBatch*, int) { return 0; }

int nv_pack_double_to_numeric(double, int32_t, int32_t, uint8_t*, char* sqlstate, char* err,
                              size_t err_size) {
  if (sqlstate != nullptr) std::memcpy(sqlstate, "HYC00", 6);
  if (err != nullptr && err_size > 0) {
    std::snprintf(err, err_size, "%s",
                  "nv_pack_double_to_numeric: ADBC bridge does not implement SQL_NUMERIC_STRUCT "
                  "staging (only SQLGetData callers need this; ADBC consumers read Arrow batches "
                  "via ArrowArrayStream)");
  }
  return -1;
}

}  // extern "C"
