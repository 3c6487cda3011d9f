// Substitution of ODBC-style bound parameters into SQL text as literals.
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "cells/decimal_text_internal.h"
#include "cells/float_text_internal.h"
#include "cells/param_internal.h"
#include "cells/sql_lexer.h"
#include "cells/utf_internal.h"
#include "norvale/nv_cells.h"

namespace norvale::cells {
namespace {

// ODBC C type codes.
constexpr int16_t kCChar = 1, kCWChar = -8, kCBinary = -2, kCBit = -7, kCSTinyInt = -26,
                  kCUTinyInt = -28, kCSShort = -15, kCShort = 5, kCUShort = -17, kCSLong = -16,
                  kCLong = 4, kCULong = -18, kCSBigInt = -25, kCUBigInt = -27, kCDouble = 8,
                  kCFloat = 7, kCNumeric = 2, kCDate = 9, kCTypeDate = 91, kCTime = 10,
                  kCTypeTime = 92, kCTimestamp = 11, kCTypeTimestamp = 93, kCDefault = 99;

constexpr int64_t kNullData = -1, kDataAtExec = -2, kNts = -3, kLenDataAtExecOffset = -100;
constexpr size_t kMaxSql = NV_PARAM_MAX_SQL_LENGTH;
constexpr size_t kMaxNtsChars = 67108864;
constexpr size_t kMaxNtsUnits = 33554432;

struct Failure {
  const char* sqlstate = nullptr;
  char message[256] = {0};
};

__attribute__((format(printf, 3, 4))) bool fail(Failure& f, const char* sqlstate,
                                                const char* fmt, ...) {
  f.sqlstate = sqlstate;
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(f.message, sizeof(f.message), fmt, args);
  va_end(args);
  return false;
}

template <typename T>
T read_value(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

int16_t implied_c_type(int16_t sql_type) {
  switch (sql_type) {
    case -8: case -9: case -10: return kCWChar;
    case -7: return kCBit;
    case -6: return kCSTinyInt;
    case -5: return kCSBigInt;
    case -2: case -3: case -4: return kCBinary;
    case 1: case 12: case -1: return kCChar;
    case 2: case 3: return kCNumeric;
    case 4: return kCSLong;
    case 5: return kCSShort;
    case 6: case 8: return kCDouble;
    case 7: return kCFloat;
    case 9: case 91: return kCTypeDate;
    case 10: case 92: return kCTypeTime;
    case 11: case 93: return kCTypeTimestamp;
    default: return 0;
  }
}

bool append_char(std::string& out, const NVParamBinding& p, int64_t ind, unsigned n,
                 Failure& f) {
  const char* text = static_cast<const char*>(p.value);
  size_t length;
  if (ind >= 0) {
    length = static_cast<size_t>(ind);
    if (std::memchr(text, 0, length) != nullptr) {
      return fail(f, "HY090",
                  "parameter %u: SQL_C_CHAR value contains an embedded NUL byte (prohibited; SQL "
                  "string termination is engine-dependent)",
                  n);
    }
  } else {
    const size_t limit =
        (ind == kNts && p.buffer_length >= 1) ? static_cast<size_t>(p.buffer_length) : kMaxNtsChars;
    const void* nul = ind == kNts ? std::memchr(text, 0, limit) : nullptr;
    if (nul == nullptr) {
      return fail(f, "HY090",
                  "parameter %u: invalid string length %" PRId64
                  " (SQL_NTS without NUL within buffer_length, or buffer_length missing)",
                  n, ind);
    }
    length = static_cast<size_t>(static_cast<const char*>(nul) - text);
  }
  append_sql_quoted(out, std::string_view(text, length));
  return true;
}

bool append_wchar(std::string& out, const NVParamBinding& p, int64_t ind, unsigned n,
                  Failure& f) {
  // Units are read through an aligned copy: callers' buffers need not be 2-byte aligned.
  const auto* bytes = static_cast<const uint8_t*>(p.value);
  auto unit_at = [&](size_t i) { return read_value<uint16_t>(bytes + 2 * i); };
  size_t units;
  if (ind == kNts) {
    if (p.buffer_length == 1) {
      return fail(f, "HY090",
                  "parameter %u: WCHAR length error (SQL_NTS without NUL within declared buffer)",
                  n);
    }
    const size_t limit =
        p.buffer_length < 1 ? kMaxNtsUnits : static_cast<size_t>(p.buffer_length) / 2;
    units = 0;
    while (units < limit && unit_at(units) != 0) ++units;
    if (units == limit) {
      return fail(f, "HY090",
                  "parameter %u: WCHAR length error (SQL_NTS without NUL within declared buffer)",
                  n);
    }
  } else if (ind < 0 || ind % 2 != 0) {
    return fail(f, "HY090",
                "parameter %u: WCHAR byte length %" PRId64
                " is invalid (must be non-negative multiple of %zu)",
                n, ind, sizeof(uint16_t));
  } else {
    units = static_cast<size_t>(ind) / 2;
  }
  std::vector<uint16_t> wide(units);
  if (units > 0) std::memcpy(wide.data(), bytes, units * 2);
  // A zero unit would end the statement text early for every C-string consumer.
  for (uint16_t u : wide) {
    if (u == 0) {
      return fail(f, "HY090",
                  "parameter %u: SQL_C_WCHAR value contains an embedded NUL unit (prohibited; SQL "
                  "string termination is engine-dependent)",
                  n);
    }
  }
  std::string utf8;
  utf8.reserve(units * 3);
  char encoded[4];
  for (size_t i = 0; i < units;) {
    uint32_t cp;
    if (!decode_utf16(wide.data(), units, i, cp)) {
      return fail(f, "HY000", "parameter %u: malformed UTF-16 (lone surrogate or premature end)",
                  n);
    }
    utf8.append(encoded, encode_utf8(cp, encoded));
  }
  append_sql_quoted(out, utf8);
  return true;
}

bool append_binary(std::string& out, const NVParamBinding& p, int64_t ind, unsigned n,
                   Failure& f) {
  if (ind == kNts) {
    return fail(f, "HY090",
                "parameter %u: SQL_NTS is invalid for binary data; an explicit length is required",
                n);
  }
  if (ind < 0) {
    return fail(f, "HY090", "parameter %u: invalid binary length %" PRId64, n, ind);
  }
  append_hex_literal(out, static_cast<const uint8_t*>(p.value), static_cast<size_t>(ind));
  return true;
}

bool append_numeric(std::string& out, const uint8_t* s, unsigned n, Failure& f) {
  // SQL_NUMERIC_STRUCT: precision, scale (signed), sign (1 positive), 16-byte magnitude.
  const unsigned precision = s[0];
  const int scale = static_cast<int8_t>(s[1]);
  const bool negative = s[2] == 0;
  if (precision < 1 || precision > 38 || scale < 0 || scale > 38 ||
      scale > static_cast<int>(precision)) {
    return fail(f, "HY104",
                "parameter %u: SQL_NUMERIC scale=%d precision=%u out of range (scale must be "
                "0..38, precision must be 1..38, scale<=precision)",
                n, scale, precision);
  }
  uint64_t words[2];
  std::memcpy(words, s + 3, 16);
  char digits[80];
  const size_t count = magnitude_digits(words, 2, digits);
  const bool zero = count == 1 && digits[0] == '0';
  append_scaled_digits(out, negative && !zero, std::string_view(digits, count), scale);
  return true;
}

template <typename... Args>
void append_format(std::string& out, const char* fmt, Args... args) {
  char text[96];
  const int len = std::snprintf(text, sizeof(text), fmt, args...);
  out.append(text, static_cast<size_t>(len));
}

bool append_literal(std::string& out, const NVParamBinding& p, unsigned n, Failure& f) {
  if (p.input_output_type != 1) {
    return fail(f, "HYC00",
                "parameter %u: input_output_type=%d not supported (only SQL_PARAM_INPUT may "
                "appear in formatted output)",
                n, p.input_output_type);
  }
  const int64_t ind = p.indicator != nullptr ? read_value<int64_t>(p.indicator) : kNts;
  if (ind == kNullData) {
    out.append("NULL");
    return true;
  }
  if (ind == kDataAtExec || ind <= kLenDataAtExecOffset) {
    return fail(f, "HYC00", "parameter %u uses data-at-execution (SQLPutData), not implemented",
                n);
  }
  if (p.value == nullptr) {
    return fail(f, "HY009", "parameter %u: value buffer is NULL but indicator is %" PRId64, n,
                ind);
  }
  int16_t c_type = p.c_type;
  if (c_type == kCDefault) {
    c_type = implied_c_type(p.sql_type);
    if (c_type == 0) {
      return fail(f, "HY003", "parameter %u: SQL_C_DEFAULT cannot infer C type from SQL type %d",
                  n, p.sql_type);
    }
  }
  const void* v = p.value;
  switch (c_type) {
    case kCChar:
      return append_char(out, p, ind, n, f);
    case kCWChar:
      return append_wchar(out, p, ind, n, f);
    case kCBinary:
      return append_binary(out, p, ind, n, f);
    case kCBit: {
      const uint8_t bit = read_value<uint8_t>(v);
      if (bit > 1) {
        return fail(f, "22003", "parameter %u: SQL_C_BIT must be 0 or 1, got %u", n, bit);
      }
      out.append(bit ? "TRUE" : "FALSE");
      return true;
    }
    case kCSTinyInt:
      append_format(out, "%d", read_value<int8_t>(v));
      return true;
    case kCUTinyInt:
      append_format(out, "%u", read_value<uint8_t>(v));
      return true;
    case kCSShort:
    case kCShort:
      append_format(out, "%d", read_value<int16_t>(v));
      return true;
    case kCUShort:
      append_format(out, "%u", read_value<uint16_t>(v));
      return true;
    case kCSLong:
    case kCLong:
      append_format(out, "%d", read_value<int32_t>(v));
      return true;
    case kCULong:
      append_format(out, "%u", read_value<uint32_t>(v));
      return true;
    case kCSBigInt:
      append_format(out, "%" PRId64, read_value<int64_t>(v));
      return true;
    case kCUBigInt:
      append_format(out, "%" PRIu64, read_value<uint64_t>(v));
      return true;
    case kCDouble: {
      const double d = read_value<double>(v);
      if (!std::isfinite(d)) {
        return fail(f, "22003",
                    "parameter %u: double value is NaN or infinity, no SQL representation", n);
      }
      char text[kMaxFloatText];
      out.append(text, format_general(d, text));
      return true;
    }
    case kCFloat: {
      const float d = read_value<float>(v);
      if (!std::isfinite(d)) {
        return fail(f, "22003",
                    "parameter %u: float value is NaN or infinity, no SQL representation", n);
      }
      char text[kMaxFloatText];
      out.append(text, format_general(d, text));
      return true;
    }
    case kCNumeric:
      return append_numeric(out, static_cast<const uint8_t*>(v), n, f);
    case kCDate:
    case kCTypeDate: {
      const auto* b = static_cast<const uint8_t*>(v);
      append_format(out, "'%04d-%02d-%02d'", read_value<int16_t>(b), read_value<uint16_t>(b + 2),
                    read_value<uint16_t>(b + 4));
      return true;
    }
    case kCTime:
    case kCTypeTime: {
      const auto* b = static_cast<const uint8_t*>(v);
      append_format(out, "'%02d:%02d:%02d'", read_value<uint16_t>(b),
                    read_value<uint16_t>(b + 2), read_value<uint16_t>(b + 4));
      return true;
    }
    case kCTimestamp:
    case kCTypeTimestamp: {
      const auto* b = static_cast<const uint8_t*>(v);
      const int year = read_value<int16_t>(b);
      const int month = read_value<uint16_t>(b + 2), day = read_value<uint16_t>(b + 4);
      const int hour = read_value<uint16_t>(b + 6), minute = read_value<uint16_t>(b + 8);
      const int second = read_value<uint16_t>(b + 10);
      const uint32_t fraction = read_value<uint32_t>(b + 12);
      if (fraction == 0) {
        append_format(out, "'%04d-%02d-%02d %02d:%02d:%02d'", year, month, day, hour, minute,
                      second);
      } else {
        append_format(out, "'%04d-%02d-%02d %02d:%02d:%02d.%09u'", year, month, day, hour,
                      minute, second, fraction);
      }
      return true;
    }
    default:
      return fail(f, "07006", "parameter %u: C type %d is not supported as a parameter", n,
                  c_type);
  }
}

const NVParamBinding* find_parameter(const NVParamBinding* params, size_t count, size_t k) {
  if (k <= count && params[k - 1].parameter_number == k) return &params[k - 1];
  for (size_t i = 0; i < count; ++i) {
    if (params[i].parameter_number == k) return &params[i];
  }
  return nullptr;
}

// Builds the substituted text; false with `f` filled on the first failing placeholder.
bool substitute(std::string_view sql, const NVParamBinding* params, size_t param_count,
                std::string& out, Failure& f) {
  std::vector<size_t> placeholders;
  lex_sql(sql, [&](const SqlToken& t) {
    if (t.kind == SqlTokenKind::kPlaceholder) placeholders.push_back(t.begin);
  });
  size_t bound = 0;
  for (size_t i = 0; i < param_count; ++i) bound += params[i].parameter_number != 0 ? 1 : 0;
  if (placeholders.size() != bound) {
    return fail(f, "07002",
                "COUNT field incorrect: SQL has %d placeholder(s) but %zu parameter(s) bound",
                static_cast<int>(placeholders.size()), bound);
  }
  out.reserve(sql.size() * 2);
  size_t copied = 0;
  for (size_t k = 1; k <= placeholders.size(); ++k) {
    const size_t at = placeholders[k - 1];
    out.append(sql.substr(copied, at - copied));
    copied = at + 1;
    const NVParamBinding* p = k <= 65535 ? find_parameter(params, param_count, k) : nullptr;
    if (p == nullptr) return fail(f, "07002", "parameter %d is not bound", static_cast<int>(k));
    const size_t before = out.size();
    if (!append_literal(out, *p, static_cast<unsigned>(k), f)) return false;
    // The literal must stay one token: "- -5", never "--5" (a comment) or "||-5" (one
    // operator); "E '..'", never "E'..'" (a backslash string); "$ 1", never "$1"; and
    // nothing glued on after it.
    if (before > 0 && out.size() > before && joins_into_one_token(out[before - 1], out[before])) {
      out.insert(before, 1, ' ');
    }
    if (copied < sql.size() && out.size() > 0 && joins_into_one_token(out.back(), sql[copied])) {
      out.push_back(' ');
    }
  }
  out.append(sql.substr(copied));
  return true;
}

void report(const Failure& f, char* sqlstate, char* err, size_t err_size) {
  if (sqlstate != nullptr) {
    std::memcpy(sqlstate, f.sqlstate, 5);
    sqlstate[5] = '\0';
  }
  if (err != nullptr && err_size > 0) std::snprintf(err, err_size, "%s", f.message);
}

char* copy_to_malloc(std::string_view text) {
  char* block = static_cast<char*>(std::malloc(text.size() + 1));
  if (block == nullptr) return nullptr;
  if (!text.empty()) std::memcpy(block, text.data(), text.size());
  block[text.size()] = '\0';
  return block;
}

}  // namespace

void append_sql_quoted(std::string& out, std::string_view text) {
  out.push_back('\'');
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\'') {
      out.append(text.substr(start, i + 1 - start));
      out.push_back('\'');
      start = i + 1;
    }
  }
  out.append(text.substr(start));
  out.push_back('\'');
}

