#include "adbc/status_internal.h"

#include <cstring>
#include <memory>
#include <string>

#include "cells/sql_state_internal.h"

namespace norvale::adbc {
namespace {

// The Arrow code only shows in ToString; the ADBC code is what hosts see.
arrow::StatusCode arrow_code_for(AdbcStatusCode code) {
  switch (code) {
    case ADBC_STATUS_NOT_IMPLEMENTED: return arrow::StatusCode::NotImplemented;
    case ADBC_STATUS_ALREADY_EXISTS: return arrow::StatusCode::AlreadyExists;
    case ADBC_STATUS_IO:
    case ADBC_STATUS_TIMEOUT: return arrow::StatusCode::IOError;
    case ADBC_STATUS_CANCELLED: return arrow::StatusCode::Cancelled;
    case ADBC_STATUS_INTERNAL: return arrow::StatusCode::UnknownError;
    default: return arrow::StatusCode::Invalid;
  }
}

arrow::Status make(AdbcStatusCode code, std::string sqlstate, bool from_message,
                   std::string message, ErrorOrigin origin) {
  return arrow::Status(arrow_code_for(code), std::move(message),
                       std::make_shared<AdbcStatusDetail>(code, std::move(sqlstate), from_message,
                                                          std::move(origin)));
}

const AdbcStatusDetail* adbc_detail(const arrow::Status& status) {
  const arrow::StatusDetail* detail = status.detail().get();
  return detail != nullptr && std::strcmp(detail->type_id(), "norvale::adbc::AdbcStatusDetail") == 0
             ? static_cast<const AdbcStatusDetail*>(detail)
             : nullptr;
}

}  // namespace

std::string AdbcStatusDetail::ToString() const {
  return "ADBC status " + std::to_string(code_) +
         (sqlstate_.empty() ? std::string() : ", SQLSTATE " + sqlstate_);
}

arrow::Status adbc_failure(AdbcStatusCode code, const char* sqlstate, std::string message,
                           ErrorOrigin origin) {
  return make(code, sqlstate != nullptr ? sqlstate : "", false, std::move(message),
              std::move(origin));
}

arrow::Status invalid_argument(std::string message) {
  return adbc_failure(ADBC_STATUS_INVALID_ARGUMENT, "HY009", std::move(message));
}

arrow::Status invalid_state(std::string message) {
  return adbc_failure(ADBC_STATUS_INVALID_STATE, "HY010", std::move(message));
}

arrow::Status out_of_memory(std::string message) {
  return adbc_failure(ADBC_STATUS_INTERNAL, "HY001", std::move(message));
}

arrow::Status internal_failure(std::string message) {
  return adbc_failure(ADBC_STATUS_INTERNAL, "HY000", std::move(message));
}

arrow::Status unsupported_option(std::string message) {
  return adbc_failure(ADBC_STATUS_NOT_IMPLEMENTED, "HYC00", std::move(message));
}

arrow::Status cancelled_by_client(std::string_view call) {
  return adbc_failure(ADBC_STATUS_CANCELLED, "HY008", std::string(call) + ": cancelled by client");
}

arrow::Status transport_failure(const char* message, AdbcStatusCode code, ErrorOrigin origin) {
  return make(code, "", true, message != nullptr ? message : "", std::move(origin));
}

arrow::Status query_failure(NVQueryHandle* query) {
  const char* sqlstate = nv_query_sqlstate(query);
  const bool has_sqlstate = sqlstate != nullptr && std::strlen(sqlstate) >= 5;
  ErrorOrigin origin;
  origin.native_code = nv_query_native_error(query);
  if (const char* stream_id = nv_query_stream_id(query); stream_id != nullptr) {
    origin.details.push_back({kDetailStreamId, stream_id});
  }
  if (const int32_t http = nv_query_http_status(query); http != 0) {
    origin.details.push_back({kDetailHttpStatus, std::to_string(http)});
  }
  const char* message = nv_query_error(query);
  return make(has_sqlstate ? status_for_sqlstate(sqlstate) : ADBC_STATUS_IO,
              has_sqlstate ? std::string(sqlstate, 5) : std::string(), true,
              message != nullptr ? message : "", std::move(origin));
}

arrow::Status with_context(std::string_view prefix, const arrow::Status& status,
                           std::string_view suffix) {
  if (status.ok()) return status;
  const AdbcStatusDetail* detail = adbc_detail(status);
  if (detail == nullptr || !detail->from_message()) {
    return status.WithMessage(prefix, status.message(), suffix);
  }
  const char* text = transport_message_text(status.message().c_str());
  std::string sqlstate =
      detail->sqlstate().empty() ? sqlstate_from_message(text) : detail->sqlstate();
  return make(detail->code(), std::move(sqlstate), false,
              std::string(prefix) + text + std::string(suffix), detail->origin());
}

arrow::Status with_code(AdbcStatusCode code, const arrow::Status& failure,
                        const char* sqlstate) {
  if (failure.ok()) return failure;
  if (const AdbcStatusDetail* detail = adbc_detail(failure)) {
    std::string kept = detail->sqlstate();
    // The SQLSTATE that went with the old code stays with the new one.
    if (kept.empty() && !detail->from_message()) kept = default_sqlstate_for(detail->code());
    return make(code, sqlstate != nullptr ? std::string(sqlstate) : std::move(kept),
                detail->from_message(), failure.message(), detail->origin());
  }
  auto sql = std::dynamic_pointer_cast<cells::SqlStateDetail>(failure.detail());
  return make(code,
              sqlstate != nullptr ? std::string(sqlstate)
              : sql != nullptr    ? sql->sqlstate()
                                  : std::string("HY000"),
              false, failure.message(), {});
}

AdbcStatusCode adbc_code_of(const arrow::Status& status) {
  if (status.ok()) return ADBC_STATUS_OK;
  if (const AdbcStatusDetail* detail = adbc_detail(status)) return detail->code();
  auto sql = std::dynamic_pointer_cast<cells::SqlStateDetail>(status.detail());
  return sql != nullptr ? status_for_sqlstate(sql->sqlstate().c_str()) : ADBC_STATUS_INTERNAL;
}

AdbcStatusCode to_adbc(const arrow::Status& status, AdbcError* error) {
  if (status.ok()) return ADBC_STATUS_OK;
  const AdbcStatusCode code = adbc_code_of(status);
  if (error == nullptr) return code;
  if (const AdbcStatusDetail* detail = adbc_detail(status)) {
    if (detail->from_message()) {
      set_error_from_nv(error, status.message().c_str(), detail->origin());
      if (detail->sqlstate().size() == sizeof error->sqlstate) {
        std::memcpy(error->sqlstate, detail->sqlstate().data(), sizeof error->sqlstate);
      }
    } else {
      const char* sqlstate =
          detail->sqlstate().empty() ? default_sqlstate_for(code) : detail->sqlstate().c_str();
      set_error(error, status.message(), sqlstate, detail->origin());
    }
    return code;
  }
  auto sql = std::dynamic_pointer_cast<cells::SqlStateDetail>(status.detail());
  set_error(error, status.message(),
            sql != nullptr ? sql->sqlstate().c_str() : default_sqlstate_for(code));
  return code;
}

}  // namespace norvale::adbc
