// How snapshot data_type texts map to ODBC-style xdbc type descriptions (GetObjects).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace norvale::adbc {

/// The xdbc description of a data_type, with the defaults used when the snapshot row carries
/// no length, precision or scale. An empty optional is a default of "none" (written as null).
struct XdbcType {
  const char* type_name;
  int16_t data_type;
  std::optional<int32_t> column_size;
  std::optional<int16_t> num_prec_radix;
  std::optional<int32_t> char_octet_length;
  std::optional<int16_t> decimal_digits;
};

/// Classifies a data_type text (compared in ASCII lower case; first matching rule wins).
XdbcType classify_xdbc_type(std::string_view data_type);

}  // namespace norvale::adbc
