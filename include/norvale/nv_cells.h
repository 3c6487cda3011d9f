/* Cell access and formatting for callers that do not read Arrow: batch metadata, typed cell
 * accessors, column staging into ODBC C types, cell text, parameter substitution into SQL text
 * and UTF-8 / UTF-16 conversion. */
#ifndef NORVALE_NV_CELLS_H
#define NORVALE_NV_CELLS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** One Arrow record batch with its schema and per-batch caches; owned by whoever received it
 *  and released with nv_batch_free. Used by one thread at a time. */
typedef struct NVArrowBatch NVArrowBatch;

/* ---- Batch metadata ---------------------------------------------------------------------- */

/** Driver column type codes answered by nv_batch_column_type. */
enum {
  NV_COL_NULL = 0,
  NV_COL_BOOL = 1,
  NV_COL_INT8 = 2,
  NV_COL_INT16 = 3,
  NV_COL_INT32 = 4,
  NV_COL_INT64 = 5,
  NV_COL_UINT8 = 6,
  NV_COL_UINT16 = 7,
  NV_COL_UINT32 = 8,
  NV_COL_UINT64 = 9,
  NV_COL_FLOAT32 = 10,
  NV_COL_FLOAT64 = 11,
  NV_COL_UTF8 = 12,
  NV_COL_LARGE_UTF8 = 13,
  NV_COL_BINARY = 14,
  NV_COL_LARGE_BINARY = 15,
  NV_COL_FIXED_BINARY = 16,
  NV_COL_DATE32 = 17,
  NV_COL_DATE64 = 18,
  NV_COL_TIME32 = 19,
  NV_COL_TIME64 = 20,
  NV_COL_TIMESTAMP = 21,
  NV_COL_DECIMAL128 = 22,
  NV_COL_DECIMAL256 = 23,
  NV_COL_INTERVAL_MONTHS = 24,
  NV_COL_INTERVAL_DAY_TIME = 25,
  NV_COL_INTERVAL_MONTH_DAY_NANO = 26,
  NV_COL_LIST = 27,
  NV_COL_LARGE_LIST = 28,
  NV_COL_STRUCT = 29,
  NV_COL_MAP = 30,
  NV_COL_DICTIONARY = 31,
  NV_COL_OTHER = 99
};

/** Row count of the record batch; 0 for a NULL batch. */
int64_t nv_batch_num_rows(const NVArrowBatch* batch);
/** Number of columns; 0 for a NULL batch. */
int nv_batch_num_columns(const NVArrowBatch* batch);
/** The field's name, borrowed for the life of the batch; NULL when invalid. */
const char* nv_batch_column_name(const NVArrowBatch* batch, int column);
/** The column's type code (NV_COL_*); 99 when invalid. */
int nv_batch_column_type(const NVArrowBatch* batch, int column);
/** The field's nullable flag; 0 when invalid. */
int nv_batch_column_nullable(const NVArrowBatch* batch, int column);
/** 0 with precision and scale written for decimal128/decimal256 columns; -1 otherwise. */
int nv_batch_column_decimal_meta(const NVArrowBatch* batch, int column, int32_t* precision,
                                 int32_t* scale);
/** 0 for timestamp, time32 and time64 columns with the unit (0 s, 1 ms, 2 us, 3 ns) and the
 *  time zone (borrowed; NULL when the type has none, always NULL for times); -1 otherwise. */
int nv_batch_column_temporal_meta(const NVArrowBatch* batch, int column, int32_t* unit,
                                  const char** timezone);
/** The value stored under exactly `key` in the field's metadata (borrowed), or NULL. */
const char* nv_batch_column_metadata(const NVArrowBatch* batch, int column, const char* key);

/* ---- Cell accessors -----------------------------------------------------------------------
 * -1 for an invalid call (no batch, column or row out of range, type not accepted), 0 for a
 * null cell (output untouched), 1 when a value was written (out may be NULL). */

