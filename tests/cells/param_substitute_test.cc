#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "norvale/nv_cells.h"

namespace {

constexpr int16_t kCChar = 1, kCWChar = -8, kCBinary = -2, kCBit = -7, kCSLong = -16,
                  kCSBigInt = -25, kCUBigInt = -27, kCDouble = 8, kCFloat = 7, kCNumeric = 2,
                  kCTypeDate = 91, kCTypeTime = 92, kCTypeTimestamp = 93, kCDefault = 99,
                  kCSTinyInt = -26, kCUTinyInt = -28, kCUShort = -17, kCSShort = -15;

NVParamBinding bind(uint16_t number, int16_t c_type, const void* value, const int64_t* indicator,
                    int64_t buffer_length = 0) {
  NVParamBinding p{};
  p.parameter_number = number;
  p.input_output_type = 1;
  p.c_type = c_type;
  p.value = value;
  p.indicator = indicator;
  p.buffer_length = buffer_length;
  return p;
}

struct Outcome {
  int rc;
  std::string text;      // substituted SQL on success
  std::string sqlstate;  // on failure
  std::string message;
};

Outcome run(const std::string& sql, const std::vector<NVParamBinding>& params) {
  char* out = reinterpret_cast<char*>(0x1);
  char state[6] = "";
  char err[512] = "";
  Outcome o;
  o.rc = nv_param_substitute(sql.data(), sql.size(), params.data(), params.size(), &out, state,
                             err, sizeof(err));
  if (o.rc == 0) {
    o.text = out;
    std::free(out);
  } else {
    EXPECT_EQ(out, nullptr);
    o.sqlstate = state;
    o.message = err;
  }
  return o;
}

std::string substituted(const std::string& sql, const std::vector<NVParamBinding>& params) {
  Outcome o = run(sql, params);
  EXPECT_EQ(o.rc, 0) << o.sqlstate << " " << o.message;
  return o.text;
}

TEST(ParamCount, LexicalContexts) {
  struct Case {
    std::string sql;
    int32_t count;
  };
  const Case cases[] = {
      {"SELECT '?' , \"?\" FROM [?] -- ?\n /* ? */ ?", 1},
      {"'it''s ?'", 0},
      {"? 'open ?", 1},
      {"? \"a\"\"?\" ? FROM [x]]?] ?", 3},
      {"-- comment only ?", 0},
      {"? -- ?\n?", 2},
      {"/* a /* ? */ ?", 0},
      {"/* unterminated ? ", 0},
      {"a - ? / ? * ?", 3},
      {"", 0},
      {"???", 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(nv_param_count_placeholders(c.sql.data(), c.sql.size()), c.count) << c.sql;
  }
  EXPECT_EQ(nv_param_count_placeholders(nullptr, 0), -1);
}

TEST(ParamCount, LengthLimit) {
  std::string big(NV_PARAM_MAX_SQL_LENGTH + 1, ' ');
  big[0] = '?';
  EXPECT_EQ(nv_param_count_placeholders(big.data(), NV_PARAM_MAX_SQL_LENGTH), 1);
  EXPECT_EQ(nv_param_count_placeholders(big.data(), big.size()), -1);
  char* out = nullptr;
  char state[6] = "";
  EXPECT_EQ(nv_param_substitute(big.data(), big.size(), nullptr, 0, &out, state, nullptr, 0), -1);
  EXPECT_STREQ(state, "HY090");
  // At the limit, with its one placeholder bound, the text goes through.
  const int32_t one = 1;
  const int64_t four = 4;
  NVParamBinding p = bind(1, kCSLong, &one, &four);
  ASSERT_EQ(nv_param_substitute(big.data(), NV_PARAM_MAX_SQL_LENGTH, &p, 1, &out, state, nullptr,
                                0),
            0);
  EXPECT_EQ(std::strlen(out), NV_PARAM_MAX_SQL_LENGTH);
  EXPECT_EQ(out[0], '1');
  std::free(out);
}

TEST(ParamSubstitute, ArgumentAndCountErrors) {
  char* out = nullptr;
  char state[6] = "";
  char err[128] = "";
  EXPECT_EQ(nv_param_substitute(nullptr, 0, nullptr, 0, &out, state, err, sizeof(err)), -1);
  EXPECT_STREQ(state, "HY009");
  EXPECT_STREQ(err, "nv_param_substitute: NULL argument");
  EXPECT_EQ(nv_param_substitute("x", 1, nullptr, 0, nullptr, state, err, sizeof(err)), -1);

  const int32_t v = 5;
  const int64_t ind = 4;
  Outcome o = run("SELECT ?, ?", {bind(1, kCSLong, &v, &ind)});
  EXPECT_EQ(o.sqlstate, "07002");
  EXPECT_EQ(o.message, "COUNT field incorrect: SQL has 2 placeholder(s) but 1 parameter(s) bound");
  // The count check comes before any value is read: the bad buffer is never touched.
  o = run("SELECT ?, ?", {bind(1, kCSLong, reinterpret_cast<const void*>(0x8), &ind)});
  EXPECT_EQ(o.sqlstate, "07002");
  // Entries numbered 0 serve no placeholder; two entries for one number leave another unbound.
  EXPECT_EQ(substituted("SELECT ?", {bind(0, kCSLong, nullptr, nullptr),
                                     bind(1, kCSLong, &v, &ind)}),
            "SELECT 5");
  o = run("SELECT ?, ?", {bind(1, kCSLong, &v, &ind), bind(1, kCSLong, &v, &ind)});
  EXPECT_EQ(o.sqlstate, "07002");
  EXPECT_EQ(o.message, "parameter 2 is not bound");
  // No placeholders, no parameters: an exact copy, literals and comments included.
  EXPECT_EQ(substituted("SELECT '?' -- ?", {}), "SELECT '?' -- ?");
  // Truncated message buffers stay terminated.
  char small[8];
  EXPECT_EQ(nv_param_substitute("?", 1, nullptr, 0, &out, nullptr, small, sizeof(small)), -1);
  EXPECT_STREQ(small, "COUNT f");
}

TEST(ParamSubstitute, OrderAndPlacement) {
  const int32_t one = 1, two = 2;
  const int64_t ind = 4;
  EXPECT_EQ(substituted("SELECT ? , '?', ? -- ?\n",
                        {bind(2, kCSLong, &two, &ind), bind(1, kCSLong, &one, &ind)}),
            "SELECT 1 , '?', 2 -- ?\n");
  // A literal opened and never closed: the rest is copied unchanged.
  EXPECT_EQ(substituted("? 'open ?", {bind(1, kCSLong, &one, &ind)}), "1 'open ?");
}

TEST(ParamSubstitute, NegativeNumberAfterMinusStaysAnExpression) {
  const int32_t minus_five = -5;
  const double minus_half = -0.5;
  const int64_t ind = 4;
  EXPECT_EQ(substituted("SELECT 1 -? FROM t", {bind(1, kCSLong, &minus_five, &ind)}),
            "SELECT 1 - -5 FROM t");
  EXPECT_EQ(substituted("SELECT 1-?", {bind(1, kCDouble, &minus_half, &ind)}), "SELECT 1- -0.5");
  EXPECT_EQ(substituted("SELECT ?", {bind(1, kCSLong, &minus_five, &ind)}), "SELECT -5");
}

TEST(ParamSubstitute, LiteralNeverJoinsItsNeighbours) {
  static const char escape[] = "\\'; DROP TABLE t; --";
  const int64_t escape_len = sizeof(escape) - 1;
  const int32_t one = 1;
  const int64_t ind = 4;
  struct Case {
    std::string sql;
    NVParamBinding param;
    std::string want;
  };
  const Case cases[] = {
      // E followed by a quote would make the literal a backslash string.
      {"SELECT E?", bind(1, kCChar, escape, &escape_len),
       "SELECT E '\\''; DROP TABLE t; --'"},
      {"SELECT $?", bind(1, kCSLong, &one, &ind), "SELECT $ 1"},
      {"SELECT 2?", bind(1, kCSLong, &one, &ind), "SELECT 2 1"},
      {"SELECT ?'a'", bind(1, kCChar, escape, &escape_len),
       "SELECT '\\''; DROP TABLE t; --' 'a'"},
      {"SELECT 'a'?", bind(1, kCSLong, &one, &ind), "SELECT 'a' 1"},
      {"SELECT (?)", bind(1, kCSLong, &one, &ind), "SELECT (1)"},
  };
  for (const Case& c : cases) EXPECT_EQ(substituted(c.sql, {c.param}), c.want) << c.sql;
  EXPECT_EQ(substituted("SELECT ?.5, ?e1",
                        {bind(1, kCSLong, &one, &ind), bind(2, kCSLong, &one, &ind)}),
            "SELECT 1 .5, 1 e1");
}

struct LiteralCase {
  const char* what;
  NVParamBinding param;
  std::string literal;   // expected text when ok
  const char* sqlstate;  // expected failure, or nullptr
  const char* message = nullptr;
};

void check_literals(const std::vector<LiteralCase>& cases) {
  for (const LiteralCase& c : cases) {
    Outcome o = run("SELECT ?", {c.param});
    if (c.sqlstate == nullptr) {
      EXPECT_EQ(o.rc, 0) << c.what << ": " << o.sqlstate << " " << o.message;
      EXPECT_EQ(o.text, "SELECT " + c.literal) << c.what;
    } else {
      EXPECT_EQ(o.rc, -1) << c.what;
      EXPECT_EQ(o.sqlstate, c.sqlstate) << c.what << ": " << o.message;
      if (c.message != nullptr) {
        EXPECT_EQ(o.message, c.message) << c.what;
      }
    }
  }
}

TEST(ParamSubstitute, TextAndBinaryLiterals) {
  static const char obrien[] = "O'Brien";
  static const char nts[] = "ab\0cd";
  static const char embedded[] = "ab\0cd";
  static const char no_nul[4] = {'a', 'b', 'c', 'd'};
  static const uint8_t bin[] = {0x00, 0xAB};
  static const uint16_t wide_ok[] = {0x0041, 0x00E9, 0xD83D, 0xDE00, 0};
  static const uint16_t wide_bad[] = {0x0041, 0xD800};
  static const uint16_t wide_nul[] = {0x0041, 0x0000, 0x0042};
  static const int64_t seven = 7, zero = 0, two = 2, three = 3, four = 4, eight = 8, six = 6;
  static const int64_t null_data = -1, at_exec = -2, nts_ind = -3, len_at_exec = -105, minus5 = -5;
  const std::vector<LiteralCase> cases = {
      {"quote doubled", bind(1, kCChar, obrien, &seven), "'O''Brien'", nullptr},
      {"null indicator without buffer", bind(1, kCChar, nullptr, &null_data), "NULL", nullptr},
      {"empty text", bind(1, kCChar, obrien, &zero), "''", nullptr},
      {"NTS within buffer", bind(1, kCChar, nts, &nts_ind, 6), "'ab'", nullptr},
      {"NTS, null indicator pointer", bind(1, kCChar, obrien, nullptr, 8), "'O''Brien'", nullptr},
      {"NTS without buffer length", bind(1, kCChar, obrien, &nts_ind, 0), "'O''Brien'", nullptr},
      {"NTS without NUL in buffer", bind(1, kCChar, no_nul, &nts_ind, 4), "", "HY090",
       "parameter 1: invalid string length -3 (SQL_NTS without NUL within buffer_length, or "
       "buffer_length missing)"},
      {"other negative length", bind(1, kCChar, obrien, &minus5, 8), "", "HY090",
       "parameter 1: invalid string length -5 (SQL_NTS without NUL within buffer_length, or "
       "buffer_length missing)"},
      {"embedded NUL", bind(1, kCChar, embedded, &four), "", "HY090",
       "parameter 1: SQL_C_CHAR value contains an embedded NUL byte (prohibited; SQL string "
       "termination is engine-dependent)"},
      {"data at execution", bind(1, kCChar, obrien, &at_exec), "", "HYC00",
       "parameter 1 uses data-at-execution (SQLPutData), not implemented"},
      {"length at execution", bind(1, kCChar, obrien, &len_at_exec), "", "HYC00"},
      {"null value pointer", bind(1, kCChar, nullptr, &seven), "", "HY009",
       "parameter 1: value buffer is NULL but indicator is 7"},
      {"binary", bind(1, kCBinary, bin, &two), "X'00AB'", nullptr},
      {"empty binary", bind(1, kCBinary, bin, &zero), "X''", nullptr},
      {"binary NTS", bind(1, kCBinary, bin, &nts_ind), "", "HY090",
       "parameter 1: SQL_NTS is invalid for binary data; an explicit length is required"},
      {"binary negative", bind(1, kCBinary, bin, &minus5), "", "HY090",
       "parameter 1: invalid binary length -5"},
      {"wchar", bind(1, kCWChar, wide_ok, &eight), "'A\xC3\xA9\xF0\x9F\x98\x80'", nullptr},
      {"wchar NTS", bind(1, kCWChar, wide_ok, &nts_ind, 10), "'A\xC3\xA9\xF0\x9F\x98\x80'",
       nullptr},
      {"wchar NTS unbounded", bind(1, kCWChar, wide_ok, &nts_ind, 0),
       "'A\xC3\xA9\xF0\x9F\x98\x80'", nullptr},
      {"wchar NTS beyond buffer", bind(1, kCWChar, wide_ok, &nts_ind, 8), "", "HY090",
       "parameter 1: WCHAR length error (SQL_NTS without NUL within declared buffer)"},
      {"wchar buffer length 1", bind(1, kCWChar, wide_ok, &nts_ind, 1), "", "HY090"},
      {"wchar lone high", bind(1, kCWChar, wide_bad, &four), "", "HY000",
       "parameter 1: malformed UTF-16 (lone surrogate or premature end)"},
      {"wchar odd length", bind(1, kCWChar, wide_bad, &three), "", "HY090",
       "parameter 1: WCHAR byte length 3 is invalid (must be non-negative multiple of 2)"},
      {"wchar zero unit", bind(1, kCWChar, wide_nul, &six), "", "HY090"},
  };
  check_literals(cases);
}

TEST(ParamSubstitute, NumberAndTemporalLiterals) {
  static const uint8_t bit1 = 1, bit0 = 0, bit2 = 2;
  static const int8_t i8 = -128;
  static const uint8_t u8 = 255;
  static const int16_t i16 = -32768;
  static const uint16_t u16 = 65535;
  static const int32_t i32 = std::numeric_limits<int32_t>::min();
  static const int64_t i64 = std::numeric_limits<int64_t>::min();
  static const uint64_t u64 = std::numeric_limits<uint64_t>::max();
  static const double d01 = 0.1, d1e17 = 1e17, dnan = std::nan(""),
                      dinf = std::numeric_limits<double>::infinity();
  static const float f01 = 0.1f, finf = -std::numeric_limits<float>::infinity();
  static const int16_t date[3] = {2024, 2, 29};
  static const uint16_t time[3] = {7, 5, 9};
  struct Ts {
    int16_t year;
    uint16_t month, day, hour, minute, second;
    uint32_t fraction;
  };
  static const Ts ts0{2024, 2, 29, 13, 5, 9, 0}, ts500{2024, 2, 29, 13, 5, 9, 500};
  static const int64_t ind = 8;
  NVParamBinding out_param = bind(1, kCSLong, &i32, &ind);
  out_param.input_output_type = 2;
  NVParamBinding default_int = bind(1, kCDefault, &i32, &ind);
  default_int.sql_type = 4;
  NVParamBinding default_bad = bind(1, kCDefault, &i32, &ind);
  default_bad.sql_type = 0;
  NVParamBinding default_real = bind(1, kCDefault, &f01, &ind);
  default_real.sql_type = 7;
  const std::vector<LiteralCase> cases = {
      {"bit 1", bind(1, kCBit, &bit1, &ind), "TRUE", nullptr},
      {"bit 0", bind(1, kCBit, &bit0, &ind), "FALSE", nullptr},
      {"bit 2", bind(1, kCBit, &bit2, &ind), "", "22003",
       "parameter 1: SQL_C_BIT must be 0 or 1, got 2"},
      {"stinyint", bind(1, kCSTinyInt, &i8, &ind), "-128", nullptr},
      {"utinyint", bind(1, kCUTinyInt, &u8, &ind), "255", nullptr},
      {"sshort", bind(1, kCSShort, &i16, &ind), "-32768", nullptr},
      {"ushort", bind(1, kCUShort, &u16, &ind), "65535", nullptr},
      {"slong", bind(1, kCSLong, &i32, &ind), "-2147483648", nullptr},
      {"sbigint", bind(1, kCSBigInt, &i64, &ind), "-9223372036854775808", nullptr},
      {"ubigint", bind(1, kCUBigInt, &u64, &ind), "18446744073709551615", nullptr},
      {"double 0.1", bind(1, kCDouble, &d01, &ind), "0.1", nullptr},
      {"double 1e17", bind(1, kCDouble, &d1e17, &ind), "1e+17", nullptr},
      {"double NaN", bind(1, kCDouble, &dnan, &ind), "", "22003",
       "parameter 1: double value is NaN or infinity, no SQL representation"},
      {"double inf", bind(1, kCDouble, &dinf, &ind), "", "22003"},
      {"float 0.1", bind(1, kCFloat, &f01, &ind), "0.1", nullptr},
      {"float -inf", bind(1, kCFloat, &finf, &ind), "", "22003",
       "parameter 1: float value is NaN or infinity, no SQL representation"},
      {"date", bind(1, kCTypeDate, date, &ind), "'2024-02-29'", nullptr},
      {"time", bind(1, kCTypeTime, time, &ind), "'07:05:09'", nullptr},
      {"timestamp", bind(1, kCTypeTimestamp, &ts0, &ind), "'2024-02-29 13:05:09'", nullptr},
      {"timestamp fraction", bind(1, 11, &ts500, &ind), "'2024-02-29 13:05:09.000000500'",
       nullptr},
      {"output parameter", out_param, "", "HYC00",
       "parameter 1: input_output_type=2 not supported (only SQL_PARAM_INPUT may appear in "
       "formatted output)"},
      {"default integer", default_int, "-2147483648", nullptr},
      {"default real", default_real, "0.1", nullptr},
      {"default unknown", default_bad, "", "HY003",
       "parameter 1: SQL_C_DEFAULT cannot infer C type from SQL type 0"},
      {"unsupported C type", bind(1, 123, &i32, &ind), "", "07006",
       "parameter 1: C type 123 is not supported as a parameter"},
  };
  check_literals(cases);
}

TEST(ParamSubstitute, NumericLiterals) {
  struct Case {
    uint8_t precision;
    int8_t scale;
    uint8_t sign;
    unsigned __int128 magnitude;
    const char* text;  // nullptr: HY104
  };
  const unsigned __int128 max38 =
      static_cast<unsigned __int128>(9999999999999999999ULL) * 10000000000000000000ULL +
      9999999999999999999ULL;  // 38 nines
  const Case cases[] = {
      {5, 2, 1, 12345, "123.45"},
      {5, 3, 1, 5, "0.005"},
      {5, 3, 0, 5, "-0.005"},
      {5, 0, 0, 42, "-42"},
      {5, 0, 0, 0, "0"},
      {5, 3, 0, 0, "0.000"},
      {3, 3, 1, 123, "0.123"},
      // Precision is checked but does not limit the digits.
      {1, 0, 1, 123456, "123456"},
      {38, 0, 1, max38, "99999999999999999999999999999999999999"},
      {38, 38, 0, max38, "-0.99999999999999999999999999999999999999"},
      {38, 2, 1, ~static_cast<unsigned __int128>(0), "3402823669209384634633746074317682114.55"},
      {0, 0, 1, 1, nullptr},
      {39, 0, 1, 1, nullptr},
      {5, -1, 1, 1, nullptr},
      {5, 6, 1, 1, nullptr},
  };
  const int64_t ind = 19;
  for (const Case& c : cases) {
    uint8_t s[19];
    s[0] = c.precision;
    s[1] = static_cast<uint8_t>(c.scale);
    s[2] = c.sign;
    std::memcpy(s + 3, &c.magnitude, 16);
    Outcome o = run("SELECT ?", {bind(1, kCNumeric, s, &ind)});
    if (c.text != nullptr) {
      EXPECT_EQ(o.text, std::string("SELECT ") + c.text) << o.message;
    } else {
      EXPECT_EQ(o.sqlstate, "HY104");
    }
  }
  uint8_t s[19] = {0, 2, 1};
  Outcome o = run("?", {bind(1, kCNumeric, s, &ind)});
  EXPECT_EQ(o.message,
            "parameter 1: SQL_NUMERIC scale=2 precision=0 out of range (scale must be 0..38, "
            "precision must be 1..38, scale<=precision)");
}

TEST(ParamSubstitute, FirstFailureWinsAndNothingIsReturned) {
  const int32_t v = 1;
  const uint8_t bad_bit = 9;
  const int64_t ind = 4;
  Outcome o = run("SELECT ?, ?, ?", {bind(1, kCSLong, &v, &ind), bind(2, kCBit, &bad_bit, &ind),
                                     bind(3, 555, &v, &ind)});
  EXPECT_EQ(o.sqlstate, "22003");
  EXPECT_EQ(o.message, "parameter 2: SQL_C_BIT must be 0 or 1, got 9");
}

}  // namespace