void append_hex_literal(std::string& out, const uint8_t* data, size_t length) {
  static constexpr char kUpper[] = "0123456789ABCDEF";
  out.reserve(out.size() + 2 * length + 3);
  out.append("X'");
  for (size_t i = 0; i < length; ++i) {
    out.push_back(kUpper[data[i] >> 4]);
    out.push_back(kUpper[data[i] & 0x0F]);
  }
  out.push_back('\'');
}

bool joins_into_one_token(char left, char right) {
  // An operator character takes a following minus into the operator ("||-", "*-", "--").
  if (right == '-' && left != '\0' && std::strchr("+-*/<>=~!@#%^&|`?", left) != nullptr) {
    return true;
  }
  const bool left_joins =
      is_name_byte(static_cast<unsigned char>(left)) || left == '\'' || left == '"';
  const bool right_joins = is_name_byte(static_cast<unsigned char>(right)) || right == '\'' ||
                           right == '"' || right == '.';
  return left_joins && right_joins;
}

}  // namespace norvale::cells

extern "C" int32_t nv_param_count_placeholders(const char* sql, size_t length) {
  if (sql == nullptr || length > norvale::cells::kMaxSql) return -1;
  int32_t count = 0;
  norvale::cells::lex_sql(std::string_view(sql, length), [&](const norvale::cells::SqlToken& t) {
    if (t.kind == norvale::cells::SqlTokenKind::kPlaceholder) ++count;
  });
  return count;
}

