// AdbcConnectionGetInfo: vendor and driver facts, built locally in a fixed order.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <variant>

#include <arrow/api.h>
#include <arrow/config.h>

#include "adbc/status_internal.h"
#include "adbc/result_stream_internal.h"
#include "metadata/metadata_calls_internal.h"
#include "norvale/nv_log.h"

namespace norvale::adbc {
namespace {

constexpr int8_t kStringValue = 0;
constexpr int8_t kBoolValue = 1;
constexpr int8_t kInt64Value = 2;

// Stands for the version of the Arrow library this process runs on (not the one compiled
// against): the library answers it itself.
struct LinkedArrowVersion {};

struct InfoEntry {
  uint32_t code;
  std::variant<const char*, bool, int64_t, LinkedArrowVersion> value;
};

// In output order.
constexpr InfoEntry kInfo[] = {
    {0, "Norvale"},          // vendor name
    {1, "1.0.0"},            // vendor version
    {2, LinkedArrowVersion{}},  // vendor Arrow version: the Arrow data are this library's
    {3, true},               // vendor SQL support
    {4, false},              // vendor Substrait support
    {100, "Norvale ADBC"},   // driver name
    {101, "1.0.0"},          // driver version
    {102, LinkedArrowVersion{}},  // driver Arrow version
    {103, int64_t{1001000}}, // driver ADBC version: 1.1.0
};

arrow::Status append_string_info(arrow::DenseUnionBuilder* values, const char* text) {
  ARROW_RETURN_NOT_OK(values->Append(kStringValue));
  return static_cast<arrow::StringBuilder*>(values->child_builder(kStringValue).get())
      ->Append(text);
}

arrow::Status append_bool_info(arrow::DenseUnionBuilder* values, bool flag) {
  ARROW_RETURN_NOT_OK(values->Append(kBoolValue));
  return static_cast<arrow::BooleanBuilder*>(values->child_builder(kBoolValue).get())
      ->Append(flag);
}

arrow::Status append_int64_info(arrow::DenseUnionBuilder* values, int64_t number) {
  ARROW_RETURN_NOT_OK(values->Append(kInt64Value));
  return static_cast<arrow::Int64Builder*>(values->child_builder(kInt64Value).get())
      ->Append(number);
}

bool selected(uint32_t code, const uint32_t* codes, size_t length) {
  return codes == nullptr || std::find(codes, codes + length, code) != codes + length;
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> build_info(const uint32_t* codes,
                                                              size_t length) {
  auto schema = build_info_schema();
  arrow::UInt32Builder names;
  std::unique_ptr<arrow::ArrayBuilder> value_builder;
  ARROW_RETURN_NOT_OK(arrow::MakeBuilder(arrow::default_memory_pool(),
                                         schema->field(1)->type(), &value_builder));
  auto* values = static_cast<arrow::DenseUnionBuilder*>(value_builder.get());
  for (const InfoEntry& entry : kInfo) {
    if (!selected(entry.code, codes, length)) continue;
    ARROW_RETURN_NOT_OK(names.Append(entry.code));
    if (const auto* text = std::get_if<const char*>(&entry.value)) {
      ARROW_RETURN_NOT_OK(append_string_info(values, *text));
    } else if (std::holds_alternative<LinkedArrowVersion>(entry.value)) {
      ARROW_RETURN_NOT_OK(append_string_info(values, arrow::GetBuildInfo().version_string.c_str()));
    } else if (const auto* flag = std::get_if<bool>(&entry.value)) {
      ARROW_RETURN_NOT_OK(append_bool_info(values, *flag));
    } else {
      ARROW_RETURN_NOT_OK(append_int64_info(values, std::get<int64_t>(entry.value)));
    }
  }
  std::shared_ptr<arrow::Array> name_array;
  std::shared_ptr<arrow::Array> value_array;
  ARROW_RETURN_NOT_OK(names.Finish(&name_array));
  ARROW_RETURN_NOT_OK(values->Finish(&value_array));
  return arrow::RecordBatch::Make(schema, name_array->length(), {name_array, value_array});
}

}  // namespace
}  // namespace norvale::adbc

extern "C" AdbcStatusCode nv_adbc_connection_get_info(AdbcConnection* connection,
                                                      const uint32_t* info_codes,
                                                      size_t info_codes_length,
                                                      ArrowArrayStream* out, AdbcError* error) {
  using namespace norvale::adbc;
  try {
    nv_log_emit(NV_LOG_INFO, "api", "AdbcConnectionGetInfo(conn=%p, codes=%p, length=%zu)",
                static_cast<void*>(connection), static_cast<const void*>(info_codes),
                info_codes_length);
    if (connection == nullptr || out == nullptr) {
      set_error(error, "AdbcConnectionGetInfo: null connection or stream", "HY009");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    auto batch = build_info(info_codes, info_codes_length);
    if (!batch.ok()) {
      char text[256];
      std::snprintf(text, sizeof(text), "AdbcConnectionGetInfo: builder failed: %s",
                    batch.status().message().c_str());
      set_error(error, text, "HY000");
      return ADBC_STATUS_INTERNAL;
    }
    nv_log_emit(NV_LOG_DEBUG, "meta_engine", "GetInfo served from snapshot (rows=%lld)",
                static_cast<long long>((*batch)->num_rows()));
    return to_adbc(export_single_batch(*std::move(batch), out), error);
  } catch (const std::exception& e) {
    set_error(error, std::string("AdbcConnectionGetInfo: internal error: ") + e.what(), "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}
