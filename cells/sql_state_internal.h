// Failures that carry the SQLSTATE a caller reports, and the row of the data they concern.
#pragma once

#include <arrow/status.h>

#include <cstdint>
#include <memory>
#include <string>

namespace norvale::cells {

class SqlStateDetail : public arrow::StatusDetail {
 public:
  SqlStateDetail(std::string sqlstate, int64_t row) : sqlstate_(std::move(sqlstate)), row_(row) {}
  const char* type_id() const override { return "norvale::cells::SqlStateDetail"; }
  std::string ToString() const override { return "SQLSTATE " + sqlstate_; }
  const std::string& sqlstate() const { return sqlstate_; }
  int64_t row() const { return row_; }

 private:
  std::string sqlstate_;
  int64_t row_;
};

/// An Invalid status with `message`, its SQLSTATE and the row (0-based; -1 when none) it
/// concerns.
inline arrow::Status sql_error(std::string sqlstate, std::string message, int64_t row = -1) {
  return arrow::Status(arrow::StatusCode::Invalid, std::move(message),
                       std::make_shared<SqlStateDetail>(std::move(sqlstate), row));
}

/// The SQLSTATE a status carries; "HY000" when it carries none.
inline std::string sqlstate_of(const arrow::Status& status) {
  auto detail = std::dynamic_pointer_cast<SqlStateDetail>(status.detail());
  return detail != nullptr ? detail->sqlstate() : "HY000";
}

/// The row a status concerns; -1 when none.
inline int64_t failed_row_of(const arrow::Status& status) {
  auto detail = std::dynamic_pointer_cast<SqlStateDetail>(status.detail());
  return detail != nullptr ? detail->row() : -1;
}

}  // namespace norvale::cells