extern "C" int nv_param_substitute(const char* sql, size_t length, const NVParamBinding* params,
                                   size_t param_count, char** out, char* sqlstate, char* err,
                                   size_t err_size) {
  using norvale::cells::Failure;
  Failure f;
  if (out == nullptr || sql == nullptr) {
    f.sqlstate = "HY009";
    std::snprintf(f.message, sizeof(f.message), "nv_param_substitute: NULL argument");
    norvale::cells::report(f, sqlstate, err, err_size);
    return -1;
  }
  *out = nullptr;
  if (length > norvale::cells::kMaxSql) {
    norvale::cells::fail(f, "HY090", "SQL length %zu exceeds driver maximum %zu", length,
                         norvale::cells::kMaxSql);
    norvale::cells::report(f, sqlstate, err, err_size);
    return -1;
  }
  if (params == nullptr) param_count = 0;
  try {
    std::string text;
    if (!norvale::cells::substitute(std::string_view(sql, length), params, param_count, text,
                                    f)) {
      norvale::cells::report(f, sqlstate, err, err_size);
      return -1;
    }
    char* block = norvale::cells::copy_to_malloc(text);
    if (block == nullptr) {
      norvale::cells::fail(f, "HY001", "out of memory");
      norvale::cells::report(f, sqlstate, err, err_size);
      return -1;
    }
    *out = block;
    return 0;
  } catch (const std::bad_alloc&) {
    norvale::cells::fail(f, "HY001", "memory allocation failed during parameter substitution");
  } catch (const std::exception& e) {
    norvale::cells::fail(f, "HY000", "internal error during parameter substitution: %s",
                         e.what());
  } catch (...) {
    norvale::cells::fail(f, "HY000", "unknown internal error during parameter substitution");
  }
  norvale::cells::report(f, sqlstate, err, err_size);
  return -1;
}
