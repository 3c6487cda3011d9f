// The Arrow type of a column from the SQL type text the service reports for it.
#pragma once

#include <memory>
#include <string_view>

#include <arrow/type_fwd.h>

namespace norvale::adbc {

/// The Arrow type of `type_text` (ASCII case-insensitive): integers of every width, DECIMAL(p,s),
/// REAL/DOUBLE, text, binary, DATE, TIME, TIMESTAMP with and without time zone, INTERVAL, UUID,
/// lists "T[]", fixed-size lists "T[n]", STRUCT(name T, ...), MAP(K, V). Null for text it does
/// not know (the caller then asks the compute node instead of guessing).
std::shared_ptr<arrow::DataType> arrow_type_from_text(std::string_view type_text);

}  // namespace norvale::adbc
