// SQL statements with bound parameters. The service takes plain SQL text only, so each bound
// row's values become SQL literals through the library's parameter substitution, and the
// statement runs once per row.
#include <arrow/array.h>
#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>
#include <arrow/util/decimal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "adbc/error_internal.h"
#include "adbc/statement_params_internal.h"
#include "cells/arrow_batch_internal.h"
#include "cells/calendar_internal.h"
#include "norvale/nv_cells.h"

namespace norvale::adbc {
namespace {

// The ODBC C type codes that nv_param_substitute reads.
enum CType : int16_t {
  kCChar = 1,
  kCBinary = -2,
  kCBit = -7,
  kCSTinyInt = -26,
  kCUTinyInt = -28,
  kCSShort = -15,
  kCUShort = -17,
  kCSLong = -16,
  kCULong = -18,
  kCSBigInt = -25,
  kCUBigInt = -27,
  kCFloat = 7,
  kCDouble = 8,
  kCNumeric = 2,
  kCTypeDate = 91,
  kCTypeTimestamp = 93,
};
constexpr int64_t kNullData = -1;

// The value layouts that go with kCTypeDate, kCTypeTimestamp and kCNumeric.
struct OdbcDate {
  int16_t year;
  uint16_t month, day;
};
struct OdbcTimestamp {
  int16_t year;
  uint16_t month, day, hour, minute, second;
  uint32_t fraction;  // nanoseconds
};
struct OdbcNumeric {
  uint8_t precision;
  int8_t scale;
  uint8_t sign;  // 1 positive, 0 negative
  uint8_t magnitude[16];
};

class SqlStateDetail : public arrow::StatusDetail {
 public:
  explicit SqlStateDetail(std::string sqlstate) : sqlstate_(std::move(sqlstate)) {}
  const char* type_id() const override { return "norvale::adbc::SqlStateDetail"; }
  std::string ToString() const override { return "SQLSTATE " + sqlstate_; }
  const std::string& sqlstate() const { return sqlstate_; }