/** 1 for a null cell and for every invalid call, else 0. */
int nv_is_null(NVArrowBatch* batch, int column, int64_t row);
int nv_get_int8(NVArrowBatch* batch, int column, int64_t row, int8_t* out);
int nv_get_int16(NVArrowBatch* batch, int column, int64_t row, int16_t* out);
int nv_get_int32(NVArrowBatch* batch, int column, int64_t row, int32_t* out);
int nv_get_int64(NVArrowBatch* batch, int column, int64_t row, int64_t* out);
int nv_get_uint8(NVArrowBatch* batch, int column, int64_t row, uint8_t* out);
int nv_get_uint16(NVArrowBatch* batch, int column, int64_t row, uint16_t* out);
int nv_get_uint32(NVArrowBatch* batch, int column, int64_t row, uint32_t* out);
int nv_get_uint64(NVArrowBatch* batch, int column, int64_t row, uint64_t* out);
int nv_get_float32(NVArrowBatch* batch, int column, int64_t row, float* out);
int nv_get_float64(NVArrowBatch* batch, int column, int64_t row, double* out);
/** 0 or 1. */
int nv_get_bool(NVArrowBatch* batch, int column, int64_t row, int32_t* out);
/** Days since 1970-01-01. */
int nv_get_date32(NVArrowBatch* batch, int column, int64_t row, int32_t* out);
/** Milliseconds since 1970-01-01. */
int nv_get_date64(NVArrowBatch* batch, int column, int64_t row, int64_t* out);
/** Raw values in the column's unit. */
int nv_get_time32(NVArrowBatch* batch, int column, int64_t row, int32_t* out);
int nv_get_time64(NVArrowBatch* batch, int column, int64_t row, int64_t* out);
int nv_get_timestamp(NVArrowBatch* batch, int column, int64_t row, int64_t* out);
/** The 16-byte little-endian two's complement value. */
int nv_get_decimal128(NVArrowBatch* batch, int column, int64_t row, uint8_t out[16]);
/** The 32-byte little-endian two's complement value. */
int nv_get_decimal256(NVArrowBatch* batch, int column, int64_t row, uint8_t out[32]);
/** Borrowed, unterminated bytes of a string, large string or string view cell; lengths above
 *  INT32_MAX are reported as INT32_MAX. */
int nv_get_utf8(NVArrowBatch* batch, int column, int64_t row, const char** out,
                int32_t* length);
/** As nv_get_utf8 for binary, large binary, fixed-size binary and binary view cells. */
int nv_get_binary(NVArrowBatch* batch, int column, int64_t row, const uint8_t** out,
                  int32_t* length);

/* ---- Column staging into ODBC C types ---------------------------------------------------- */

enum {
  NV_STAGE_EMPTY = 0,
  NV_STAGE_OK = 1,
  NV_STAGE_NOT_OFFERED = 2,
  NV_STAGE_FAILED = 3
};

/** Converts a whole column once into the fixed-width layout of `c_type` (an ODBC C type code;
 *  99 asks for nv_default_c_type). Returns NV_STAGE_OK, NV_STAGE_NOT_OFFERED or
 *  NV_STAGE_FAILED (also for invalid arguments). A repeated call with the same C type returns
 *  the stored status without work; `parameter` is stored, not used. */
int nv_batch_stage_column(NVArrowBatch* batch, int column, int16_t c_type, int64_t parameter);
/** 1 with where row 0 starts, the distance between rows, the validity bitmap (NULL when the
 *  column has no nulls) and its bit offset; otherwise the stored status (0, 2 or 3; 3 when
 *  staged without values) with all four cleared. 0 for a NULL batch or a bad column. */
int nv_batch_get_staged(const NVArrowBatch* batch, int column, const void** values,
                        int64_t* stride, const uint8_t** bitmap, int64_t* bit_offset);
/** Returns the column to unstaged, releasing its data. */
void nv_batch_invalidate_staged(NVArrowBatch* batch, int column);
/** The C type that SQL_C_DEFAULT stands for with this column: 0 (none) in this library. */
int16_t nv_default_c_type(const NVArrowBatch* batch, int column);
/** Packing doubles into SQL_NUMERIC_STRUCT is not offered: always -1 with SQLSTATE "HYC00"
 *  (six bytes) and a message written into the caller's buffers when given. */
int nv_pack_double_to_numeric(double value, int32_t precision, int32_t scale, uint8_t out[19],
                              char* sqlstate, char* err, size_t err_size);
/** Releases the batch and everything it holds; NULL is accepted. */
void nv_batch_free(NVArrowBatch* batch);

/* ---- Cell text ----------------------------------------------------------------------------
 * Buffers are the caller's: at most capacity - 1 bytes and a NUL are written (nothing for a
 * NULL buffer or capacity 0) and the whole text's length is returned, so a result of capacity
 * or more means the copy was cut. */

/** The cell's text length; 0 with an empty buffer for a null cell; -1 for invalid arguments. */
int32_t nv_format_cell(NVArrowBatch* batch, int column, int64_t row, char* buffer,
                       size_t capacity);
/** 1 with a pointer into the batch's cached text column (unterminated, valid while the batch
 *  lives) and its length; 0 with NULL and 0 for a null cell; -1 when invalid or when no text
 *  column can be built. */
int nv_batch_string_view(NVArrowBatch* batch, int column, int64_t row, const char** out,
                         int32_t* length);
/** 1 when every text byte of the column is below 0x80, else 0; -1 when invalid. */
int nv_batch_string_is_ascii(NVArrowBatch* batch, int column);
/** Single-type formatters; -1 for a column of another type, a bad row or unreadable metadata. */
int32_t nv_format_decimal128(NVArrowBatch* batch, int column, int64_t row, char* buffer,
                             size_t capacity);
