// Failures inside the ADBC layer travel as arrow::Status values whose detail carries what the
// host reads from AdbcError besides the message: the ADBC status code, the SQLSTATE, the
// vendor code and the ADBC 1.1 details. The implementations return such statuses; the entry
// seam (entry_internal.h) turns them into AdbcError in one place, to_adbc.
#pragma once

#include <arrow/status.h>

#include <string>
#include <string_view>

#include "adbc/error_internal.h"
#include "norvale/nv_query.h"
#include "norvale_adbc.h"

namespace norvale::adbc {

/// The ADBC side of a failure. An empty SQLSTATE means the one set_error_from_nv picks from the
/// message (`from_message`) or else default_sqlstate_for(code); with `from_message` a given
/// SQLSTATE still replaces the message's.
class AdbcStatusDetail final : public arrow::StatusDetail {
 public:
  AdbcStatusDetail(AdbcStatusCode code, std::string sqlstate, bool from_message,
                   ErrorOrigin origin)
      : code_(code),
        sqlstate_(std::move(sqlstate)),
        from_message_(from_message),
        origin_(std::move(origin)) {}
  const char* type_id() const override { return "norvale::adbc::AdbcStatusDetail"; }
  std::string ToString() const override;

  AdbcStatusCode code() const { return code_; }
  const std::string& sqlstate() const { return sqlstate_; }
  bool from_message() const { return from_message_; }
  const ErrorOrigin& origin() const { return origin_; }

 private:
  AdbcStatusCode code_;
  std::string sqlstate_;
  bool from_message_;
  ErrorOrigin origin_;
};

/// A failure with its ADBC status code and SQLSTATE (null: default_sqlstate_for(code)).
arrow::Status adbc_failure(AdbcStatusCode code, const char* sqlstate, std::string message,
                           ErrorOrigin origin = {});

/// The layer's SQLSTATE conventions.
arrow::Status invalid_argument(std::string message);    // HY009, INVALID_ARGUMENT (also null)
arrow::Status invalid_state(std::string message);       // HY010, INVALID_STATE
arrow::Status out_of_memory(std::string message);       // HY001, INTERNAL
arrow::Status internal_failure(std::string message);    // HY000, INTERNAL
arrow::Status unsupported_option(std::string message);  // HYC00, NOT_IMPLEMENTED
/// "<call>: cancelled by client", HY008, CANCELLED.
arrow::Status cancelled_by_client(std::string_view call);

/// A failure reported by the core client in `message`: the SQLSTATE follows the message's text
/// as set_error_from_nv decides it (a null or empty message gets that helper's fixed text).
arrow::Status transport_failure(const char* message, AdbcStatusCode code = ADBC_STATUS_IO,
                                ErrorOrigin origin = {});

/// A failed query: its message, its own SQLSTATE when it has one (else the message's), and its
/// native code, stream id and HTTP status as the origin. The status code goes with the SQLSTATE
/// (IO without one).
arrow::Status query_failure(NVQueryHandle* query);

/// `status` with `prefix` before and `suffix` after its message, reporting what it reported
/// before: a SQLSTATE the message's text was to choose is chosen from the text without them.
arrow::Status with_context(std::string_view prefix, const arrow::Status& status,
                           std::string_view suffix = {});

/// `failure` reporting `code`, and `sqlstate` when given, instead of its own; its message and
/// origin stay.
arrow::Status with_code(AdbcStatusCode code, const arrow::Status& failure,
                        const char* sqlstate = nullptr);

/// The ADBC status code a failure reports (OK for OK).
AdbcStatusCode adbc_code_of(const arrow::Status& status);

/// Fills `error` (may be null) from a failed status and returns its ADBC status code; OK leaves
/// the error untouched. A status made without an ADBC detail reports the SQLSTATE of its
/// cells::SqlStateDetail with the status that SQLSTATE stands for, or else HY000 and INTERNAL:
/// a bare Arrow failure is the driver's own.
AdbcStatusCode to_adbc(const arrow::Status& status, AdbcError* error);

}  // namespace norvale::adbc