 private:
  std::string sqlstate_;
};

arrow::Status param_error(std::string sqlstate, std::string message) {
  return arrow::Status(arrow::StatusCode::Invalid, std::move(message),
                       std::make_shared<SqlStateDetail>(std::move(sqlstate)));
}

// One bound value: the binding handed to the substitution and the bytes it points at.
struct ParamValue {
  NVParamBinding binding{};
  int64_t indicator = 0;
  alignas(8) unsigned char bytes[sizeof(OdbcNumeric) + 8] = {};
  std::string text;
};

template <typename T>
void set_fixed(ParamValue& v, int16_t c_type, const T& value) {
  static_assert(sizeof(T) <= sizeof v.bytes);
  std::memcpy(v.bytes, &value, sizeof value);
  v.binding.c_type = c_type;
  v.binding.value = v.bytes;
  v.indicator = sizeof value;
}

void set_bytes(ParamValue& v, int16_t c_type, std::string_view data) {
  static constexpr char kEmpty[1] = {0};
  v.binding.c_type = c_type;
  v.binding.value = data.empty() ? kEmpty : data.data();
  v.binding.buffer_length = static_cast<int64_t>(data.size());
  v.indicator = static_cast<int64_t>(data.size());
}

arrow::Status unsupported(int k, const arrow::DataType& type, std::string_view why = {}) {
  std::string message = "parameter " + std::to_string(k) + ": Arrow type " + type.ToString() +
                        " has no safe SQL literal form";
  if (!why.empty()) message += std::string(" (") + std::string(why) + ")";
  return param_error("07006", message);
}

arrow::Status set_date(ParamValue& v, int k, int64_t days) {
  const cells::CivilDate d = cells::civil_from_days(days);
  if (d.year < 1 || d.year > 9999) {
    return param_error("22008",
                       "parameter " + std::to_string(k) + ": date outside the years 1 to 9999");
  }
  set_fixed(v, kCTypeDate,
            OdbcDate{static_cast<int16_t>(d.year), static_cast<uint16_t>(d.month),
                     static_cast<uint16_t>(d.day)});
  return arrow::Status::OK();
}

arrow::Status set_timestamp(ParamValue& v, int k, const arrow::TimestampType& type, int64_t value) {
  // A zone-aware value written as zone-less text would be read in the server's zone.
  if (!type.timezone().empty()) return unsupported(k, type, "time zone");
  const int64_t per_second = cells::units_per_second(type.unit());
  const int64_t seconds = cells::floor_div(value, per_second);
  const int64_t sub = cells::floor_mod(value, per_second);
  cells::CivilTime t{};
  if (!cells::civil_from_seconds(seconds, t) || t.year < 1 || t.year > 9999) {
    return param_error(
        "22008", "parameter " + std::to_string(k) + ": timestamp outside the years 1 to 9999");
  }
  set_fixed(v, kCTypeTimestamp,
            OdbcTimestamp{static_cast<int16_t>(t.year), static_cast<uint16_t>(t.month),
                          static_cast<uint16_t>(t.day), static_cast<uint16_t>(t.hour),
                          static_cast<uint16_t>(t.minute), static_cast<uint16_t>(t.second),
                          static_cast<uint32_t>(sub * (1000000000 / per_second))});
  return arrow::Status::OK();
}

// Times go as text 'HH:MM:SS[.fraction]': the ODBC time layout has no fraction.
void set_time(ParamValue& v, arrow::TimeUnit::type unit, int64_t value) {
  const int64_t per_second = cells::units_per_second(unit);
  const int64_t seconds = cells::floor_mod(cells::floor_div(value, per_second), 86400);
  const int64_t sub = cells::floor_mod(value, per_second);
  char text[32];
  int n = std::snprintf(
      text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
      static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  if (per_second > 1) {
    const int digits = per_second == 1000 ? 3 : per_second == 1000000 ? 6 : 9;
    std::snprintf(text + n, sizeof text - n, ".%0*lld", digits, static_cast<long long>(sub));
  }
  v.text = text;
  set_bytes(v, kCChar, v.text);
}

arrow::Status set_decimal(ParamValue& v, int k, const arrow::Decimal128Array& array, int64_t row) {
  const auto& type = static_cast<const arrow::Decimal128Type&>(*array.type());
  if (type.scale() < 0) return unsupported(k, type, "negative scale");
  arrow::Decimal128 value(array.GetValue(row));
  OdbcNumeric numeric{};
  numeric.precision = static_cast<uint8_t>(type.precision());
  numeric.scale = static_cast<int8_t>(type.scale());
  numeric.sign = value.IsNegative() ? 0 : 1;
  if (value.IsNegative()) value.Negate();
  value.ToBytes(numeric.magnitude);  // little-endian, as the ODBC layout wants
  set_fixed(v, kCNumeric, numeric);
  return arrow::Status::OK();
}

template <typename ArrayType, typename CValue>
void set_number(ParamValue& v, int16_t c_type, const arrow::Array& array, int64_t row) {
  set_fixed(v, c_type, static_cast<CValue>(static_cast<const ArrayType&>(array).Value(row)));
}

template <typename ArrayType>
std::string_view view_of(const arrow::Array& array, int64_t row) {
  return static_cast<const ArrayType&>(array).GetView(row);
}

arrow::Status bind_value(ParamValue& v, int k, const arrow::Array& array, int64_t row) {
  v.binding.parameter_number = static_cast<uint16_t>(k);
  v.binding.input_output_type = 1;  // input
  v.binding.indicator = &v.indicator;
  if (array.IsNull(row)) {
    v.binding.c_type = kCChar;
    v.indicator = kNullData;
    return arrow::Status::OK();
  }
  const arrow::DataType& type = *array.type();
  switch (type.id()) {
    case arrow::Type::BOOL: {
      const bool value = static_cast<const arrow::BooleanArray&>(array).Value(row);
      set_fixed(v, kCBit, static_cast<uint8_t>(value ? 1 : 0));
      break;
    }
    case arrow::Type::INT8: set_number<arrow::Int8Array, int8_t>(v, kCSTinyInt, array, row); break;
    case arrow::Type::UINT8:
      set_number<arrow::UInt8Array, uint8_t>(v, kCUTinyInt, array, row);
      break;
    case arrow::Type::INT16: set_number<arrow::Int16Array, int16_t>(v, kCSShort, array, row); break;
    case arrow::Type::UINT16:
      set_number<arrow::UInt16Array, uint16_t>(v, kCUShort, array, row);
      break;
    case arrow::Type::INT32: set_number<arrow::Int32Array, int32_t>(v, kCSLong, array, row); break;
    case arrow::Type::UINT32:
      set_number<arrow::UInt32Array, uint32_t>(v, kCULong, array, row);
      break;
    case arrow::Type::INT64:
      set_number<arrow::Int64Array, int64_t>(v, kCSBigInt, array, row);
      break;
    case arrow::Type::UINT64:
      set_number<arrow::UInt64Array, uint64_t>(v, kCUBigInt, array, row);
      break;
    case arrow::Type::FLOAT: set_number<arrow::FloatArray, float>(v, kCFloat, array, row); break;
    case arrow::Type::DOUBLE:
      set_number<arrow::DoubleArray, double>(v, kCDouble, array, row);
      break;
    case arrow::Type::STRING: set_bytes(v, kCChar, view_of<arrow::StringArray>(array, row)); break;
    case arrow::Type::LARGE_STRING:
      set_bytes(v, kCChar, view_of<arrow::LargeStringArray>(array, row));
      break;
    case arrow::Type::STRING_VIEW:
      set_bytes(v, kCChar, view_of<arrow::StringViewArray>(array, row));
      break;
    case arrow::Type::BINARY:
      set_bytes(v, kCBinary, view_of<arrow::BinaryArray>(array, row));
      break;
    case arrow::Type::LARGE_BINARY:
      set_bytes(v, kCBinary, view_of<arrow::LargeBinaryArray>(array, row));
      break;
    case arrow::Type::BINARY_VIEW:
      set_bytes(v, kCBinary, view_of<arrow::BinaryViewArray>(array, row));
      break;
    case arrow::Type::FIXED_SIZE_BINARY:
      set_bytes(v, kCBinary, view_of<arrow::FixedSizeBinaryArray>(array, row));
      break;
    case arrow::Type::DATE32:
      return set_date(v, k, static_cast<const arrow::Date32Array&>(array).Value(row));
    case arrow::Type::DATE64:
      return set_date(
          v, k,
          cells::floor_div(static_cast<const arrow::Date64Array&>(array).Value(row), 86400000));
    case arrow::Type::TIMESTAMP:
      return set_timestamp(v, k, static_cast<const arrow::TimestampType&>(type),
                           static_cast<const arrow::TimestampArray&>(array).Value(row));
    case arrow::Type::TIME32:
      set_time(v, static_cast<const arrow::Time32Type&>(type).unit(),
               static_cast<const arrow::Time32Array&>(array).Value(row));
      break;
    case arrow::Type::TIME64:
      set_time(v, static_cast<const arrow::Time64Type&>(type).unit(),
               static_cast<const arrow::Time64Array&>(array).Value(row));
      break;
    case arrow::Type::DECIMAL128:
      return set_decimal(v, k, static_cast<const arrow::Decimal128Array&>(array), row);
    default: return unsupported(k, type);
  }
  return arrow::Status::OK();
}

// The status that goes with a substitution failure's SQLSTATE.
AdbcStatusCode status_for_param_failure(const std::string& sqlstate) {
  if (sqlstate == "07006" || sqlstate == "HYC00" || sqlstate == "HY003") {
    return ADBC_STATUS_NOT_IMPLEMENTED;
  }
  if (sqlstate.rfind("22", 0) == 0) return ADBC_STATUS_INVALID_DATA;
  if (sqlstate == "HY001" || sqlstate == "HY000") return ADBC_STATUS_INTERNAL;
  return ADBC_STATUS_INVALID_ARGUMENT;  // 07002 count mismatch, HY009/HY090/HY104 bad values
}

AdbcStatusCode report(AdbcError* error, const arrow::Status& status, const std::string& where) {
  const std::string sqlstate = sqlstate_of(status);
  set_error(error, "AdbcStatementExecuteQuery: " + where + status.message(), sqlstate.c_str());
  return status_for_param_failure(sqlstate);
}

// Every bound row, read up front: the bound data are consumed, and their row count decides how
// a query's results are returned.
arrow::Result<std::vector<std::shared_ptr<arrow::RecordBatch>>> take_bound_rows(
    NVAdbcStatementState* state) {
  auto reader = arrow::ImportRecordBatchReader(state->bound_stream);
  if (state->bound_stream->release != nullptr) state->bound_stream->release(state->bound_stream);
  std::free(state->bound_stream);
  state->bound_stream = nullptr;
  ARROW_RETURN_NOT_OK(reader.status());
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
  for (;;) {
    std::shared_ptr<arrow::RecordBatch> batch;
    ARROW_RETURN_NOT_OK((*reader)->ReadNext(&batch));
    if (batch == nullptr) return batches;
    if (batch->num_rows() > 0) batches.push_back(std::move(batch));
  }
}

// A result stream that run_sql made, read to its end.
struct Result {
  std::shared_ptr<arrow::Schema> schema;
  arrow::RecordBatchVector batches;
};
arrow::Result<Result> drain(ArrowArrayStream* stream) {
  ARROW_ASSIGN_OR_RAISE(auto reader, arrow::ImportRecordBatchReader(stream));
  Result result{reader->schema(), {}};
  ARROW_ASSIGN_OR_RAISE(result.batches, reader->ToRecordBatches());
  return result;
}

// Several rows' query results, concatenated into one stream.
AdbcStatusCode concatenate_results(NVAdbcStatementState* state,
                                   const std::vector<std::string>& sqls, ArrowArrayStream* out,
                                   int64_t* rows_affected, AdbcError* error) {
  std::shared_ptr<arrow::Schema> schema;
  std::vector<std::shared_ptr<arrow::RecordBatch>> results;
  int64_t total = 0;
  for (size_t i = 0; i < sqls.size(); ++i) {
    ArrowArrayStream stream{};
    int64_t rows = -1;
    const AdbcStatusCode rc = run_sql(state, sqls[i].c_str(), &stream, &rows, error);
    if (rc != ADBC_STATUS_OK) return rc;
    if (rows > 0) total += rows;
    auto result = drain(&stream);
    if (!result.ok()) {
      set_error(error,
                "AdbcStatementExecuteQuery: bound row " + std::to_string(i + 1) + ": " +
                    result.status().message(),
                "HY000");
      return ADBC_STATUS_IO;
    }
    if (schema == nullptr) {
      schema = result->schema;
    } else if (!schema->Equals(*result->schema)) {
      set_error(error,
                "AdbcStatementExecuteQuery: the results of bound rows 1 and " +
                    std::to_string(i + 1) + " have different schemas and cannot form one result",
                "HY000");
      return ADBC_STATUS_INVALID_STATE;
    }
    for (auto& batch : result->batches) results.push_back(std::move(batch));
  }
  if (rows_affected != nullptr) *rows_affected = total;
  auto reader = arrow::RecordBatchReader::Make(std::move(results), schema);
  arrow::Status st = reader.status();
  if (st.ok()) st = arrow::ExportRecordBatchReader(*reader, out);
  if (!st.ok()) {
    set_error(error, "AdbcStatementExecuteQuery: " + st.ToString(), "HY000");
    return ADBC_STATUS_INTERNAL;
  }
  return ADBC_STATUS_OK;
}

}  // namespace

std::string sqlstate_of(const arrow::Status& status) {
  if (auto detail = std::dynamic_pointer_cast<SqlStateDetail>(status.detail())) {
    return detail->sqlstate();
  }
  return "HY000";
}

arrow::Result<std::string> substitute_row(std::string_view sql, const arrow::RecordBatch& batch,
                                          int64_t row) {
  const int columns = batch.num_columns();
  std::vector<ParamValue> values(static_cast<size_t>(columns));
  std::vector<NVParamBinding> bindings(values.size());
  for (int c = 0; c < columns; ++c) {
    ARROW_RETURN_NOT_OK(bind_value(values[c], c + 1, *batch.column(c), row));
    bindings[c] = values[c].binding;
  }
  char* out = nullptr;
  char sqlstate[6] = "HY000";
  char message[512] = "";
  if (nv_param_substitute(sql.data(), sql.size(), bindings.data(), bindings.size(), &out, sqlstate,
                          message, sizeof message) != 0) {
    return param_error(sqlstate, message);
  }
  std::string text(out);
  std::free(out);
  return text;
}

AdbcStatusCode execute_with_parameters(NVAdbcStatementState* state, ArrowArrayStream* out,
                                       int64_t* rows_affected, AdbcError* error) {
  if (rows_affected != nullptr) *rows_affected = -1;
  auto bound = take_bound_rows(state);
  if (!bound.ok()) {
    set_error(
        error,
        "AdbcStatementExecuteQuery: reading the bound parameters: " + bound.status().ToString(),
        "22023");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  std::vector<std::string> sqls;
  for (const auto& batch : *bound) {
    for (int64_t row = 0; row < batch->num_rows(); ++row) {
      auto sql = substitute_row(state->sql, *batch, row);
      if (!sql.ok()) {
        return report(error, sql.status(), "bound row " + std::to_string(sqls.size() + 1) + ": ");
      }
      sqls.push_back(std::move(*sql));
    }
  }
  if (out == nullptr) {
    int64_t total = 0;
    for (const std::string& sql : sqls) {
      int64_t rows = -1;
      const AdbcStatusCode rc = run_sql(state, sql.c_str(), nullptr, &rows, error);
      if (rc != ADBC_STATUS_OK) return rc;
      if (rows > 0) total += rows;
    }
    if (rows_affected != nullptr) *rows_affected = total;
    return ADBC_STATUS_OK;
  }
  if (sqls.empty()) {
    set_error(error,
              "AdbcStatementExecuteQuery: the bound parameters hold no row to run the "
              "query with",
              "07002");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  if (sqls.size() == 1) return run_sql(state, sqls.front().c_str(), out, rows_affected, error);
  return concatenate_results(state, sqls, out, rows_affected, error);
}

}  // namespace norvale::adbc
