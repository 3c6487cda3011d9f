// SQL literals of Arrow values in the service's dialect, typed by the value's Arrow type and
// built on each type's cell text.
#pragma once

#include <arrow/api.h>

#include <cstdint>
#include <memory>
#include <string>

namespace norvale::cells {

/// The literals of one column. Every literal names its type, so that a NULL and a value, or the
/// same statement run over many rows, give results of one type:
///   integers, floats, decimals, dates, times, timestamps, intervals: TYPE 'cell text'
///     (BIGINT '42', DOUBLE 'NaN', DECIMAL(38,2) '1.50', TIMESTAMP WITH TIME ZONE '...+00:00');
///   booleans TRUE and FALSE; text as a quoted string; binary data as from_hex('00ab');
///   a null as CAST(NULL AS TYPE).
/// Every literal starts with a letter or a quote and ends with a letter, a quote or ')'.
class SqlLiteralColumn {
 public:
  /// Prepares the literals of `array` (its cell text is built once here). Types without a
  /// faithful literal fail with SQLSTATE 07006; values without one (text that is not UTF-8 or
  /// holds a NUL byte, dates before year 1, sub-microsecond digits the service's type would
  /// drop) with a 22xxx SQLSTATE and the row (see sql_state_internal.h).
  static arrow::Result<SqlLiteralColumn> Make(std::shared_ptr<arrow::Array> array);

  /// Fails as Make would for `array`, with the same SQLSTATE and row, without building any
  /// text: for callers that send the values themselves rather than their literals.
  static arrow::Status Check(std::shared_ptr<arrow::Array> array);

  /// Appends the literal of `row`.
  void Append(int64_t row, std::string* out) const;

  int64_t length() const { return text_->length(); }

 private:
  enum class Form : uint8_t {
    kTyped,   // prefix, then the cell text quoted
    kString,  // the cell text quoted
    kBare,    // the cell text as it is (true, false)
    kHex,     // from_hex('...') of the cell text without its 0x
    kNull,    // NULL (the null type)
  };

  Form form_ = Form::kTyped;
  std::string prefix_;        // "BIGINT " and the like
  std::string null_literal_;  // CAST(NULL AS BIGINT) and the like
  std::shared_ptr<arrow::StringArray> text_;
};

}  // namespace norvale::cells
