// GetParameterSchema: the parameters of the statement's SQL as an Arrow schema, one field per
// parameter in parameter order.
#include <arrow/c/bridge.h>
#include <arrow/type.h>

#include <exception>
#include <string>

#include "adbc/error_internal.h"
#include "adbc/parameter_markers_internal.h"
#include "cells/sql_state_internal.h"
#include "norvale/nv_log.h"

namespace norvale::adbc {
namespace {

// The schema of the bound data, when data are bound and tell it.
std::shared_ptr<arrow::Schema> bound_schema(NVAdbcStatementState* state) {
  ArrowArrayStream* stream = state->bound_stream;
  if (stream == nullptr || stream->get_schema == nullptr) return nullptr;
  ArrowSchema c_schema{};
  if (stream->get_schema(stream, &c_schema) != 0) return nullptr;
  auto schema = arrow::ImportSchema(&c_schema);
  return schema.ok() ? *schema : nullptr;
}

// A field per parameter, named as the statement names it ("" for ?, "$1" for $1, the name for
// $name and :name); its type is the bound column's when data are bound and match, else null.
std::shared_ptr<arrow::Schema> parameter_schema(const StatementParameters& params,
                                                const arrow::Schema* bound, bool by_name) {
  std::vector<int> columns;
  if (bound != nullptr) {
    auto matched = bind_columns(params, *bound, by_name);
    if (matched.ok()) columns = *std::move(matched);
  }
  arrow::FieldVector fields;
  for (size_t i = 0; i < params.names.size(); ++i) {
    auto type = columns.empty() ? arrow::null() : bound->field(columns[i])->type();
    fields.push_back(arrow::field(params.names[i], std::move(type)));
  }
  return arrow::schema(std::move(fields));
}

AdbcStatusCode get_parameter_schema(AdbcStatement* statement, ArrowSchema* out,
                                    AdbcError* error) {
  if (statement == nullptr || out == nullptr) {
    set_error(error, "AdbcStatementGetParameterSchema: null statement or schema", "HY009");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  auto* state = static_cast<NVAdbcStatementState*>(statement->private_data);
  if (state == nullptr) {
    set_error(error, "AdbcStatementGetParameterSchema: statement not allocated", "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  if (state->sql == nullptr) {
    set_error(error,
              "AdbcStatementGetParameterSchema: SetSqlQuery and Prepare must be called first",
              "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  const bool by_name = state->bind_by_name != 0;
  auto params = find_parameters(state->sql, by_name);
  if (!params.ok()) {
    set_error(error, "AdbcStatementGetParameterSchema: " + params.status().message(),
              cells::sqlstate_of(params.status()).c_str());
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  const std::shared_ptr<arrow::Schema> bound = bound_schema(state);
  const arrow::Status st =
      arrow::ExportSchema(*parameter_schema(*params, bound.get(), by_name), out);
  if (!st.ok()) {
    set_error(error, "AdbcStatementGetParameterSchema: " + st.ToString(), "HY000");
    return ADBC_STATUS_INTERNAL;
  }
  return ADBC_STATUS_OK;
}

}  // namespace
}  // namespace norvale::adbc

extern "C" AdbcStatusCode nv_adbc_statement_get_parameter_schema(AdbcStatement* statement,
                                                                 ArrowSchema* schema,
                                                                 AdbcError* error) {
  if (nv_log_level() >= NV_LOG_INFO) {
    nv_log_emit(NV_LOG_INFO, "api", "AdbcStatementGetParameterSchema(stmt=%p)",
                static_cast<void*>(statement));
  }
  try {
    return norvale::adbc::get_parameter_schema(statement, schema, error);
  } catch (const std::exception& e) {
    norvale::adbc::set_error(error, std::string("AdbcStatementGetParameterSchema: ") + e.what(),
                             "HY000");
  } catch (...) {
    norvale::adbc::set_error(error, "AdbcStatementGetParameterSchema: internal error", "HY000");
  }
  return ADBC_STATUS_INTERNAL;
}