int32_t nv_format_timestamp(NVArrowBatch* batch, int column, int64_t row, char* buffer,
                            size_t capacity);
int32_t nv_format_date32(NVArrowBatch* batch, int column, int64_t row, char* buffer,
                         size_t capacity);
int32_t nv_format_time(NVArrowBatch* batch, int column, int64_t row, char* buffer,
                       size_t capacity);

/** Shortest round-trip text of a double: fixed notation for decimal exponents -4..16,
 *  otherwise d.ddde+XX. Returns the length written (no NUL), or -1 when capacity < 32. */
int nv_ryu_format_double_general(char* buffer, size_t capacity, double value);
/** The same for a float; -1 when capacity < 24. */
int nv_ryu_format_float_general(char* buffer, size_t capacity, float value);

/** A value as mantissa x 10^exponent with the fewest mantissa digits that read back to the
 *  same value. Zero gives mantissa 0 and exponent 0; NaN and infinities give mantissa 0 and
 *  exponent INT32_MAX. */
typedef struct NVRyuDecimal {
  uint64_t mantissa;
  int32_t exponent;
  int32_t negative; /* 1 when the sign bit is set */
} NVRyuDecimal;

NVRyuDecimal nv_ryu_double_to_decimal(double value);
NVRyuDecimal nv_ryu_float_to_decimal(float value);

/* ---- Parameter placeholders and substitution --------------------------------------------- */

/** One bound parameter, in the order of the arguments of SQLBindParameter. */
typedef struct NVParamBinding {
  uint16_t parameter_number;  /* 1-based placeholder served; 0: serves none */
  int16_t input_output_type;  /* must be 1 (SQL_PARAM_INPUT) */
  int16_t c_type;             /* ODBC C type of the value buffer */
  int16_t sql_type;           /* read only when c_type is 99 (SQL_C_DEFAULT) */
  uint64_t column_size;       /* not read */
  int16_t decimal_digits;     /* not read */
  const void* value;          /* the value buffer */
  int64_t buffer_length;      /* bytes in the value buffer */
  const int64_t* indicator;   /* length, -1 NULL data, -3 NUL-terminated; NULL means -3 */
} NVParamBinding;

/** Texts longer than this many bytes are refused by both functions below. */
#define NV_PARAM_MAX_SQL_LENGTH ((size_t)67108864)

/** The number of ? placeholders outside string literals, quoted and bracketed identifiers and
 *  comments; -1 for NULL sql or a length above NV_PARAM_MAX_SQL_LENGTH. */
int32_t nv_param_count_placeholders(const char* sql, size_t length);
/** Replaces each placeholder by the SQL literal of its bound value. 0 with a malloc'ed,
 *  NUL-terminated text in *out (free it with free()); -1 with *out NULL, a five-character
 *  SQLSTATE in `sqlstate` (six bytes) and a message in `err`. */
int nv_param_substitute(const char* sql, size_t length, const NVParamBinding* params,
                        size_t param_count, char** out, char* sqlstate, char* err,
                        size_t err_size);

/* ---- UTF-16 -------------------------------------------------------------------------------- */

/** Units before the first zero unit, counting at most 0x10000000; 0 for NULL. */
size_t nv_wcslen(const uint16_t* text);
/** Writes the UTF-16 form of a UTF-8 text into a wide buffer of `capacity` units with ODBC
 *  truncation; returns the unit count of the whole text (without terminator), 0 for malformed
 *  UTF-8 (the buffer then holds an empty text). */
int32_t nv_write_wstring(const char* text, uint16_t* buffer, int16_t capacity);
int32_t nv_write_wstring_i(const char* text, uint16_t* buffer, int32_t capacity);

#ifdef __cplusplus
}

#include <string>

/** Appends the UTF-8 form of `length` units (SIZE_MAX: NUL-terminated) to `out`; 1, or 0 for
 *  malformed UTF-16 with `out` holding what was converted before it. NULL input gives 1. */
int nv_utf16_to_utf8(const uint16_t* text, size_t length, std::string& out);
/** As above; a negative length means NUL-terminated. */
int nv_utf16_to_utf8_n(const uint16_t* text, int32_t length, std::string& out);
/** Appends the UTF-16 form of strict UTF-8 to `out`; 1, or 0 for malformed UTF-8 with `out`
 *  holding the units converted before the bad sequence. NULL input gives 1. */
int nv_utf8_to_utf16(const char* text, size_t length, std::u16string& out);
int nv_utf8_to_utf16(const std::string& text, std::u16string& out);
#endif

#endif /* NORVALE_NV_CELLS_H */
